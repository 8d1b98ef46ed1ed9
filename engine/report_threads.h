// Short-lived threads that each raise one message. Their owner waits for all
// of them before it releases anything they use; each thread gets its own copy
// of what it reports.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

class ReportThreads {
 public:
  ReportThreads() = default;
  ~ReportThreads() { JoinAll(); }
  ReportThreads(const ReportThreads&) = delete;
  ReportThreads& operator=(const ReportThreads&) = delete;

  // At most this many report threads are alive at once: the camera decides
  // how many reports arrive, and hundreds can come in one pass.
  static constexpr size_t kMaxAlive = 32;

  // Runs fn on a new thread; threads that have finished are reaped first.
  // False, and fn dropped, when kMaxAlive are still running or no thread
  // can be made.
  bool Start(std::function<void()> fn);
  // Waits for every thread started so far; called from one of them, that
  // one is let go instead of joining itself.
  void JoinAll();
  // Threads started and not yet reaped.
  size_t Pending();

 private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex mutex_;
  std::list<Entry> entries_;
};
