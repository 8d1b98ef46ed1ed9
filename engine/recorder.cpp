#include "engine/recorder.h"

#include <cstring>

#include "engine/wire_protocol.h"
#include "platform/message_box.h"

namespace {

constexpr uint8_t kIndexSignature[8] = {'K', 'E', 'S', 'T', 'O', 'i', 0x03, 0x01};
constexpr uint8_t kVideoSignature[8] = {'K', 'E', 'S', 'T', 'O', 'v', 0x03, 0x00};
constexpr uint8_t kAudioSignature[8] = {'K', 'E', 'S', 'T', 'O', 'a', 0x03, 0x01};

}  // namespace

// ---- CRecord ----------------------------------------------------------------

CRecord::~CRecord() {
  platform::Lock guard(fileLock);
  if (fileHandle) fileHandle->Close();
  fileHandle.reset();
}

bool CRecord::OpenOutputFile(const char* path) {
  std::string box, title, logLine;
  {
    platform::Lock guard(fileLock);
    if (fileHandle) {
      box = std::string("Already Opened(") + path + ")";
      title = "Alert";
    } else {
      std::string local, reason;
      if (platform::LocalPath(path, &local, &reason)) fileHandle = platform::OutputFile::Create(local, &reason);
      if (!fileHandle) {
        failure = reason;
        box = std::string("Fail to open file(") + path + ")";
        title = "Error";
        logLine = std::string("---rec:cannot open ") + path + (local.empty() ? "" : " (" + local + ")") + ": " + reason;
      }
    }
  }
  // The box blocks its thread; the lock is not held across it.
  if (!logLine.empty() && log) (*log)(255, logLine);
  if (!box.empty()) platform::ShowMessageBox(box, title);
  return title != "Error";
}

void CRecord::CloseOutputFile() {
  {
    platform::Lock guard(fileLock);
    if (fileHandle) {
      fileHandle->Close();
      fileHandle.reset();
      return;
    }
  }
  platform::ShowMessageBox("File was NOT opened", "Alert");
}

uint32_t CRecord::WriteToFile(const void* buffer, int32_t n) {
  platform::Lock guard(fileLock);
  if (!fileHandle || n <= 0) return 0;
  return fileHandle->Write(buffer, static_cast<uint32_t>(n), &failure);
}

bool CRecord::IsOpen() {
  platform::Lock guard(fileLock);
  return fileHandle != nullptr;
}

void CRecord::CutBack(uint64_t length) {
  platform::Lock guard(fileLock);
  if (fileHandle) fileHandle->Truncate(length);
}

std::string CRecord::LastFailure() {
  platform::Lock guard(fileLock);
  return fileHandle ? failure : "file not open";
}

// ---- CMakeFile --------------------------------------------------------------

CMakeFile::CMakeFile()
    : sdiFile(std::make_unique<CRecord>()),
      kevFile(std::make_unique<CRecord>()),
      keaFile(std::make_unique<CRecord>()),
      work(std::make_unique<uint8_t[]>(wire::kMaxMessage)),
      record(std::make_unique<uint8_t[]>(8 + kMaxPayload)) {
  sdiFile->log = kevFile->log = keaFile->log = &passMessage;
}

CMakeFile::~CMakeFile() = default;

CMakeFile::Put CMakeFile::Write(CRecord& file, const void* data, uint32_t n) {
  if (!file.IsOpen()) return Put::Closed;
  return file.WriteToFile(data, static_cast<int32_t>(n)) == n ? Put::Ok : Put::Failed;
}

void CMakeFile::CutBackAll(CRecord& failed, const std::string& name) {
  sdiFile->CutBack(sdiLength);
  kevFile->CutBack(kevLength);
  keaFile->CutBack(keaLength);
  passMessage(255, "---rec:write failed " + name + ": " + failed.LastFailure() + "; recording stopped");
}

