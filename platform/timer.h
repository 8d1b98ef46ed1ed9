// Timers run by the owning thread's message pump, on the clock seam: a timer
// made on a thread fires on that thread, from inside its pumps, once per
// interval. A pump that comes late fires it once, not once per missed
// interval, as window-message timers do.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/message_queue.h"

namespace platform {

class Timer : private EventSource {
 public:
  Timer(uint32_t intervalMs, bool enabled, std::function<void()> onTimer);
  ~Timer() override;
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Enabling (again) starts a whole new interval.
  void SetEnabled(bool enabled);
  bool Enabled() const { return enabled_; }
  void SetInterval(uint32_t intervalMs);
  uint32_t Interval() const { return interval_; }
  void SetHandler(std::function<void()> onTimer) { onTimer_ = std::move(onTimer); }

 private:
  void Poll() override;

  ThreadId owner_;
  uint32_t interval_;
  bool enabled_;
  uint32_t start_ = 0;
  std::function<void()> onTimer_;
};

}  // namespace platform
