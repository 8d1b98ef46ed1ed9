// Helpers for the video channel tests: a private system directory holding a
// decoder library, frames as the link thread queues them, a discrete-event
// test clock that steps the video thread from sleep to sleep, and a camera
// feeder that queues frames when their time comes.
#pragma once

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/video_channel.h"
#include "fake_quenda.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace video_test {

// A temporary directory that stands as the system directory while it lives.
class SystemDir {
 public:
  // library: the libquenda.so to put there; empty for none.
  explicit SystemDir(const std::string& library) {
    char pattern[] = "/tmp/velmora-video-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made ? made : "/tmp";
    if (!library.empty()) std::filesystem::copy_file(library, path_ + "/libquenda.so");
    setenv("VELMORA_SYSTEM_DIR", path_.c_str(), 1);
  }
  ~SystemDir() {
    unsetenv("VELMORA_SYSTEM_DIR");
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

inline std::string FakeLibrary() { return std::string(FAKE_QUENDA_DIR) + "/libquenda.so"; }

// The state of the fake decoder in the copy a channel loaded.
inline const FakeQuendaStateData* FakeState(const CVideoMPEG4& channel) {
  if (!channel.decoderLibrary) return nullptr;
  auto fn = reinterpret_cast<const void* (*)()>(dlsym(channel.decoderLibrary, "FakeQuendaState"));
  return fn ? static_cast<const FakeQuendaStateData*>(fn()) : nullptr;
}

enum FrameType : uint8_t { kOther = 0, kDroppable = 1, kKey = 2 };

// A whole VideoFrame message: the 12-byte header, then the payload with the
// tag already set to FF FF FF FF.
inline std::vector<uint8_t> MakeFrame(uint32_t timestamp, uint8_t type, const std::vector<uint8_t>& vop) {
  std::vector<uint8_t> m(12 + 4 + vop.size());
  const size_t payload = 4 + vop.size();
  m[0] = 0x00;
  m[1] = 0x01;
  m[2] = uint8_t(type << 6);
  m[4] = uint8_t(payload >> 8);
  m[5] = uint8_t(payload & 0xFF);
  m[6] = 0x1D;
  m[7] = 0xDE;
  for (int i = 0; i < 4; ++i) m[8 + size_t(i)] = uint8_t(timestamp >> (8 * i));
  std::memset(m.data() + 12, 0xFF, 4);
  if (!vop.empty()) std::memcpy(m.data() + 16, vop.data(), vop.size());
  return m;
}

// A frame the fake decoder reads: its id after the tag.
inline std::vector<uint8_t> FakeFrame(uint32_t timestamp, uint8_t type, int32_t id) {
  std::vector<uint8_t> vop(8, 0);
  std::memcpy(vop.data(), &id, 4);
  return MakeFrame(timestamp, type, vop);
}

// What the link thread does with a frame: queue it and note its timestamp.
inline void Queue(CVideoMPEG4& channel, const std::vector<uint8_t>& frame, uint32_t motion = 0) {
  channel.frameQueue->PushFrame(frame.data(), int32_t(frame.size()), int32_t(motion));
  uint32_t ts = 0;
  for (int i = 0; i < 4; ++i) ts |= uint32_t(frame[8 + size_t(i)]) << (8 * i);
  channel.newestTimestamp = ts;
}

// The id the fake decoder put into a 32-bit picture pixel at x < 256.
inline int32_t IdOf(uint32_t rgb) { return int32_t(rgb & 0x7F); }

// Time moves only from one sleep of the video thread to the next: the test
// waits until the thread sleeps, does what is due up to its wake-up time,
// and then wakes it there. Only the video thread may sleep on it.
class SimClock : public platform::Clock {
 public:
  explicit SimClock(uint64_t start = 0xFFFFF000u) : now_(start), start_(start) {}

  uint32_t TickCount() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return uint32_t(now_);
  }
  void Sleep(uint32_t ms) override {
    if (ms == 0) {
      std::this_thread::yield();
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    sleeps_.push_back(ms);
    if (freeRunning_) {
      now_ += ms;
      return;
    }
    deadline_ = now_ + ms;
    sleeping_ = true;
    ++entries_;
    moved_.notify_all();
    moved_.wait(lock, [&] { return freeRunning_ || now_ >= deadline_; });
    sleeping_ = false;
  }
  platform::LocalTime Now() override { return {}; }

  // Milliseconds since the start.
  uint64_t Elapsed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_ - start_;
  }
  std::vector<uint32_t> Sleeps() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sleeps_;
  }
  void ClearSleeps() {
    std::lock_guard<std::mutex> lock(mutex_);
    sleeps_.clear();
  }

  // Waits (real time) until the thread sleeps again; returns its wake-up
  // time relative to the start, or UINT64_MAX when it never did.
  uint64_t WaitSleeping() {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool ok = moved_.wait_for(lock, std::chrono::seconds(20),
                                    [&] { return sleeping_ && entries_ != woken_; });
    if (!ok) return UINT64_MAX;
    return deadline_ - start_;
  }
  void Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = entries_;
    now_ = deadline_;
    moved_.notify_all();
  }
  void SetElapsed(uint64_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ = start_ + ms;
  }
  // From now on sleeps return at once (for stopping the thread).
  void FreeRun() {
    std::lock_guard<std::mutex> lock(mutex_);
    freeRunning_ = true;
    moved_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable moved_;
  uint64_t now_;
  const uint64_t start_;
  uint64_t deadline_ = 0;
  bool sleeping_ = false;
  bool freeRunning_ = false;
  uint64_t entries_ = 0;  // sleeps begun
  uint64_t woken_ = 0;    // the sleep the test last woke
  std::vector<uint32_t> sleeps_;
};

// Frames with the time (ms from the start) at which the link queues them.
struct Scheduled {
  uint64_t at;
  std::vector<uint8_t> frame;
};

// Runs the channel's thread on the clock until `until`, queueing every
// scheduled frame whose time has come before the thread wakes.
inline bool RunUntil(SimClock& clock, CVideoMPEG4& channel, std::vector<Scheduled>& schedule, size_t& next,
                     uint64_t until) {
  for (;;) {
    const uint64_t wake = clock.WaitSleeping();
    if (wake == UINT64_MAX) return false;
    const uint64_t step = wake < until ? wake : until;
    while (next < schedule.size() && schedule[next].at <= step) Queue(channel, schedule[next++].frame);
    if (wake > until) {
      clock.SetElapsed(until);
      return true;
    }
    clock.Wake();
  }
}

// The camera's pace: frame k at k * 1000 / fps ms, timestamps `ticks` apart,
// a key frame every `keyEvery`.
inline std::vector<Scheduled> CameraSchedule(int frames, double fps, uint32_t ticks, int keyEvery,
                                             uint32_t firstTimestamp = 0) {
  std::vector<Scheduled> s;
  for (int k = 0; k < frames; ++k) {
    const uint64_t at = uint64_t(k * 1000.0 / fps);
    s.push_back({at, FakeFrame(firstTimestamp + uint32_t(k) * ticks, k % keyEvery == 0 ? kKey : kDroppable, k)});
  }
  return s;
}

}  // namespace video_test
