// Variable-length code lookup tables and scan orders.
//
// The code lists (vlc_codes.inc) are transcribed from the plain-data tables;
// the lookup arrays are built from them at compile time. A lookup takes the
// next few bits of the stream (most significant first) and gives the code's
// length and values; length 0 means no code matches.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quenda {

struct RawCode {
  uint32_t bits;
  uint8_t length;
  int8_t a, b, c;
};

#include "vlc_codes.inc"

struct VlcEntry {
  uint8_t length = 0;  // 0: no code
  int8_t a = 0, b = 0, c = 0;
};

// Entries for peeks c in [lo, lo + (Size << shift)), indexed by (c - lo) >> shift.
// Each entry holds the code whose bits prefix c and is short enough to be
// told apart by the index.
template <size_t Size, size_t N>
constexpr std::array<VlcEntry, Size> BuildVlcRange(const RawCode (&codes)[N], int peekBits, uint32_t lo, int shift) {
  std::array<VlcEntry, Size> table{};
  for (size_t j = 0; j < Size; ++j) {
    const uint32_t c = lo + (uint32_t(j) << shift);
    for (const RawCode& code : codes) {
      if (code.length > peekBits - shift) continue;
      if ((c >> (peekBits - code.length)) == code.bits) {
        table[j] = VlcEntry{code.length, code.a, code.b, code.c};
        break;
      }
    }
  }
  return table;
}

// MCBPC, 9-bit peek; a = mb_type (-1 stuffing), b = cbpc.
inline constexpr auto kMcbpcIntraTable = BuildVlcRange<512>(kMcbpcIntraCodes, 9, 0, 0);
inline constexpr auto kMcbpcInterTable = BuildVlcRange<512>(kMcbpcInterCodes, 9, 0, 0);
// CBPY, 6-bit peek; a = intra pattern.
inline constexpr auto kCbpyTable = BuildVlcRange<64>(kCbpyCodes, 6, 0, 0);

// Motion code magnitude, 12-bit peek (sign read separately): codes of up to
// 4 bits above 256, the rest (prefix 0000) by all 12 bits.
inline constexpr auto kMvdShortTable = BuildVlcRange<16>(kMvdCodes, 12, 0, 8);
inline constexpr auto kMvdLongTable = BuildVlcRange<256>(kMvdCodes, 12, 0, 0);
inline VlcEntry LookupMvd(uint32_t c12) { return c12 >= 256 ? kMvdShortTable[c12 >> 8] : kMvdLongTable[c12]; }

// Motion codes of up to 9 bits with their sign bit over a 10-bit peek (all
// but the largest differences); length 0: look further with LookupMvd.
inline constexpr int kFastMvdBits = 10;
struct FastMvd {
  int8_t value = 0;    // signed motion_code
  uint8_t length = 0;  // code + sign (no sign after the code of 0)
};
constexpr std::array<FastMvd, 1 << kFastMvdBits> BuildFastMvd() {
  constexpr int kBits = kFastMvdBits;
  std::array<FastMvd, 1 << kBits> t{};
  for (uint32_t c = 0; c < (1u << kBits); ++c)
    for (const RawCode& code : kMvdCodes) {
      const int length = code.length + (code.a ? 1 : 0);
      if (length > kBits || (c >> (kBits - code.length)) != code.bits) continue;
      const bool negative = code.a && ((c >> (kBits - length)) & 1);
      t[c] = FastMvd{int8_t(negative ? -code.a : code.a), uint8_t(length)};
    }
  return t;
}
inline constexpr auto kFastMvdTable = BuildFastMvd();

// DC size: luma 11-bit peek, chroma 12-bit peek; a = size.
inline constexpr auto kDcLumaShort = BuildVlcRange<8>(kDcSizeLumaCodes, 11, 0, 8);
inline constexpr auto kDcLumaLong = BuildVlcRange<256>(kDcSizeLumaCodes, 11, 0, 0);
inline VlcEntry LookupDcSizeLuma(uint32_t c11) { return c11 >= 256 ? kDcLumaShort[c11 >> 8] : kDcLumaLong[c11]; }
inline constexpr auto kDcChromaShort = BuildVlcRange<8>(kDcSizeChromaCodes, 12, 0, 9);
inline constexpr auto kDcChromaLong = BuildVlcRange<512>(kDcSizeChromaCodes, 12, 0, 0);
inline VlcEntry LookupDcSizeChroma(uint32_t c12) { return c12 >= 512 ? kDcChromaShort[c12 >> 9] : kDcChromaLong[c12]; }

