// CThread: the common base of the engine's worker objects and their thread
// contract. The worker loops while keepRunning is set, pumping its message
// queue at the end of every pass; only the worker writes `running`. The owner
// stops it by clearing keepRunning and waiting until the thread has ended,
// also when it has not yet finished its start-up. A derived destructor calls
// StopThread before it releases anything the worker uses.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/message_queue.h"

class CThread {
 public:
  CThread() = default;
  ~CThread() { StopThread(); }
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  std::atomic<uint32_t> keepRunning{1};
  std::atomic<int32_t> running{0};
  // Id of the worker's message queue, set before the worker runs its body.
  std::atomic<platform::ThreadId> threadId{0};

 protected:
  // Starts proc(self) on a new thread at once.
  template <typename Self>
  void StartThread(Self* self, void (*proc)(Self*)) {
    std::atomic<bool> idKnown{false};
    thread_ = std::thread([this, self, proc, &idKnown] {
      threadId.store(platform::CurrentThreadId(), std::memory_order_release);
      idKnown.store(true, std::memory_order_release);
      idKnown.notify_one();
      proc(self);
    });
    idKnown.wait(false, std::memory_order_acquire);
  }

  // keepRunning := 0, then wait until the worker has really ended. Run by
  // the worker itself (its owner destroyed from inside a report), it lets the
  // thread go instead: it ends when the running call returns.
  void StopThread() {
    keepRunning.store(0, std::memory_order_release);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  bool ThreadStarted() const { return thread_.joinable(); }

 private:
  std::thread thread_;
};
