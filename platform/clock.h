// Millisecond tick count, sleeping and local time, behind a replaceable clock
// so tests can drive time by hand.
#pragma once

#include <cstdint>

namespace platform {

struct LocalTime {
  int year = 0;    // e.g. 2026
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..59
  int milliseconds = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds, wrapping at 2^32.
  virtual uint32_t TickCount() = 0;
  virtual void Sleep(uint32_t ms) = 0;
  virtual LocalTime Now() = 0;
};

// The clock every engine call goes through; the system clock unless a test
// installed another. Install before starting threads that use it.
Clock& CurrentClock();
void SetClock(Clock* clock);  // nullptr restores the system clock

inline uint32_t GetTickCount() { return CurrentClock().TickCount(); }
inline void Sleep(uint32_t ms) { CurrentClock().Sleep(ms); }
inline LocalTime GetLocalTime() { return CurrentClock().Now(); }

// Sleeps in real time whatever clock is installed; for polling loops that
// must finish even when a test holds the controlled clock still.
void RealSleep(uint32_t ms);

// A clock that moves only when the test advances it. Sleepers block until the
// time they asked for has been reached (Sleep(0) only yields). It starts just
// below 2^32 so wrap-around is exercised by default.
class ControlledClock : public Clock {
 public:
  explicit ControlledClock(uint32_t start = 0xFFFFF000u);
  ~ControlledClock() override;

  uint32_t TickCount() override;
  void Sleep(uint32_t ms) override;
  LocalTime Now() override;

  void Advance(uint32_t ms);
  void SetLocalTime(const LocalTime& t);
  // Threads currently blocked in Sleep; lets a test wait for a worker to park.
  int Sleepers();
  // Waits (in real time, up to timeoutMs) until at least n threads sleep.
  bool WaitForSleepers(int n, uint32_t timeoutMs = 5000);

 private:
  struct State;
  State* state_;
};

// Installs a clock for the lifetime of the guard.
class ScopedClock {
 public:
  explicit ScopedClock(Clock* clock) { SetClock(clock); }
  ~ScopedClock() { SetClock(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace platform
