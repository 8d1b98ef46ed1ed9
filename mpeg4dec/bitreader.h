// Bit reader over the caller's buffer, most significant bit first.
//
// The reader's visible behaviour is that of a 32-bit window refilled two
// bytes at a time, holding 17 to 32 unread bits after every read: that window
// survives between decode calls (the bits that followed one picture are read
// before the next call's buffer), and a call's result counts the bytes such a
// window would have fetched. Internally a 64-bit cache refilled four bytes at
// a time does the reading; the window and the count are derived from the
// read position (WindowBits, ConsumedBytes) and the cache is cut back to the
// window when the next buffer starts.
//
// An optional bound makes every byte past it read as 0xFF without touching
// memory, so a hostile picture cannot walk the reader out of its buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quenda {

struct BitReader {
  const uint8_t* ptr = nullptr;  // next byte to fetch
  size_t remaining = 0;          // bytes left before the bound (SIZE_MAX: no bound)
  uint64_t cache = 0;            // next unread bit in the top bit
  int bits = 0;                  // valid bits in the cache
  int startBits = 0;             // window bits carried into this call (0 after a reset)
  uint32_t fetched = 0;          // bytes taken into the cache during this call
  uint32_t overrun = 0;          // of those, virtual 0xFF bytes past the bound
};

inline constexpr size_t kUnbounded = SIZE_MAX;

inline void ResetBitReader(BitReader& r) {
  r.cache = 0;
  r.bits = 0;
  r.startBits = 0;
  r.fetched = 0;
  r.overrun = 0;
}

// Bits read during this call, the carried window bits included.
inline uint32_t BitsRead(const BitReader& r) { return uint32_t(r.startBits) + 8 * r.fetched - uint32_t(r.bits); }

// The 32-bit window's state after this call's reads: its unread bits (17..32)
// and the bytes it fetched from this call's buffer.
struct WindowState {
  int validBits;
  uint32_t consumed;
};
inline WindowState Window(const BitReader& r) {
  const uint32_t read = BitsRead(r);
  if (read == 0) return {r.startBits, 0};
  // After a reset the window starts with four bytes; otherwise with what it carried.
  uint32_t consumed = r.startBits ? 0 : 4;
  int valid = int((r.startBits ? uint32_t(r.startBits) : 32u) - read);
  while (valid <= 16) {
    valid += 16;
    consumed += 2;
  }
  return {valid, consumed};
}
inline uint32_t ConsumedBytes(const BitReader& r) { return Window(r).consumed; }
inline int WindowBits(const BitReader& r) { return Window(r).validBits; }

inline uint32_t FetchByte(BitReader& r) {
  if (r.remaining == 0) {
    ++r.overrun;
    return 0xFF;
  }
  --r.remaining;
  return *r.ptr++;
}

inline void Refill(BitReader& r) {
  uint32_t v;
  if (r.remaining >= 4) [[likely]] {
    v = uint32_t(r.ptr[0]) << 24 | uint32_t(r.ptr[1]) << 16 | uint32_t(r.ptr[2]) << 8 | r.ptr[3];
    r.ptr += 4;
    r.remaining -= 4;
  } else {
    v = FetchByte(r) << 24;
    v |= FetchByte(r) << 16;
    v |= FetchByte(r) << 8;
    v |= FetchByte(r);
  }
  r.fetched += 4;
  r.cache |= uint64_t(v) << (32 - r.bits);
  r.bits += 32;
}

// Points the reader at a new buffer. Only the previous call's window carries
// over; bytes the cache took beyond it belonged to the old buffer.
inline void StartBuffer(BitReader& r, const uint8_t* buffer, size_t bound) {
  const int keep = BitsRead(r) ? WindowBits(r) : r.startBits;
  r.cache = keep ? r.cache & ~(~uint64_t(0) >> keep) : 0;
  r.bits = keep;
  r.startBits = keep;
  r.fetched = 0;
  r.overrun = 0;
  r.ptr = buffer;
  r.remaining = buffer ? bound : 0;
}

// Makes sure the cache can serve reads (call once after StartBuffer).
inline void PrimeWindow(BitReader& r) {
  if (r.bits <= 32) Refill(r);
}

// Next n bits (n 1..32) without advancing.
inline uint32_t ShowBits(const BitReader& r, int n) { return uint32_t(r.cache >> (64 - n)); }

inline void SkipBits(BitReader& r, int n) {
  r.cache <<= n;
  r.bits -= n;
  if (r.bits <= 32) Refill(r);
}

// For loops that refill on their own cadence: consume without refilling
// (the cache must hold n bits), then TopUp, which brings the reader back to
// the state SkipBits would have left, without a branch on the bit count
// while four bytes remain before the bound.
inline void DropBits(BitReader& r, int n) {
  r.cache <<= n;
  r.bits -= n;
}
inline void TopUp(BitReader& r) {
  if (r.remaining < 4) [[unlikely]] {
    if (r.bits <= 32) Refill(r);
    return;
  }
  const uint32_t v = uint32_t(r.ptr[0]) << 24 | uint32_t(r.ptr[1]) << 16 | uint32_t(r.ptr[2]) << 8 | r.ptr[3];
  const uint32_t need = r.bits <= 32 ? 1 : 0;
  r.cache |= (uint64_t(v) << ((32 - r.bits) & 63)) & (0 - uint64_t(need));
  r.ptr += 4 * need;
  r.remaining -= 4 * need;
  r.fetched += 4 * need;
  r.bits += 32 * int(need);
}

inline uint32_t GetBits(BitReader& r, int n) {
  const uint32_t v = ShowBits(r, n);
  SkipBits(r, n);
  return v;
}

inline uint32_t GetBit(BitReader& r) { return GetBits(r, 1); }

inline void ReadMarkerBit(BitReader& r) { SkipBits(r, 1); }

// True when every unread bit lies past the bound: from here on the reader
// yields only 1 bits.
inline bool Exhausted(const BitReader& r) { return r.overrun * 8 >= uint32_t(r.bits); }

// Finds the next start code prefix (a 1 after at least 18 zero bits, at any
// bit position). Returns false when the bounded input ends first.
bool FindStartCode(BitReader& r);

}  // namespace quenda
