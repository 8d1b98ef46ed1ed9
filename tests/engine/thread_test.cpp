#include "engine/thread_base.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"

namespace {

// A worker that follows the engine's thread contract, with a slow start-up.
class Worker : public CThread {
 public:
  explicit Worker(uint32_t startupMs, std::atomic<int>* alive) : startupMs_(startupMs), alive_(alive) {
    StartThread(this, &Worker::Proc);
  }
  ~Worker() {
    StopThread();
    ended = running.load() == 0;
  }
  bool ended = false;
  std::atomic<int> passes{0};

 private:
  static void Proc(Worker* self) {
    self->alive_->fetch_add(1);
    platform::RealSleep(self->startupMs_);
    self->running = 1;
    while (self->keepRunning == 1) {
      ++self->passes;
      platform::PumpMessages();
      platform::RealSleep(1);
    }
    self->running = 0;
    self->alive_->fetch_sub(1);
  }
  uint32_t startupMs_;
  std::atomic<int>* alive_;
};

TEST(ThreadContract, DestructorWaitsForTheThreadToEnd) {
  std::atomic<int> alive{0};
  {
    Worker w(0, &alive);
    while (w.passes < 3) platform::RealSleep(1);
  }
  EXPECT_EQ(alive.load(), 0);
}

TEST(ThreadContract, DestroyedDuringStartupStillWaits) {
  std::atomic<int> alive{0};
  { Worker w(200, &alive); }
  EXPECT_EQ(alive.load(), 0) << "the worker was still starting when its owner went away";
}

TEST(ThreadContract, WorkerPumpsItsOwnQueue) {
  std::atomic<int> alive{0};
  Worker w(0, &alive);
  std::atomic<platform::ThreadId> ranOn{0};
  ASSERT_NE(w.threadId.load(), 0u);
  while (!platform::PostThreadMessage(w.threadId, [&] { ranOn = platform::CurrentThreadId(); }))
    platform::RealSleep(1);
  while (ranOn == 0) platform::RealSleep(1);
  EXPECT_EQ(ranOn.load(), w.threadId.load());
}

}  // namespace
