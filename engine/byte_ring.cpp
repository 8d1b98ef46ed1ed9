#include "engine/byte_ring.h"

#include <algorithm>
#include <cstring>

CManage1DBUF::CManage1DBUF() : buffer(new uint8_t[kSize]) { ClearBytes(); }

CManage1DBUF::~CManage1DBUF() = default;

int CManage1DBUF::PutBytes(const void* src, uint32_t n) {
  platform::Lock guard(lock);
  if (n > kCapacity - count - takenSinceMark) return 0;
  const auto* from = static_cast<const uint8_t*>(src);
  uint32_t first = std::min(n, kSize - writePos);
  if (first) std::memcpy(&buffer[writePos], from, first);
  if (n > first) std::memcpy(&buffer[0], from + first, n - first);
  writePos = (writePos + n) % kSize;
  count += n;
  return 1;
}

int CManage1DBUF::GetBytes(void* dst, uint32_t n) {
  platform::Lock guard(lock);
  if (count < n) return 0;
  auto* to = static_cast<uint8_t*>(dst);
  uint32_t first = std::min(n, kSize - readPos);
  if (first) std::memcpy(to, &buffer[readPos], first);
  if (n > first) std::memcpy(to + first, &buffer[0], n - first);
  readPos = (readPos + n) % kSize;
  count -= n;
  if (marked) takenSinceMark += n;
  return 1;
}

void CManage1DBUF::ClearBytes() {
  platform::Lock guard(lock);
  writePos = readPos = count = markPos = takenSinceMark = 0;
  marked = false;
}

void CManage1DBUF::MarkRead() {
  platform::Lock guard(lock);
  markPos = readPos;
  marked = true;
  takenSinceMark = 0;
}

void CManage1DBUF::RewindRead() {
  platform::Lock guard(lock);
  // What was taken since the mark comes back; what was put meanwhile stays.
  readPos = markPos;
  count += takenSinceMark;
  marked = false;
  takenSinceMark = 0;
}

void CManage1DBUF::CommitRead() {
  platform::Lock guard(lock);
  marked = false;
  takenSinceMark = 0;
}

uint32_t CManage1DBUF::Count() {
  platform::Lock guard(lock);
  return count;
}

uint32_t CManage1DBUF::WritePos() {
  platform::Lock guard(lock);
  return writePos;
}

uint32_t CManage1DBUF::ReadPos() {
  platform::Lock guard(lock);
  return readPos;
}
