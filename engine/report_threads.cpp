#include "engine/report_threads.h"

#include <atomic>

void ReportThreads::Start(std::function<void()> fn) {
  std::list<Entry> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      auto next = std::next(it);
      if (it->done->load(std::memory_order_acquire)) finished.splice(finished.end(), entries_, it);
      it = next;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([fn = std::move(fn), done] {
      fn();
      done->store(true, std::memory_order_release);
    });
    entries_.push_back(Entry{std::move(thread), std::move(done)});
  }
  for (auto& e : finished) e.thread.join();
}

void ReportThreads::JoinAll() {
  std::list<Entry> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    all.swap(entries_);
  }
  for (auto& e : all)
    if (e.thread.joinable()) e.thread.join();
}

size_t ReportThreads::Pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}
