#include "tools/velmora-recinfo/recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace recinfo {
namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

class FileSource : public Source {
 public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FileSource() override { ::close(fd_); }
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* dst, size_t n) const override {
    if (offset > size_ || n > size_ - offset) return false;
    auto* p = static_cast<uint8_t*>(dst);
    while (n > 0) {
      const ssize_t r = ::pread(fd_, p, n, static_cast<off_t>(offset));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      p += r;
      offset += static_cast<uint64_t>(r);
      n -= static_cast<size_t>(r);
    }
    return true;
  }

 private:
  int fd_;
  uint64_t size_;
};

class Checker {
 public:
  Checker(Report& report) : r_(report) {}
  void Violate(const char* file, uint64_t offset, std::string what) {
    if (r_.violations.size() < kMaxListed) r_.violations.push_back({file, offset, std::move(what)});
    ++r_.violationCount;
  }
  bool Signature(const Source* s, const char* file, const char* expected) {
    uint8_t sig[8] = {};
    if (!s->ReadAt(0, sig, 8)) {
      Violate(file, 0, "file shorter than its 8-byte signature");
      return false;
    }
    if (std::memcmp(sig, expected, 8) != 0) {
      Violate(file, 0, "bad signature");
      return false;
    }
    return true;
  }

 private:
  Report& r_;
};

// Where a stream's timestamps begin and where its first segment ends.
struct Timeline {
  bool any = false;
  uint32_t first = 0, firstSegmentLast = 0;
};

void List(std::vector<Step>& list, uint64_t& count, const Step& step) {
  if (list.size() < kMaxListed) list.push_back(step);
  ++count;
}

// A camera counts each connection's timestamps from the start (camsim from
// 0), so the first frame after the link re-opened the connections steps back
// into the first second of a count; a camera that rebooted may count from its
// own start instead, a step back of more than a second. Within a connection
// the count never goes back, so a step back of at most a second that lands
// beyond the first second is a fault, not a restart.
bool IsRestart(uint32_t from, uint32_t to, uint32_t perSecond) { return to < perSecond || from - to > perSecond; }

// The audio timestamp that goes with a video one: 10/9 audio frames per video
// tick, 4/3 under the other video standard; wrapping as the pre-record trim
// does.
uint32_t AudioAt(uint32_t videoStamp, bool otherStandard) {
  return static_cast<uint32_t>(uint64_t{videoStamp} * (otherStandard ? 4 : 10) / (otherStandard ? 3 : 9));
}

uint32_t Distance(uint32_t a, uint32_t b) {
  const auto d = static_cast<int64_t>(static_cast<int32_t>(a - b));
  return static_cast<uint32_t>(d < 0 ? -d : d);
}

// Offset of a second picture start (00 00 01 B6) after the first one, or 0.
uint32_t SecondPictureStart(const uint8_t* p, uint32_t n) {
  bool seen = false;
  for (uint32_t i = 0; i + 4 <= n; ++i) {
    if (p[i + 2] > 1) {
      i += 2;
      continue;
    }
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && p[i + 3] == 0xB6) {
      if (seen) return i;
      seen = true;
    }
  }
  return 0;
}