// Coefficient codes, 12-bit peek in three ranges: c >= 512 (codes up to 7
// bits), 128..511 (8 to 10 bits), 8..127 (10 to 12 bits); below 8 nothing.
// a = last, b = run, c = level; the escape has all three -1.
struct TcoefTable {
  std::array<VlcEntry, 112> shortCodes;
  std::array<VlcEntry, 96> midCodes;
  std::array<VlcEntry, 120> longCodes;
};
template <size_t N>
constexpr TcoefTable BuildTcoefTable(const RawCode (&codes)[N]) {
  return TcoefTable{BuildVlcRange<112>(codes, 12, 512, 5), BuildVlcRange<96>(codes, 12, 128, 2),
                    BuildVlcRange<120>(codes, 12, 8, 0)};
}
inline constexpr TcoefTable kTcoefIntraTable = BuildTcoefTable(kTcoefIntraCodes);
inline constexpr TcoefTable kTcoefInterTable = BuildTcoefTable(kTcoefInterCodes);

// First-level coefficient table over the next 11 bits: every code of up to
// 10 bits with its sign bit, the level already signed (8 KB, all but about
// one code in twenty at typical quantisers). length 0: look further, in the
// second-level table, or the escape when last is kFastTcoefEscape.
inline constexpr int kFastTcoefBits = 11;
inline constexpr uint8_t kFastTcoefEscape = 0xFF;
struct FastTcoef {
  int8_t level = 0;
  uint8_t run = 0;
  uint8_t last = 0;
  uint8_t length = 0;  // code + sign
};
template <size_t N>
constexpr std::array<FastTcoef, 1 << kFastTcoefBits> BuildFastTcoef(const RawCode (&codes)[N]) {
  constexpr int kBits = kFastTcoefBits;
  std::array<FastTcoef, 1 << kBits> t{};
  for (uint32_t c = 0; c < (1u << kBits); ++c)
    for (const RawCode& code : codes) {
      if (code.length > kBits - 1 || (c >> (kBits - code.length)) != code.bits) continue;
      if (code.a < 0) {
        t[c].last = kFastTcoefEscape;
        continue;
      }
      const bool negative = (c >> (kBits - 1 - code.length)) & 1;
      t[c] = FastTcoef{int8_t(negative ? -code.c : code.c), uint8_t(code.b), uint8_t(code.a), uint8_t(code.length + 1)};
    }
  return t;
}
inline constexpr auto kTcoefIntraFast = BuildFastTcoef(kTcoefIntraCodes);
inline constexpr auto kTcoefInterFast = BuildFastTcoef(kTcoefInterCodes);

// Second level: the codes too long for the first (11 and 12 bits; every
// code of 10 bits or more begins with 0000), with their sign bit; indexed by the 9 bits after those four zeros (the low
// 9 bits of a 13-bit peek). length 0: no code.
inline constexpr int kLongTcoefBits = 13;
template <size_t N>
constexpr std::array<FastTcoef, 512> BuildLongTcoef(const RawCode (&codes)[N]) {
  std::array<FastTcoef, 512> t{};
  for (uint32_t c = 0; c < 512; ++c)
    for (const RawCode& code : codes) {
      const int tail = code.length - 4;  // bits after the prefix
      if (code.a < 0 || code.length < kFastTcoefBits || code.bits >> tail != 0 || (c >> (9 - tail)) != code.bits)
        continue;
      const bool negative = (c >> (8 - tail)) & 1;
      t[c] = FastTcoef{int8_t(negative ? -code.c : code.c), uint8_t(code.b), uint8_t(code.a), uint8_t(code.length + 1)};
    }
  return t;
}
inline constexpr auto kTcoefIntraLong = BuildLongTcoef(kTcoefIntraCodes);
inline constexpr auto kTcoefInterLong = BuildLongTcoef(kTcoefInterCodes);

inline VlcEntry LookupTcoef(const TcoefTable& t, uint32_t c12) {
  if (c12 >= 512) return t.shortCodes[(c12 - 512) >> 5];
  if (c12 >= 128) return t.midCodes[(c12 - 128) >> 2];
  if (c12 >= 8) return t.longCodes[c12 - 8];
  return VlcEntry{};
}

}  // namespace quenda
