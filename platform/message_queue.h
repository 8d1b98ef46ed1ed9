// Per-thread message queues: work posted to a thread runs only when that
// thread pumps its messages, as window messages do.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

using ThreadId = uint32_t;  // 0 is never a valid id
using Message = std::function<void()>;

// A small, never-reused id of the calling thread.
ThreadId CurrentThreadId();

// Queues msg for thread id. False when that thread has no message queue
// (it never pumped or polled one) or has ended.
bool PostThreadMessage(ThreadId id, Message msg);

// Dispatches every message waiting for the calling thread, including ones
// posted while dispatching, and returns the number dispatched. Never blocks.
// Event sources owned by the thread (sockets) are polled once first.
int PumpMessages();

// Sleeps until a message is posted to the calling thread or timeoutMs pass;
// a thread that owns event sources (sockets, timers, windows) wakes at least
// every few milliseconds so they can be polled. True when a message waits.
// A host's loop: WaitForMessages, then PumpMessages.
bool WaitForMessages(uint32_t timeoutMs);

// Something that turns outside events into messages for its owning thread,
// polled at the start of each pump (see socket_posix.cpp).
class EventSource {
 public:
  virtual ~EventSource() = default;
  virtual void Poll() = 0;
};

// Registers src with the calling thread's queue; it is polled by that
// thread's pumps until removed. Removal may come from any thread and waits
// for a poll of src in progress on the owning thread to finish.
void AddEventSource(EventSource* src);
void RemoveEventSource(ThreadId owner, EventSource* src);

}  // namespace platform

// The host's message loop, for C, C++ or a script through FFI, in place of a
// window-message loop. Waits up to timeoutMs for work on the calling thread
// (queued messages, socket events), dispatches what is ready, returns early
// once it has dispatched something and nothing more is ready, and returns how
// many items it dispatched.
extern "C" int VelmoraPumpMessages(unsigned timeoutMs);
