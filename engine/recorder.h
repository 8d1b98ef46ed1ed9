// The recorder: three files of one base name, an index ("%s.sdi"), the video
// payloads ("%s.kev") and, when the camera has audio, the audio records
// ("%s.kea"). Everything but construction and the name runs on the link
// thread.
//
// A record's payload is written before its index entry and each entry in one
// write, so a reader of a growing recording never meets an entry without its
// bytes. A short write on an open file cuts every file back to its last whole
// record and stops the whole recording.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/recorder_peer.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "shared/message_closure.h"

// One output file; open, close and write are serialised by fileLock.
class CRecord {
 public:
  CRecord() = default;
  ~CRecord();
  CRecord(const CRecord&) = delete;
  CRecord& operator=(const CRecord&) = delete;

  // Creates or truncates the file; the name may use a drive letter. Boxes:
  // "Already Opened(%s)" / "Alert" (the open file is kept) and
  // "Fail to open file(%s)" / "Error". True when the file is open now.
  bool OpenOutputFile(const char* path);
  // Box "File was NOT opened" / "Alert" when it is closed.
  void CloseOutputFile();
  // Bytes written; 0 when the file is closed.
  uint32_t WriteToFile(const void* buffer, int32_t n);

  bool IsOpen();
  // Cuts the file back to length bytes (nothing when closed).
  void CutBack(uint64_t length);
  // Why the last write or open fell short.
  std::string LastFailure();

  // Gets the mapped path and the reason when an open fails.
  MessageClosure* log = nullptr;

 private:
  std::unique_ptr<platform::OutputFile> fileHandle;  // null = closed
  platform::CriticalSection fileLock;
  std::string failure;
};

class CMakeFile : public RecorderPeer {
 public:
  static constexpr uint32_t kMaxPayload = 60000;
  static constexpr uint32_t kAdpcmRecord = 8 + 120;
  static constexpr uint32_t kG7231Record = 8 + 24;

  CMakeFile();
  ~CMakeFile() override;

  void StartRecord(CManage2DBUF& preRecordVideo, CManage2DBUF& preRecordAudio) override;
  void StopRecord() override;
  void WriteVideoRecord(uint8_t* message, uint32_t n) override;
  void WriteAudioRecord(const uint8_t* message, uint32_t n) override;

  std::unique_ptr<CRecord> sdiFile;
  std::unique_ptr<CRecord> kevFile;
  std::unique_ptr<CRecord> keaFile;
  uint32_t kevOffset = 0;  // payload bytes since the start, wrapping at 2^32

  // Trace lines (255) of the recorder: a failed open, a short write.
  MessageClosure passMessage;

 private:
  enum class Put { Ok, Closed, Failed };
  Put Write(CRecord& file, const void* data, uint32_t n);
  // Payload, then its index entry; false when the recording was stopped.
  bool PutVideo(uint8_t* message, uint32_t n, bool draining);
  bool PutAudio(const uint8_t* message, uint32_t n, bool draining);
  // A write on an open file fell short: every file back to its last whole
  // record, one trace line.
  void CutBackAll(CRecord& failed, const std::string& name);
  void EndAudioPart();
  void RemoveAudioFile();

  std::string baseName;
  // Bytes of whole headers and records in each file.
  uint64_t sdiLength = 0, kevLength = 0, keaLength = 0;
  uint32_t keaRecordSize = 0;  // size of the first audio record, 0 before it
  bool audioEnded = false;     // the audio part ended on a size change
  CRecord* lastFailed = nullptr;
  const char* lastExtension = "";
  std::unique_ptr<uint8_t[]> work;    // one whole message
  std::unique_ptr<uint8_t[]> record;  // one audio record
};
