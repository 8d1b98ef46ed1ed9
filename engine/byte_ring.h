// CManage1DBUF: a fixed 300000-byte circular byte buffer with all-or-nothing
// put and get and a mark/rewind of the read side, guarded by its own lock.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/sync.h"

class CManage1DBUF {
 public:
  static constexpr uint32_t kSize = 300000;
  static constexpr uint32_t kCapacity = kSize - 1;  // one byte always stays free

  CManage1DBUF();
  ~CManage1DBUF();
  CManage1DBUF(const CManage1DBUF&) = delete;
  CManage1DBUF& operator=(const CManage1DBUF&) = delete;

  // Appends all n bytes, or none when they would bring the count above
  // kCapacity. Returns 1 or 0.
  int PutBytes(const void* src, uint32_t n);
  // Removes n bytes into dst, or nothing when fewer are stored. Returns 1 or 0.
  int GetBytes(void* dst, uint32_t n);
  void ClearBytes();
  // A parser marks, reads a header, and rewinds when the message is not all
  // there yet. Bytes put between mark and rewind are kept: until the next
  // mark, rewind or clear, the bytes read since the mark are not reused.
  void MarkRead();
  void RewindRead();
  // Ends the mark without rewinding: what was read since it is consumed.
  void CommitRead();

  uint32_t Count();
  uint32_t WritePos();
  uint32_t ReadPos();

 private:
  platform::CriticalSection lock;
  uint32_t writePos = 0;
  uint32_t readPos = 0;
  uint32_t count = 0;
  uint32_t markPos = 0;
  // While a mark stands, the bytes taken since it stay reserved so a put
  // cannot overwrite what a rewind gives back.
  bool marked = false;
  uint32_t takenSinceMark = 0;
  std::unique_ptr<uint8_t[]> buffer;
};
