// Reading a recording back ("%s.sdi", "%s.kev", "%s.kea") and checking it:
// signatures, whole index entries, end offsets that step 0..60000 (the
// 32-bit wrap unwrapped), records inside the video file that start FF FF FF FF
// and hold one picture start at most, no unindexed tail, and audio records
// of one size (128 or 32) with format word 0, sign-extended step bytes (0..88
// for IMA ADPCM) and timestamps that step by 1. Timestamps that step back to
// a restarted camera count begin a new segment; forward jumps are gaps. Audio
// must not begin well before the first picture, and its timestamps must keep
// the video standard's ratio to the video ones.
//
// Nothing is read past a file's end and nothing is allocated by a stored
// length; offsets are 64-bit, so files over 4 GiB work.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace recinfo {

class Source {
 public:
  virtual ~Source() = default;
  virtual uint64_t Size() const = 0;
  // False when [offset, offset + n) is not inside the source or unreadable.
  virtual bool ReadAt(uint64_t offset, void* dst, size_t n) const = 0;
};

// Null when the file cannot be opened. The size is taken once, here.
std::unique_ptr<Source> OpenFile(const std::string& path);

class MemorySource : public Source {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* dst, size_t n) const override;

 private:
  const uint8_t* data_;
  size_t size_;
};

struct Violation {
  std::string file;  // "sdi", "kev" or "kea"
  uint64_t offset;
  std::string what;
};

struct Step {
  uint64_t index;  // index entry or audio record
  uint32_t from, to;
};

struct Report {
  bool hasIndex = false, hasVideo = false, hasAudio = false;
  bool empty = false;  // empty index and video files
  int32_t videoStandard = 0;
  uint32_t startTime = 0;  // seconds since 2000-01-01 00:00:00 local time
  uint64_t frames = 0, keyFrames = 0, videoBytes = 0;
  uint64_t durationTicks = 0;  // forward timestamp steps added up
  std::vector<Step> gaps;      // forward steps over one second
  std::vector<Step> restarts;  // the camera's count started again: a new segment
  uint64_t gapCount = 0, restartCount = 0;
  int32_t audioFormat = 0;
  uint32_t audioRecordSize = 0;  // 128 IMA ADPCM, 32 G.723.1
  uint64_t audioRecords = 0, audioMissing = 0;
  std::vector<Step> audioGaps, audioRestarts;
  uint64_t audioGapCount = 0, audioRestartCount = 0;
  std::vector<Violation> violations;  // the first kMaxListed
  uint64_t violationCount = 0;
  bool Valid() const { return violationCount == 0; }
};

inline constexpr size_t kMaxListed = 100;
inline constexpr uint32_t kMaxPayload = 60000;
inline constexpr uint32_t kTicksPerSecond = 30;
inline constexpr uint32_t kAudioFramesPerSecond = 33;  // 30 ms each

// One indexed video record as it lies in the video file (its first four bytes
// FF FF FF FF); tag is the index entry's frame tag.
using FrameSink = std::function<void(uint64_t index, uint32_t tag, const uint8_t* payload, uint32_t n)>;

// Null sources are missing files (a missing index or video file is a
// violation). live: a partial index entry, video bytes beyond the last entry
// and a partial audio record are a recording still being written.
Report Check(const Source* sdi, const Source* kev, const Source* kea, bool live, const FrameSink& sink = {});

// "YYYY-MM-DD HH:MM:SS" of seconds since 2000-01-01 00:00:00.
std::string FormatStartTime(uint32_t seconds);

}  // namespace recinfo
