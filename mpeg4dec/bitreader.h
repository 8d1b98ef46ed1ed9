// Bit reader: a 32-bit window over the caller's buffer, most significant bit
// first, refilled two bytes at a time so it always holds 17 to 32 unread bits
// after a read. The window survives between decode calls: the bits that
// followed one picture are read before the next call's buffer.
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
  uint32_t window = 0;           // next unread bit in the top bit
  int validBits = 0;             // 0 only right after ResetBitReader
  uint32_t consumed = 0;         // bytes fetched during this call (virtual 0xFF ones too)
  uint32_t overrun = 0;          // virtual bytes fetched past the bound
};

inline constexpr size_t kUnbounded = SIZE_MAX;

inline void ResetBitReader(BitReader& r) {
  r.window = 0;
  r.validBits = 0;
}

// Points the reader at a new buffer, keeping the window.
inline void StartBuffer(BitReader& r, const uint8_t* buffer, size_t bound) {
  r.ptr = buffer;
  r.remaining = buffer ? bound : 0;
  r.consumed = 0;
  r.overrun = 0;
}

inline uint32_t FetchByte(BitReader& r) {
  ++r.consumed;
  if (r.remaining == 0) {
    ++r.overrun;
    return 0xFF;
  }
  --r.remaining;
  return *r.ptr++;
}

inline uint32_t Fetch16(BitReader& r) {
  if (r.remaining >= 2) [[likely]] {
    const uint32_t v = uint32_t(r.ptr[0]) << 8 | r.ptr[1];
    r.ptr += 2;
    r.remaining -= 2;
    r.consumed += 2;
    return v;
  }
  const uint32_t hi = FetchByte(r);
  return hi << 8 | FetchByte(r);
}

// Fills an empty window (first read after ResetBitReader).
inline void PrimeWindow(BitReader& r) {
  if (r.validBits != 0) return;
  const uint32_t hi = Fetch16(r);
  r.window = hi << 16 | Fetch16(r);
  r.validBits = 32;
}

// Next n bits (n 1..16) without advancing.
inline uint32_t ShowBits(const BitReader& r, int n) { return r.window >> (32 - n); }

inline void SkipBits(BitReader& r, int n) {
  r.window <<= n;
  r.validBits -= n;
  if (r.validBits <= 16) {
    r.window |= Fetch16(r) << (16 - r.validBits);
    r.validBits += 16;
  }
}

inline uint32_t GetBits(BitReader& r, int n) {
  const uint32_t v = r.window >> (32 - n);
  SkipBits(r, n);
  return v;
}

inline uint32_t GetBit(BitReader& r) { return GetBits(r, 1); }

inline void ReadMarkerBit(BitReader& r) { SkipBits(r, 1); }

// True when every unread bit of the window lies past the bound: from here
// on the reader yields only 1 bits.
inline bool Exhausted(const BitReader& r) { return r.overrun * 8 >= uint32_t(r.validBits); }

// Finds the next start code prefix (a 1 after at least 18 zero bits, at any
// bit position). Returns false when the bounded input ends first.
bool FindStartCode(BitReader& r);

}  // namespace quenda
