#include "platform/message_queue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {
namespace {

struct Queue {
  std::mutex mutex;
  std::deque<Message> messages;
  std::condition_variable posted;  // wakes a thread waiting in VelmoraPumpMessages
  std::vector<EventSource*> sources;
  // Held while sources are polled, so removal from another thread can wait
  // for a poll in progress.
  std::recursive_mutex pollMutex;
};

std::mutex registryMutex;
std::map<ThreadId, std::shared_ptr<Queue>>& Registry() {
  static auto* registry = new std::map<ThreadId, std::shared_ptr<Queue>>;
  return *registry;
}

std::atomic<ThreadId> nextId{1};

// Drops the thread's queue when the thread ends; pending messages are lost,
// as they are when a thread with a Windows queue exits.
struct ThreadSlot {
  ThreadId id = nextId.fetch_add(1);
  std::shared_ptr<Queue> queue;
  ~ThreadSlot() {
    if (!queue) return;
    std::lock_guard<std::mutex> lock(registryMutex);
    Registry().erase(id);
  }
};

thread_local ThreadSlot slot;

std::shared_ptr<Queue> OwnQueue() {
  if (!slot.queue) {
    slot.queue = std::make_shared<Queue>();
    std::lock_guard<std::mutex> lock(registryMutex);
    Registry()[slot.id] = slot.queue;
  }
  return slot.queue;
}

std::shared_ptr<Queue> QueueOf(ThreadId id) {
  std::lock_guard<std::mutex> lock(registryMutex);
  auto it = Registry().find(id);
  return it == Registry().end() ? nullptr : it->second;
}

}  // namespace

ThreadId CurrentThreadId() { return slot.id; }

bool PostThreadMessage(ThreadId id, Message msg) {
  std::shared_ptr<Queue> queue = id == slot.id ? OwnQueue() : QueueOf(id);
  if (!queue) return false;
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->messages.push_back(std::move(msg));
  }
  queue->posted.notify_one();
  return true;
}

int PumpMessages() {
  std::shared_ptr<Queue> queue = OwnQueue();
  {
    std::lock_guard<std::recursive_mutex> polling(queue->pollMutex);
    std::vector<EventSource*> sources;
    {
      std::lock_guard<std::mutex> lock(queue->mutex);
      sources = queue->sources;
    }
    for (EventSource* src : sources) {
      bool stillThere;
      {
        std::lock_guard<std::mutex> lock(queue->mutex);
        stillThere = std::find(queue->sources.begin(), queue->sources.end(), src) != queue->sources.end();
      }
      if (stillThere) src->Poll();
    }
  }
  int dispatched = 0;
  for (;;) {
    Message msg;
    {
      std::lock_guard<std::mutex> lock(queue->mutex);
      if (queue->messages.empty()) break;
      msg = std::move(queue->messages.front());
      queue->messages.pop_front();
    }
    msg();
    ++dispatched;
  }
  return dispatched;
}

void AddEventSource(EventSource* src) {
  std::shared_ptr<Queue> queue = OwnQueue();
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->sources.push_back(src);
}

void RemoveEventSource(ThreadId owner, EventSource* src) {
  std::shared_ptr<Queue> queue = owner == slot.id ? slot.queue : QueueOf(owner);
  if (!queue) return;
  std::lock_guard<std::recursive_mutex> polling(queue->pollMutex);
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->sources.erase(std::remove(queue->sources.begin(), queue->sources.end(), src), queue->sources.end());
}

bool WaitForMessages(uint32_t timeoutMs) {
  // Event sources are polled, so a thread that owns some waits in short
  // slices; posted messages wake it at once.
  constexpr auto kPollSlice = std::chrono::milliseconds(5);
  std::shared_ptr<Queue> queue = OwnQueue();
  std::unique_lock<std::mutex> lock(queue->mutex);
  const auto timeout = std::chrono::milliseconds(timeoutMs);
  const auto wait = queue->sources.empty() ? timeout : std::min(timeout, std::chrono::milliseconds(kPollSlice));
  return queue->posted.wait_for(lock, wait, [&] { return !queue->messages.empty(); });
}

}  // namespace platform

extern "C" int VelmoraPumpMessages(unsigned timeoutMs) {
  using std::chrono::steady_clock;
  const steady_clock::time_point deadline = steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int total = 0;
  for (;;) {
    const int n = platform::PumpMessages();
    total += n;
    if (n > 0) continue;
    if (total > 0) return total;
    const steady_clock::time_point now = steady_clock::now();
    if (now >= deadline) return 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    platform::WaitForMessages(static_cast<uint32_t>(left > 0 ? left : 1));
  }
}