void CheckVideo(const Source* sdi, const Source* kev, bool live, Report& r, Checker& c, const FrameSink& sink,
                Timeline& line) {
  const bool indexOk = c.Signature(sdi, "sdi", "KESTOi\x03\x01");
  const bool videoOk = kev && c.Signature(kev, "kev", "KESTOv\x03\x00");
  if (!indexOk) return;
  uint8_t head[8];
  if (!sdi->ReadAt(8, head, 8)) {
    c.Violate("sdi", 8, "index header shorter than 16 bytes");
    return;
  }
  r.videoStandard = static_cast<int32_t>(Le32(head));
  r.startTime = Le32(head + 4);
  const uint64_t body = sdi->Size() - 16;
  const uint64_t entries = body / 12;
  if (body % 12 != 0 && !live)
    c.Violate("sdi", 16 + entries * 12, "partial index entry of " + std::to_string(body % 12) + " bytes");
  const uint64_t kevSize = kev ? kev->Size() : 0;

  std::vector<uint8_t> chunk(12 * 4096);
  std::vector<uint8_t> payload(kMaxPayload);
  uint64_t end = 0;  // unwrapped
  uint32_t lastEnd = 0, lastStamp = 0;
  for (uint64_t i = 0; i < entries; ++i) {
    const uint64_t at = 16 + i * 12;
    const uint64_t inChunk = i % 4096;
    if (inChunk == 0) {
      const uint64_t count = std::min<uint64_t>(4096, entries - i);
      if (!sdi->ReadAt(at, chunk.data(), count * 12)) {
        c.Violate("sdi", at, "unreadable");
        return;
      }
    }
    const uint8_t* e = chunk.data() + inChunk * 12;
    const uint32_t stamp = Le32(e), entryEnd = Le32(e + 4), tag = Le32(e + 8);
    ++r.frames;
    if ((tag >> 30) == 2) ++r.keyFrames;
    if (i == 0) {
      line = {true, stamp, stamp};
    } else if (const auto diff = static_cast<int32_t>(stamp - lastStamp); diff >= 0) {
      r.durationTicks += static_cast<uint32_t>(diff);
      if (static_cast<uint32_t>(diff) > kTicksPerSecond) List(r.gaps, r.gapCount, {i, lastStamp, stamp});
    } else if (IsRestart(lastStamp, stamp, kTicksPerSecond)) {
      List(r.restarts, r.restartCount, {i, lastStamp, stamp});
    } else {
      c.Violate("sdi", at,
                "timestamp " + std::to_string(stamp) + " steps back from " + std::to_string(lastStamp) + " inside a segment");
    }
    if (r.restartCount == 0) line.firstSegmentLast = stamp;
    lastStamp = stamp;
    const uint32_t step = entryEnd - lastEnd;
    lastEnd = entryEnd;
    const uint64_t begin = end;
    end += step;
    if (step > kMaxPayload) {
      c.Violate("sdi", at + 4, "end offset steps by " + std::to_string(step) + " (over 60000)");
      continue;
    }
    r.videoBytes += step;
    if (!kev || !videoOk) continue;
    if (8 + end > kevSize) {
      c.Violate("sdi", at + 4, "record at video offset " + std::to_string(8 + begin) + " of " + std::to_string(step) +
                                   " bytes ends past the video file's end");
      continue;
    }
    if (step < 4) {
      c.Violate("kev", 8 + begin, "record of " + std::to_string(step) + " bytes has no FF FF FF FF start");
      continue;
    }
    if (!kev->ReadAt(8 + begin, payload.data(), step)) {
      c.Violate("kev", 8 + begin, "unreadable");
      continue;
    }
    if (Le32(payload.data()) != 0xFFFFFFFFu) {
      c.Violate("kev", 8 + begin, "record does not start FF FF FF FF");
      continue;
    }
    if (const uint32_t second = SecondPictureStart(payload.data(), step); second != 0) {
      c.Violate("kev", 8 + begin + second, "picture start inside the record that begins at " + std::to_string(8 + begin));
      continue;
    }
    if (sink) sink(i, tag, payload.data(), step);
  }
  if (kev && videoOk && 8 + end < kevSize && !live)
    c.Violate("kev", 8 + end, std::to_string(kevSize - 8 - end) + " bytes after the last indexed record");
}

// 128 (IMA ADPCM) or 32 (G.723.1): the size whose first records' timestamps
// step by 1, else the one that divides the file.
uint32_t GuessRecordSize(const Source* kea) {
  const uint64_t body = kea->Size() - 12;
  int best = -1;
  uint32_t chosen = 128;
  for (const uint32_t size : {128u, 32u}) {
    int score = body % size == 0 ? 1 : 0;
    uint8_t t0[4], t1[4];
    for (uint64_t k = 0; k < 8 && 12 + (k + 2) * size <= kea->Size(); ++k) {
      if (!kea->ReadAt(12 + k * size, t0, 4) || !kea->ReadAt(12 + (k + 1) * size, t1, 4)) break;
      if (Le32(t1) != Le32(t0) + 1) break;
      score += 2;
    }
    if (score > best) {
      best = score;
      chosen = size;
    }
  }
  return chosen;
}

void CheckAudio(const Source* kea, bool live, Report& r, Checker& c, Timeline& line) {
  if (!c.Signature(kea, "kea", "KESTOa\x03\x01")) return;
  uint8_t word[4];
  if (!kea->ReadAt(8, word, 4)) {
    c.Violate("kea", 8, "audio header shorter than 12 bytes");
    return;
  }
  r.audioFormat = static_cast<int32_t>(Le32(word));
  // Every login clears the word before a recording can start.
  if (r.audioFormat != 0)
    c.Violate("kea", 8, "format word " + std::to_string(r.audioFormat) + " (the recorder writes 0)");
  const uint32_t size = GuessRecordSize(kea);
  r.audioRecordSize = size;
  const uint64_t body = kea->Size() - 12;
  const uint64_t records = body / size;
  if (body % size != 0 && !live)
    c.Violate("kea", 12 + records * size,
              "partial audio record of " + std::to_string(body % size) + " bytes (records are " + std::to_string(size) + ")");
  uint8_t head[8];
  uint32_t last = 0;
  for (uint64_t k = 0; k < records; ++k) {
    const uint64_t at = 12 + k * size;
    if (!kea->ReadAt(at, head, 8)) {
      c.Violate("kea", at, "unreadable");
      return;
    }
    ++r.audioRecords;
    const uint32_t stamp = Le32(head);
    const auto stepIndex = static_cast<int8_t>(head[6]);
    if (head[7] != (stepIndex < 0 ? 0xFF : 0x00))
      c.Violate("kea", at + 6, "step index is not a sign-extended byte");
    else if (size == 128 && (stepIndex < 0 || stepIndex > 88))
      c.Violate("kea", at + 6, "IMA ADPCM step index " + std::to_string(stepIndex) + " outside 0..88");
    if (k == 0) {
      line = {true, stamp, stamp};
    } else if (const auto diff = static_cast<int32_t>(stamp - last); diff > 1) {
      // Frames the camera skipped, or the end of a pre-record queue that was full.
      r.audioMissing += static_cast<uint32_t>(diff - 1);
      if (static_cast<uint32_t>(diff) > kAudioFramesPerSecond) List(r.audioGaps, r.audioGapCount, {k, last, stamp});
    } else if (diff <= 0 && IsRestart(last, stamp, kAudioFramesPerSecond)) {
      List(r.audioRestarts, r.audioRestartCount, {k, last, stamp});
    } else if (diff <= 0) {
      c.Violate("kea", at, "timestamp " + std::to_string(stamp) + " does not follow " + std::to_string(last));
    }
    if (r.audioRestartCount == 0) line.firstSegmentLast = stamp;
    last = stamp;
  }
}