void CMakeFile::StartRecord(CManage2DBUF& preRecordVideo, CManage2DBUF& preRecordAudio) {
  if (videoRecording || audioRecording) return;
  kevOffset = 0;
  sdiLength = kevLength = keaLength = 0;
  keaRecordSize = 0;
  baseName = RecordName();

  // A failure on an open file: every file back to its last whole record,
  // closed, the queues discarded, nothing recording.
  const auto abandon = [&](CRecord& failed, const char* extension) {
    CutBackAll(failed, baseName + extension);
    if (!keaFile->IsOpen()) RemoveAudioFile();
    for (CRecord* f : {sdiFile.get(), kevFile.get(), keaFile.get()})
      if (f->IsOpen()) f->CloseOutputFile();
    preRecordVideo.ClearFrames();
    preRecordAudio.ClearFrames();
    videoRecording = 0;
    audioRecording = 0;
  };

  // A file that did not open takes nothing, and the recording stops at the
  // first frame that follows. Both are made before anything is written, so
  // a failed header never leaves the other file of an older recording.
  sdiFile->OpenOutputFile((baseName + ".sdi").c_str());
  kevFile->OpenOutputFile((baseName + ".kev").c_str());
  if (Write(*sdiFile, kIndexSignature, 8) == Put::Failed) return abandon(*sdiFile, ".sdi");
  if (Write(*kevFile, kVideoSignature, 8) == Put::Failed) return abandon(*kevFile, ".kev");
  uint8_t word[4];
  wire::WriteLe32(word, static_cast<uint32_t>(videoStandard.load()));
  if (Write(*sdiFile, word, 4) == Put::Failed) return abandon(*sdiFile, ".sdi");

  uint8_t* m = work.get();
  int32_t size = 0, arrival = 0;
  uint32_t start = 0;
  const bool prerecorded = preRecordVideo.FrameCount() > 0;
  if (prerecorded) {
    preRecordVideo.PopFrameTagged(m, &size, &arrival);
    start = static_cast<uint32_t>(arrival);
  } else {
    start = SecondsSince2000(platform::GetLocalTime());
  }
  wire::WriteLe32(word, start);
  if (Write(*sdiFile, word, 4) == Put::Failed) return abandon(*sdiFile, ".sdi");
  sdiLength = sdiFile->IsOpen() ? 16 : 0;
  kevLength = kevFile->IsOpen() ? 8 : 0;

  bool more = prerecorded;
  while (more) {
    if (size >= static_cast<int32_t>(wire::kHeaderSize) &&
        !PutVideo(m, static_cast<uint32_t>(size) - wire::kHeaderSize, true))
      return abandon(*lastFailed, lastExtension);
    more = preRecordVideo.FrameCount() > 0;
    if (more) preRecordVideo.PopFrame(m, &size);
  }
  videoRecording = 1;

  if (AudioModule != 1) {
    RemoveAudioFile();
    return;
  }
  keaFile->OpenOutputFile((baseName + ".kea").c_str());
  uint8_t header[12];
  std::memcpy(header, kAudioSignature, 8);
  wire::WriteLe32(header + 8, static_cast<uint32_t>(audioFormat.load()));
  if (Write(*keaFile, header, 12) == Put::Failed) return abandon(*keaFile, ".kea");
  keaLength = keaFile->IsOpen() ? 12 : 0;
  audioEnded = false;
  while (preRecordAudio.FrameCount() > 0) {
    preRecordAudio.PopFrame(m, &size);
    if (audioEnded || size < static_cast<int32_t>(wire::kHeaderSize)) continue;
    if (!PutAudio(m, static_cast<uint32_t>(size) - wire::kHeaderSize, true))
      return abandon(*lastFailed, lastExtension);
  }
  if (!audioEnded) audioRecording = 1;
}

// An audio file of an earlier recording of this name would be taken for
// this one's.
void CMakeFile::RemoveAudioFile() {
  std::string local, reason;
  if (platform::LocalPath(baseName + ".kea", &local, &reason)) platform::RemoveFile(local);
}

void CMakeFile::StopRecord() {
  if (videoRecording == 1) {
    videoRecording = 0;
    sdiFile->CloseOutputFile();
    kevFile->CloseOutputFile();
  }
  if (audioRecording == 1) {
    audioRecording = 0;
    keaFile->CloseOutputFile();
  }
}

void CMakeFile::WriteVideoRecord(uint8_t* message, uint32_t n) {
  if (videoRecording != 1) return;
  if (!PutVideo(message, n, false)) {
    CutBackAll(*lastFailed, baseName + lastExtension);
    StopRecord();
  }
}

void CMakeFile::WriteAudioRecord(const uint8_t* message, uint32_t n) {
  if (audioRecording != 1) return;
  if (!PutAudio(message, n, false)) {
    CutBackAll(*lastFailed, baseName + lastExtension);
    StopRecord();
  }
}

bool CMakeFile::PutVideo(uint8_t* m, uint32_t n, bool draining) {
  // Under 4 bytes the tag would be stale bytes; over the limit it is no
  // camera picture.
  if (n < 4 || n > kMaxPayload) return true;
  uint8_t entry[12];
  kevOffset += n;
  std::memcpy(entry, m + 8, 4);
  wire::WriteLe32(entry + 4, kevOffset);
  std::memcpy(entry + 8, m + wire::kHeaderSize, 4);
  std::memset(m + wire::kHeaderSize, 0xFF, 4);
  const Put payload = Write(*kevFile, m + wire::kHeaderSize, n);
  if (payload == Put::Failed || (payload == Put::Closed && !draining)) {
    lastFailed = kevFile.get();
    lastExtension = ".kev";
    return false;
  }
  const Put index = Write(*sdiFile, entry, sizeof entry);
  if (index == Put::Failed || (index == Put::Closed && !draining)) {
    lastFailed = sdiFile.get();
    lastExtension = ".sdi";
    return false;
  }
  if (payload == Put::Ok) kevLength += n;
  if (index == Put::Ok) sdiLength += sizeof entry;
  return true;
}

bool CMakeFile::PutAudio(const uint8_t* m, uint32_t n, bool draining) {
  if (n > kMaxPayload) return true;
  const uint32_t size = 8 + n;
  if (keaRecordSize == 0) keaRecordSize = size;
  if (size != keaRecordSize) {
    // A re-login switched the codec: records of another size would make the
    // file unreadable.
    EndAudioPart();
    return true;
  }
  uint8_t* r = record.get();
  std::memcpy(r, m + 8, 4);
  r[4] = m[6];
  r[5] = m[7];
  r[6] = m[3];
  r[7] = (m[3] & 0x80) != 0 ? 0xFF : 0x00;
  std::memcpy(r + 8, m + wire::kHeaderSize, n);
  const Put put = Write(*keaFile, r, size);
  if (put == Put::Failed || (put == Put::Closed && !draining)) {
    lastFailed = keaFile.get();
    lastExtension = ".kea";
    return false;
  }
  if (put == Put::Ok) keaLength += size;
  return true;
}

void CMakeFile::EndAudioPart() {
  audioEnded = true;
  audioRecording = 0;
  if (keaFile->IsOpen()) keaFile->CloseOutputFile();
  passMessage(255, "---rec:audio frame size changed; audio recording of " + baseName + " ended");
}
