// A bounded wait for a condition, polled; tests never wait on fixed times.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testing_support {

// True once done() holds; false when it still does not after timeoutMs.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int pollMs = 2) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  return true;
}

}  // namespace testing_support