// Both counts run from one origin at the camera's ratio of audio frames to
// video ticks, as the pre-record trim takes them.
void CheckAlignment(const Report& r, const Timeline& video, const Timeline& audio, Checker& c) {
  const bool other = r.videoStandard != 0;
  // The trim keeps no audio from before the first picture; without pre-record
  // the first picture follows the command by a frame interval, up to a second
  // at a camera's slowest rate. Half a second more covers the two connections
  // starting their counts apart.
  constexpr int32_t kMaxLeadFrames = 50;
  const auto lead = static_cast<int32_t>(AudioAt(video.first, other) - audio.first);
  if (lead > kMaxLeadFrames) {
    char text[96];
    std::snprintf(text, sizeof text, "audio begins %.2f s before the first video picture", lead * 0.03);
    c.Violate("kea", 12, text);
  }
  // Where the first segments end (when both streams restarted alike) the
  // audio timestamp tells the ratio, once the two standards' ratios lie ten
  // seconds of audio apart there: far beyond how far the two streams' ends,
  // or the starts of two connections that each count from 0, differ.
  if (r.restartCount != r.audioRestartCount) return;
  const uint32_t own = AudioAt(video.firstSegmentLast, other), wrong = AudioAt(video.firstSegmentLast, !other);
  if (Distance(own, wrong) < 10 * kAudioFramesPerSecond) return;
  if (Distance(audio.firstSegmentLast, wrong) < Distance(audio.firstSegmentLast, own))
    c.Violate("sdi", 8, std::string("video standard ") + std::to_string(r.videoStandard) + " does not match the audio, " +
                            "whose timestamps run at " + (other ? "10/9" : "4/3") + " of the video ticks");
}

}  // namespace

bool MemorySource::ReadAt(uint64_t offset, void* dst, size_t n) const {
  if (offset > size_ || n > size_ - offset) return false;
  if (n > 0) std::memcpy(dst, data_ + offset, n);
  return true;
}

std::unique_ptr<Source> OpenFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  // A device (a recording written to /dev/full) holds nothing.
  return std::make_unique<FileSource>(fd, S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0);
}

Report Check(const Source* sdi, const Source* kev, const Source* kea, bool live, const FrameSink& sink) {
  Report r;
  Checker c(r);
  r.hasIndex = sdi != nullptr;
  r.hasVideo = kev != nullptr;
  // A recording stopped before its first whole header was cut back to
  // empty files.
  r.empty = sdi && kev && sdi->Size() == 0 && kev->Size() == 0;
  r.hasAudio = kea != nullptr && kea->Size() > 0;
  if (!sdi) c.Violate("sdi", 0, "missing");
  if (!kev) c.Violate("kev", 0, "missing");
  Timeline video, audio;
  if (sdi && !r.empty) CheckVideo(sdi, kev, live, r, c, sink, video);
  else if (kev && !r.empty) c.Signature(kev, "kev", "KESTOv\x03\x00");
  if (r.hasAudio) CheckAudio(kea, live, r, c, audio);
  if (video.any && audio.any) CheckAlignment(r, video, audio, c);
  return r;
}

std::string FormatStartTime(uint32_t seconds) {
  // Civil date from days since 2000-01-01 (a Saturday in a 400-year era).
  int64_t z = static_cast<int64_t>(seconds / 86400) + 10957 + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  const uint32_t s = seconds % 86400;
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02u:%02u:%02u", static_cast<int>(year), static_cast<int>(month),
                static_cast<int>(day), s / 3600, s / 60 % 60, s % 60);
  return text;
}

}  // namespace recinfo
