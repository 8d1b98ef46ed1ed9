// Recursive critical section, the engine's only kind of lock.
#pragma once

#include <mutex>

namespace platform {

class CriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  bool TryEnter() { return mutex_.try_lock(); }

  // Lets std::lock_guard and std::unique_lock take it.
  void lock() { Enter(); }
  void unlock() { Leave(); }
  bool try_lock() { return TryEnter(); }

 private:
  std::recursive_mutex mutex_;
};

using Lock = std::lock_guard<CriticalSection>;

}  // namespace platform
