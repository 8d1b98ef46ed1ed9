#include "engine/frame_queue.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

CManage2DBUF::CManage2DBUF(uint32_t requestedCapacity)
    : capacity(std::clamp<uint32_t>(requestedCapacity, 1, kMaxCapacity)) {
  ClearFrames();
}

CManage2DBUF::~CManage2DBUF() { ClearFrames(); }

int CManage2DBUF::Push(const void* src, int32_t size, int32_t first, const int32_t* second) {
  platform::Lock guard(lock);
  if (count >= static_cast<int32_t>(capacity) || size < 0) return 0;
  if (items[writeIndex]) {
    delete[] items[writeIndex];
    items[writeIndex] = nullptr;
    --count;
  }
  auto* copy = new (std::nothrow) uint8_t[size > 0 ? size : 1];
  if (!copy) return 0;
  if (size > 0) std::memcpy(copy, src, static_cast<size_t>(size));
  items[writeIndex] = copy;
  sizes[writeIndex] = static_cast<uint32_t>(size);
  tagA[writeIndex] = first;
  if (second) tagB[writeIndex] = *second;
  writeIndex = (writeIndex + 1) % static_cast<int32_t>(capacity);
  ++count;
  return 1;
}

int CManage2DBUF::PushFrame(const void* src, int32_t size, int32_t tag) { return Push(src, size, tag, nullptr); }

int CManage2DBUF::PushFrameTagged(const void* src, int32_t size, int32_t second, int32_t first) {
  return Push(src, size, first, &second);
}

void CManage2DBUF::FreeHead(bool clearTagA) {
  delete[] items[readIndex];
  items[readIndex] = nullptr;
  sizes[readIndex] = 0;
  if (clearTagA) tagA[readIndex] = 0;
  readIndex = (readIndex + 1) % static_cast<int32_t>(capacity);
  --count;
}

void CManage2DBUF::PopFrame(void* dst, int32_t* size, int32_t* tag) {
  platform::Lock guard(lock);
  *size = 0;
  if (tag) *tag = 0;
  if (!items[readIndex]) return;
  std::memcpy(dst, items[readIndex], sizes[readIndex]);
  *size = static_cast<int32_t>(sizes[readIndex]);
  if (tag) *tag = tagA[readIndex];
  FreeHead(true);
}

void CManage2DBUF::PopFrameTagged(void* dst, int32_t* size, int32_t* tag) {
  platform::Lock guard(lock);
  *size = 0;
  *tag = 0;
  if (!items[readIndex]) return;
  std::memcpy(dst, items[readIndex], sizes[readIndex]);
  *size = static_cast<int32_t>(sizes[readIndex]);
  *tag = tagB[readIndex];
  FreeHead(false);
}

int CManage2DBUF::PeekFrame(void* dst, int32_t offset, int32_t len) {
  platform::Lock guard(lock);
  if (!items[readIndex] || offset < 0 || len < 0) return 0;
  if (static_cast<uint64_t>(offset) + static_cast<uint64_t>(len) > sizes[readIndex]) return 0;
  std::memcpy(dst, items[readIndex] + offset, static_cast<size_t>(len));
  return 1;
}

int32_t CManage2DBUF::HeadSize() {
  platform::Lock guard(lock);
  return items[readIndex] ? static_cast<int32_t>(sizes[readIndex]) : 0;
}

void CManage2DBUF::DropFrame() {
  platform::Lock guard(lock);
  if (items[readIndex]) {
    FreeHead(false);
  } else {
    sizes[readIndex] = 0;
  }
}

void CManage2DBUF::ClearFrames() {
  // Waits for a consumer pass in progress, and holds `turn` meanwhile so
  // the consumer's next pass waits for the clear. Also takes `lock`, which
  // the original did not: a clear then never overlaps a push from another
  // thread.
  std::unique_lock<platform::CriticalSection> waitYourTurn(turn);
  platform::Lock consumer(consumerLock);
  waitYourTurn.unlock();
  platform::Lock guard(lock);
  writeIndex = readIndex = count = 0;
  for (uint32_t i = 0; i < capacity; ++i) {
    delete[] items[i];
    items[i] = nullptr;
    sizes[i] = 0;
  }
}

int32_t CManage2DBUF::FrameCount() {
  platform::Lock guard(lock);
  return count;
}

int32_t CManage2DBUF::FrameWriteIndex() {
  platform::Lock guard(lock);
  return writeIndex;
}

int32_t CManage2DBUF::FrameReadIndex() {
  platform::Lock guard(lock);
  return readIndex;
}
