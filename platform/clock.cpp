#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>

namespace platform {
namespace {

class SystemClock : public Clock {
 public:
  uint32_t TickCount() override {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
  }

  void Sleep(uint32_t ms) override { RealSleep(ms); }

  LocalTime Now() override {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm parts{};
    localtime_r(&seconds, &parts);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                     parts.tm_min,         parts.tm_sec,     static_cast<int>(ms)};
  }
};

// Never destroyed: engine threads may still ask for the time while the
// process exits around them.
Clock& SystemClockInstance() {
  static Clock* const clock = new SystemClock;
  return *clock;
}

std::atomic<Clock*> installed{nullptr};

}  // namespace

Clock& CurrentClock() {
  Clock* clock = installed.load(std::memory_order_acquire);
  return clock ? *clock : SystemClockInstance();
}

void SetClock(Clock* clock) { installed.store(clock, std::memory_order_release); }

void RealSleep(uint32_t ms) {
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

struct ControlledClock::State {
  std::mutex mutex;
  std::condition_variable moved;
  uint64_t now = 0;  // not wrapped, so sleeps across 2^32 end correctly
  int sleepers = 0;
  LocalTime local{2026, 1, 1, 0, 0, 0, 0};
};

ControlledClock::ControlledClock(uint32_t start) : state_(new State) { state_->now = start; }

ControlledClock::~ControlledClock() { delete state_; }

uint32_t ControlledClock::TickCount() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return static_cast<uint32_t>(state_->now);
}

void ControlledClock::Sleep(uint32_t ms) {
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  std::unique_lock<std::mutex> lock(state_->mutex);
  const uint64_t until = state_->now + ms;
  ++state_->sleepers;
  state_->moved.notify_all();
  state_->moved.wait(lock, [&] { return state_->now >= until; });
  --state_->sleepers;
}

LocalTime ControlledClock::Now() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->local;
}

void ControlledClock::Advance(uint32_t ms) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->now += ms;
  state_->moved.notify_all();
}

void ControlledClock::SetLocalTime(const LocalTime& t) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->local = t;
}

int ControlledClock::Sleepers() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->sleepers;
}

bool ControlledClock::WaitForSleepers(int n, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->moved.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return state_->sleepers >= n; });
}

}  // namespace platform
