#include "platform/timer.h"

#include "platform/clock.h"

namespace platform {

Timer::Timer(uint32_t intervalMs, bool enabled, std::function<void()> onTimer)
    : owner_(CurrentThreadId()), interval_(intervalMs), enabled_(enabled), start_(GetTickCount()),
      onTimer_(std::move(onTimer)) {
  AddEventSource(this);
}

Timer::~Timer() { RemoveEventSource(owner_, this); }

void Timer::SetEnabled(bool enabled) {
  if (enabled && !enabled_) start_ = GetTickCount();
  enabled_ = enabled;
}

void Timer::SetInterval(uint32_t intervalMs) {
  interval_ = intervalMs;
  start_ = GetTickCount();
}

void Timer::Poll() {
  if (!enabled_ || interval_ == 0) return;
  const uint32_t now = GetTickCount();
  if (now - start_ < interval_) return;
  start_ = now;
  if (onTimer_) onTimer_();
}

}  // namespace platform
