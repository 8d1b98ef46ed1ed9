// CManage2DBUF: a bounded queue (at most 1000 entries) of heap copies of
// whole messages, each with its size and two integer tags.
//
// `lock` guards the indices and slots; `consumerLock` is held by the
// consumer for a whole pass and by ClearFrames, so a clear waits for the
// pass in progress. Both take `turn` on their way to `consumerLock`: a
// consumer that starts its next pass the moment it ends one would
// otherwise win the lock back from a waiting clear, pass after pass.
// Lock order: turn, then consumerLock, then lock. A thread that holds
// consumerLock takes neither turn nor consumerLock again: it would wait
// for a clear that waits for it.
#pragma once

#include <cstdint>

#include "platform/sync.h"

class CManage2DBUF {
 public:
  static constexpr uint32_t kMaxCapacity = 1000;

  explicit CManage2DBUF(uint32_t requestedCapacity);
  ~CManage2DBUF();
  CManage2DBUF(const CManage2DBUF&) = delete;
  CManage2DBUF& operator=(const CManage2DBUF&) = delete;

  // Queue a copy; 0 when full (the queue is unchanged).
  int PushFrame(const void* src, int32_t size, int32_t tag);
  int PushFrameTagged(const void* src, int32_t size, int32_t second, int32_t first);
  // Remove the head into dst, which must hold the largest item pushed. Size
  // (and tag) 0 when the queue is empty.
  void PopFrame(void* dst, int32_t* size, int32_t* tag = nullptr);
  void PopFrameTagged(void* dst, int32_t* size, int32_t* tag);
  // Copy len bytes from offset within the head; 0 when that range is not
  // inside the head (or the queue is empty), else 1.
  int PeekFrame(void* dst, int32_t offset, int32_t len);
  // Size of the head copy, 0 when empty.
  int32_t HeadSize();
  void DropFrame();
  void ClearFrames();
  int32_t FrameCount();
  int32_t FrameWriteIndex();
  int32_t FrameReadIndex();
  void LockFrames() {
    platform::Lock waitYourTurn(turn);
    consumerLock.Enter();
  }
  void UnlockFrames() { consumerLock.Leave(); }

  uint32_t Capacity() const { return capacity; }

 private:
  int Push(const void* src, int32_t size, int32_t first, const int32_t* second);
  void FreeHead(bool clearTagA);

  platform::CriticalSection lock;
  platform::CriticalSection consumerLock;
  platform::CriticalSection turn;
  int32_t writeIndex = 0;
  int32_t readIndex = 0;
  int32_t count = 0;
  uint32_t capacity;
  uint8_t* items[kMaxCapacity] = {};
  uint32_t sizes[kMaxCapacity] = {};
  int32_t tagA[kMaxCapacity] = {};
  int32_t tagB[kMaxCapacity] = {};
};
