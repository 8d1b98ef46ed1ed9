// RecorderPeer: what the link thread calls and reads of the recorder. The
// link owns one; the recording files implement it, tests use a double, and
// NoRecorder stands in until a real one is given.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/frame_queue.h"
#include "platform/clock.h"
#include "platform/sync.h"

struct RecorderPeer {
  static constexpr int kNameSize = 100;

  virtual ~RecorderPeer() = default;

  // Opens the files and writes the pre-recorded messages first (the queues
  // are drained, oldest first), then sets the flags. Does nothing while
  // either flag is set.
  virtual void StartRecord(CManage2DBUF& preRecordVideo, CManage2DBUF& preRecordAudio) = 0;
  // Closes the parts that are recording and clears their flags.
  virtual void StopRecord() = 0;
  // One whole VideoFrame message (header and n payload bytes, n <= 60000).
  // Payload bytes 0-3 are overwritten with 0xFF.
  virtual void WriteVideoRecord(uint8_t* message, uint32_t n) = 0;
  // One whole AudioFrame message with n payload bytes.
  virtual void WriteAudioRecord(const uint8_t* message, uint32_t n) = 0;

  std::atomic<uint8_t> AudioModule{0};  // 1 when the camera has audio
  std::atomic<int32_t> videoStandard{0};
  std::atomic<int32_t> audioFormat{0};
  std::atomic<uint8_t> videoRecording{0};
  std::atomic<uint8_t> audioRecording{0};

  // Record base name (path and file name without extension); any thread.
  // Longer names are cut to 99 bytes, on a UTF-8 character boundary.
  void SetRecordName(const std::string& name);
  std::string RecordName();

 private:
  platform::CriticalSection recnameLock;
  char recname[kNameSize] = {};  // NUL-terminated, under recnameLock
};

// Records nothing; the flags stay clear.
struct NoRecorder final : RecorderPeer {
  void StartRecord(CManage2DBUF&, CManage2DBUF&) override {}
  void StopRecord() override {}
  void WriteVideoRecord(uint8_t*, uint32_t) override {}
  void WriteAudioRecord(const uint8_t*, uint32_t) override {}
};

// Seconds since 2000-01-01 00:00:00 of the same clock (no time-zone
// adjustment), low 32 bits.
uint32_t SecondsSince2000(const platform::LocalTime& time);
