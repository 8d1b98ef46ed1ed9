#include "engine/report_threads.h"

#include <atomic>
#include <exception>

bool ReportThreads::Start(std::function<void()> fn) {
  std::list<Entry> finished;
  bool started = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      auto next = std::next(it);
      if (it->done->load(std::memory_order_acquire)) finished.splice(finished.end(), entries_, it);
      it = next;
    }
    if (entries_.size() < kMaxAlive) {
      auto done = std::make_shared<std::atomic<bool>>(false);
      try {
        std::thread thread([fn = std::move(fn), done] {
          fn();
          done->store(true, std::memory_order_release);
        });
        entries_.push_back(Entry{std::move(thread), std::move(done)});
        started = true;
      } catch (const std::exception&) {
        // No thread to be had (memory, process limits): this report is lost.
      }
    }
  }
  for (auto& e : finished) e.thread.join();
  return started;
}

void ReportThreads::JoinAll() {
  std::list<Entry> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    all.swap(entries_);
  }
  for (auto& e : all) {
    if (!e.thread.joinable()) continue;
    if (e.thread.get_id() == std::this_thread::get_id()) {
      e.thread.detach();
    } else {
      e.thread.join();
    }
  }
}

size_t ReportThreads::Pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}
