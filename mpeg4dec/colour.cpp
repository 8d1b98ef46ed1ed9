#include "colour.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "deblock.h"

#include "kernel_list.h"

#if defined(__x86_64__)
#define QUENDA_X86 1
#include <immintrin.h>
#endif

namespace quenda {
namespace {

// Multipliers over 8192.
constexpr int kLumaGain = 9576;
constexpr int kUToGreen = -3218;
constexpr int kUToBlue = 16591;
constexpr int kVToRed = 13123;
constexpr int kVToGreen = -6686;
constexpr int kLumaOffset = 16;
constexpr int kChromaOffset = 128;

// floor(x * c / 8192); equal to the high half of (8x) * c in 16 bits.
constexpr int Scale(int x, int c) { return (x * c) >> 13; }

constexpr uint8_t Clamp255(int x) { return static_cast<uint8_t>(std::clamp(x, 0, 255)); }

struct Rgb {
  uint8_t r, g, b;
};

// The sums stay within -300..540, so the 16-bit saturation of the packed
// version never takes effect and plain ints give the same result.
constexpr Rgb ConvertPixel(int y, int u, int v) {
  const int luma = Scale(std::max(y - kLumaOffset, 0), kLumaGain);
  const int cu = u - kChromaOffset;
  const int cv = v - kChromaOffset;
  return Rgb{Clamp255(luma + Scale(cv, kVToRed)),
             Clamp255(luma + (Scale(cu, kUToGreen) + Scale(cv, kVToGreen))),
             Clamp255(luma + Scale(cu, kUToBlue))};
}

inline void PutRgb32(uint8_t* p, Rgb c) {
  p[0] = c.b;
  p[1] = c.g;
  p[2] = c.r;
  p[3] = 0;
}

inline void PutRgb24(uint8_t* p, Rgb c) {
  p[0] = c.b;
  p[1] = c.g;
  p[2] = c.r;
}

inline void PutRgb565(uint8_t* p, Rgb c) {
  const unsigned w = (unsigned(c.r >> 3) << 11) | (unsigned(c.g >> 2) << 5) | unsigned(c.b >> 3);
  p[0] = static_cast<uint8_t>(w);
  p[1] = static_cast<uint8_t>(w >> 8);
}

// Pixels [from, width) of a row pair; also the tail of the packed kernels.
template <int kBytes, void (*Put)(uint8_t*, Rgb)>
void RowPairPlain(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* out0,
                  uint8_t* out1, int from, int width) {
  for (int x = from; x < width; ++x) {
    const int cu = u[x >> 1];
    const int cv = v[x >> 1];
    Put(out0 + x * kBytes, ConvertPixel(y0[x], cu, cv));
    Put(out1 + x * kBytes, ConvertPixel(y1[x], cu, cv));
  }
}

void Rgb32Plain(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* out0,
                uint8_t* out1, int width) {
  RowPairPlain<4, PutRgb32>(y0, y1, u, v, out0, out1, 0, width);
}
void Rgb24Plain(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* out0,
                uint8_t* out1, int width) {
  RowPairPlain<3, PutRgb24>(y0, y1, u, v, out0, out1, 0, width);
}
void Rgb565Plain(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* out0,
                 uint8_t* out1, int width) {
  RowPairPlain<2, PutRgb565>(y0, y1, u, v, out0, out1, 0, width);
}

constexpr ColourKernels kPlainKernels{"plain", Rgb32Plain, Rgb24Plain, Rgb565Plain};

#if QUENDA_X86

// ---- SSSE3: 16 pixels per step ------------------------------------------

#define QUENDA_SSSE3 __attribute__((target("ssse3")))

// Chroma terms of eight chroma samples, one per 16-bit lane.
struct ChromaTerms128 {
  __m128i red, green, blue;
};

QUENDA_SSSE3 inline ChromaTerms128 ChromaTerms8(const uint8_t* u, const uint8_t* v) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i offset = _mm_set1_epi16(kChromaOffset);
  const __m128i cu = _mm_slli_epi16(
      _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u)), zero), offset), 3);
  const __m128i cv = _mm_slli_epi16(
      _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v)), zero), offset), 3);
  return ChromaTerms128{
      _mm_mulhi_epi16(cv, _mm_set1_epi16(kVToRed)),
      _mm_adds_epi16(_mm_mulhi_epi16(cu, _mm_set1_epi16(kUToGreen)), _mm_mulhi_epi16(cv, _mm_set1_epi16(kVToGreen))),
      _mm_mulhi_epi16(cu, _mm_set1_epi16(kUToBlue))};
}

// The 16 components of one row, packed to bytes (saturation does the clamp).
struct Planes128 {
  __m128i r, g, b;
};

QUENDA_SSSE3 inline Planes128 Pixels16(const uint8_t* y, const ChromaTerms128& lo, const ChromaTerms128& hi) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i gain = _mm_set1_epi16(kLumaGain);
  const __m128i ys = _mm_subs_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y)), _mm_set1_epi8(kLumaOffset));
  const __m128i ylo = _mm_mulhi_epi16(_mm_slli_epi16(_mm_unpacklo_epi8(ys, zero), 3), gain);
  const __m128i yhi = _mm_mulhi_epi16(_mm_slli_epi16(_mm_unpackhi_epi8(ys, zero), 3), gain);
  return Planes128{_mm_packus_epi16(_mm_adds_epi16(ylo, lo.red), _mm_adds_epi16(yhi, hi.red)),
                   _mm_packus_epi16(_mm_adds_epi16(ylo, lo.green), _mm_adds_epi16(yhi, hi.green)),
                   _mm_packus_epi16(_mm_adds_epi16(ylo, lo.blue), _mm_adds_epi16(yhi, hi.blue))};
}

// Chroma terms for 16 pixels: each of eight samples doubled.
QUENDA_SSSE3 inline void SpreadChroma(const ChromaTerms128& c, ChromaTerms128& lo, ChromaTerms128& hi) {
  lo = ChromaTerms128{_mm_unpacklo_epi16(c.red, c.red), _mm_unpacklo_epi16(c.green, c.green),
                      _mm_unpacklo_epi16(c.blue, c.blue)};
  hi = ChromaTerms128{_mm_unpackhi_epi16(c.red, c.red), _mm_unpackhi_epi16(c.green, c.green),
                      _mm_unpackhi_epi16(c.blue, c.blue)};
}

struct Quad128 {
  __m128i q[4];
};
struct Quad256 {
  __m256i q[4];
};

// B,G,R,0 of 16 pixels as four vectors of four pixels.
QUENDA_SSSE3 inline Quad128 Interleave32(const Planes128& p) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i bgLo = _mm_unpacklo_epi8(p.b, p.g);
  const __m128i bgHi = _mm_unpackhi_epi8(p.b, p.g);
  const __m128i r0Lo = _mm_unpacklo_epi8(p.r, zero);
  const __m128i r0Hi = _mm_unpackhi_epi8(p.r, zero);
  return {{_mm_unpacklo_epi16(bgLo, r0Lo), _mm_unpackhi_epi16(bgLo, r0Lo), _mm_unpacklo_epi16(bgHi, r0Hi),
           _mm_unpackhi_epi16(bgHi, r0Hi)}};
}

QUENDA_SSSE3 inline void Store32(uint8_t* out, const Planes128& p) {
  const Quad128 q = Interleave32(p);
  for (int i = 0; i < 4; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), q.q[i]);
}

// Drops every fourth byte of four B,G,R,0 vectors: 48 bytes of B,G,R.
QUENDA_SSSE3 inline void Store24(uint8_t* out, const Quad128& q) {
  const __m128i drop = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m128i a = _mm_shuffle_epi8(q.q[0], drop);
  const __m128i b = _mm_shuffle_epi8(q.q[1], drop);
  const __m128i c = _mm_shuffle_epi8(q.q[2], drop);
  const __m128i d = _mm_shuffle_epi8(q.q[3], drop);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(a, _mm_slli_si128(b, 12)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
}

QUENDA_SSSE3 inline void Store565(uint8_t* out, const Planes128& p) {
  const __m128i hi = _mm_or_si128(_mm_and_si128(p.r, _mm_set1_epi8(char(0xF8))),
                                  _mm_and_si128(_mm_srli_epi16(p.g, 5), _mm_set1_epi8(0x07)));
  const __m128i lo = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(p.g, _mm_set1_epi8(0x1C)), 3),
                                  _mm_and_si128(_mm_srli_epi16(p.b, 3), _mm_set1_epi8(0x1F)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(lo, hi));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(lo, hi));
}

enum class Packing { kRgb32, kRgb24, kRgb565 };

template <Packing kPack>
QUENDA_SSSE3 void RowPairSsse3(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
                               uint8_t* out0, uint8_t* out1, int width) {
  constexpr int kBytes = kPack == Packing::kRgb32 ? 4 : kPack == Packing::kRgb24 ? 3 : 2;
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    ChromaTerms128 lo, hi;
    SpreadChroma(ChromaTerms8(u + x / 2, v + x / 2), lo, hi);
    const Planes128 p0 = Pixels16(y0 + x, lo, hi);
    const Planes128 p1 = Pixels16(y1 + x, lo, hi);
    if constexpr (kPack == Packing::kRgb32) {
      Store32(out0 + x * kBytes, p0);
      Store32(out1 + x * kBytes, p1);
    } else if constexpr (kPack == Packing::kRgb24) {
      Store24(out0 + x * kBytes, Interleave32(p0));
      Store24(out1 + x * kBytes, Interleave32(p1));
    } else {
      Store565(out0 + x * kBytes, p0);
      Store565(out1 + x * kBytes, p1);
    }
  }
  if constexpr (kPack == Packing::kRgb32) {
    RowPairPlain<4, PutRgb32>(y0, y1, u, v, out0, out1, x, width);
  } else if constexpr (kPack == Packing::kRgb24) {
    RowPairPlain<3, PutRgb24>(y0, y1, u, v, out0, out1, x, width);
  } else {
    RowPairPlain<2, PutRgb565>(y0, y1, u, v, out0, out1, x, width);
  }
}

constexpr ColourKernels kSsse3Kernels{"ssse3", RowPairSsse3<Packing::kRgb32>, RowPairSsse3<Packing::kRgb24>,
                                      RowPairSsse3<Packing::kRgb565>};

// ---- AVX2: 32 pixels per step ----------------------------------------------

#define QUENDA_AVX2 __attribute__((target("avx2")))

struct ChromaTerms256 {
  __m256i red, green, blue;
};

// Sixteen chroma samples; lane order follows the in-lane unpack of the luma.
QUENDA_AVX2 inline ChromaTerms256 ChromaTerms16(const uint8_t* u, const uint8_t* v) {
  const __m256i offset = _mm256_set1_epi16(kChromaOffset);
  const __m256i cu = _mm256_slli_epi16(
      _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u))), offset), 3);
  const __m256i cv = _mm256_slli_epi16(
      _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v))), offset), 3);
  return ChromaTerms256{_mm256_mulhi_epi16(cv, _mm256_set1_epi16(kVToRed)),
                        _mm256_adds_epi16(_mm256_mulhi_epi16(cu, _mm256_set1_epi16(kUToGreen)),
                                          _mm256_mulhi_epi16(cv, _mm256_set1_epi16(kVToGreen))),
                        _mm256_mulhi_epi16(cu, _mm256_set1_epi16(kUToBlue))};
}

struct Planes256 {
  __m256i r, g, b;
};

// unpacklo/hi of 32 luma bytes give pixels 0-7|16-23 and 8-15|24-31; the
// chroma spread by unpacklo/hi of chroma 0-7|8-15 lines up with them, and
// packus puts the 32 results back in pixel order.
QUENDA_AVX2 inline Planes256 Pixels32(const uint8_t* y, const ChromaTerms256& lo, const ChromaTerms256& hi) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i gain = _mm256_set1_epi16(kLumaGain);
  const __m256i ys =
      _mm256_subs_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y)), _mm256_set1_epi8(kLumaOffset));
  const __m256i ylo = _mm256_mulhi_epi16(_mm256_slli_epi16(_mm256_unpacklo_epi8(ys, zero), 3), gain);
  const __m256i yhi = _mm256_mulhi_epi16(_mm256_slli_epi16(_mm256_unpackhi_epi8(ys, zero), 3), gain);
  return Planes256{_mm256_packus_epi16(_mm256_adds_epi16(ylo, lo.red), _mm256_adds_epi16(yhi, hi.red)),
                   _mm256_packus_epi16(_mm256_adds_epi16(ylo, lo.green), _mm256_adds_epi16(yhi, hi.green)),
                   _mm256_packus_epi16(_mm256_adds_epi16(ylo, lo.blue), _mm256_adds_epi16(yhi, hi.blue))};
}

// Chroma lanes 0-7|8-15 doubled: pixels 0-7|16-23 (lo) and 8-15|24-31 (hi).
QUENDA_AVX2 inline void SpreadChroma(const ChromaTerms256& c, ChromaTerms256& lo, ChromaTerms256& hi) {
  lo = ChromaTerms256{_mm256_unpacklo_epi16(c.red, c.red), _mm256_unpacklo_epi16(c.green, c.green),
                      _mm256_unpacklo_epi16(c.blue, c.blue)};
  hi = ChromaTerms256{_mm256_unpackhi_epi16(c.red, c.red), _mm256_unpackhi_epi16(c.green, c.green),
                      _mm256_unpackhi_epi16(c.blue, c.blue)};
}

// B,G,R,0 of 32 pixels, four pixels per 128-bit lane in unpack order:
// 0-3|16-19, 4-7|20-23, 8-11|24-27, 12-15|28-31 (for the 24-bit packing).
QUENDA_AVX2 inline Quad256 Unpacked32(const Planes256& p) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i bgLo = _mm256_unpacklo_epi8(p.b, p.g);  // 0-7 | 16-23
  const __m256i bgHi = _mm256_unpackhi_epi8(p.b, p.g);  // 8-15 | 24-31
  const __m256i r0Lo = _mm256_unpacklo_epi8(p.r, zero);
  const __m256i r0Hi = _mm256_unpackhi_epi8(p.r, zero);
  return {{_mm256_unpacklo_epi16(bgLo, r0Lo), _mm256_unpackhi_epi16(bgLo, r0Lo), _mm256_unpacklo_epi16(bgHi, r0Hi),
           _mm256_unpackhi_epi16(bgHi, r0Hi)}};
}

// Each lane packs its 16 pixels into 48 bytes; the lanes then hold pixels
// 0-15 and 16-31 of the 96 output bytes.
QUENDA_AVX2 inline void Store24(uint8_t* out, const Planes256& p) {
  const Quad256 u = Unpacked32(p);
  const __m256i drop = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6, 8,
                                        9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i a = _mm256_shuffle_epi8(u.q[0], drop);
  const __m256i b = _mm256_shuffle_epi8(u.q[1], drop);
  const __m256i c = _mm256_shuffle_epi8(u.q[2], drop);
  const __m256i d = _mm256_shuffle_epi8(u.q[3], drop);
  const __m256i o0 = _mm256_or_si256(a, _mm256_slli_si256(b, 12));
  const __m256i o1 = _mm256_or_si256(_mm256_srli_si256(b, 4), _mm256_slli_si256(c, 8));
  const __m256i o2 = _mm256_or_si256(_mm256_srli_si256(c, 8), _mm256_slli_si256(d, 4));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(o0, o1, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_permute2x128_si256(o2, o0, 0x30));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64), _mm256_permute2x128_si256(o1, o2, 0x31));
}

QUENDA_AVX2 inline void Store565(uint8_t* out, const Planes256& p) {
  const __m256i hi = _mm256_or_si256(_mm256_and_si256(p.r, _mm256_set1_epi8(char(0xF8))),
                                     _mm256_and_si256(_mm256_srli_epi16(p.g, 5), _mm256_set1_epi8(0x07)));
  const __m256i lo = _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(p.g, _mm256_set1_epi8(0x1C)), 3),
                                     _mm256_and_si256(_mm256_srli_epi16(p.b, 3), _mm256_set1_epi8(0x1F)));
  const __m256i a = _mm256_unpacklo_epi8(lo, hi);  // 0-7 | 16-23
  const __m256i b = _mm256_unpackhi_epi8(lo, hi);  // 8-15 | 24-31
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(a, b, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_permute2x128_si256(a, b, 0x31));
}

// 24-bit and RGB565 output.
template <Packing kPack>
QUENDA_AVX2 void RowPairAvx2(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
                             uint8_t* out0, uint8_t* out1, int width) {
  constexpr int kBytes = kPack == Packing::kRgb24 ? 3 : 2;
  int x = 0;
  for (; x + 32 <= width; x += 32) {
    ChromaTerms256 lo, hi;
    SpreadChroma(ChromaTerms16(u + x / 2, v + x / 2), lo, hi);
    const Planes256 p0 = Pixels32(y0 + x, lo, hi);
    const Planes256 p1 = Pixels32(y1 + x, lo, hi);
    if constexpr (kPack == Packing::kRgb24) {
      Store24(out0 + x * kBytes, p0);
      Store24(out1 + x * kBytes, p1);
    } else {
      Store565(out0 + x * kBytes, p0);
      Store565(out1 + x * kBytes, p1);
    }
  }
  if (x < width) {
    RowPairSsse3<kPack>(y0 + x, y1 + x, u + x / 2, v + x / 2, out0 + x * kBytes, out1 + x * kBytes, width - x);
  }
}

// ---- AVX2, 32-bit output: 16 pixels per step ------------------------------
//
// Here each vector holds the 16-bit values of 16 pixels of one row in the
// order 0-3, 8-11 | 4-7, 12-15: the unpacks that interleave B,G,R,0 take
// the low (or high) four values of each 128-bit lane, so the pixels come out
// in order without lane permutes. Luma and chroma reach that order through
// byte shuffles of broadcast loads.

QUENDA_AVX2 inline ChromaTerms256 ChromaTermsQuads(const uint8_t* u, const uint8_t* v) {
  // Chroma sample of each of the 16 pixels above.
  const __m256i spread = _mm256_setr_epi8(0, -1, 0, -1, 1, -1, 1, -1, 4, -1, 4, -1, 5, -1, 5, -1, 2, -1, 2, -1, 3, -1,
                                          3, -1, 6, -1, 6, -1, 7, -1, 7, -1);
  int64_t u8, v8;
  std::memcpy(&u8, u, 8);
  std::memcpy(&v8, v, 8);
  const __m256i offset = _mm256_set1_epi16(kChromaOffset);
  const __m256i cu = _mm256_slli_epi16(_mm256_sub_epi16(_mm256_shuffle_epi8(_mm256_set1_epi64x(u8), spread), offset), 3);
  const __m256i cv = _mm256_slli_epi16(_mm256_sub_epi16(_mm256_shuffle_epi8(_mm256_set1_epi64x(v8), spread), offset), 3);
  return ChromaTerms256{_mm256_mulhi_epi16(cv, _mm256_set1_epi16(kVToRed)),
                        _mm256_adds_epi16(_mm256_mulhi_epi16(cu, _mm256_set1_epi16(kUToGreen)),
                                          _mm256_mulhi_epi16(cv, _mm256_set1_epi16(kVToGreen))),
                        _mm256_mulhi_epi16(cu, _mm256_set1_epi16(kUToBlue))};
}

QUENDA_AVX2 inline __m256i LumaTermsQuads(const uint8_t* y) {
  const __m256i order = _mm256_setr_epi8(0, -1, 1, -1, 2, -1, 3, -1, 8, -1, 9, -1, 10, -1, 11, -1, 4, -1, 5, -1, 6,
                                         -1, 7, -1, 12, -1, 13, -1, 14, -1, 15, -1);
  const __m256i bytes = _mm256_subs_epu8(
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y))), _mm256_set1_epi8(kLumaOffset));
  return _mm256_mulhi_epi16(_mm256_slli_epi16(_mm256_shuffle_epi8(bytes, order), 3), _mm256_set1_epi16(kLumaGain));
}

// 64 bytes of B,G,R,0; packus clamps, B with R and G with 0 give the byte pairs.
QUENDA_AVX2 inline void StoreBgr0(uint8_t* out, __m256i luma, const ChromaTerms256& c) {
  const __m256i br = _mm256_packus_epi16(_mm256_adds_epi16(luma, c.blue), _mm256_adds_epi16(luma, c.red));
  const __m256i g0 = _mm256_packus_epi16(_mm256_adds_epi16(luma, c.green), _mm256_setzero_si256());
  const __m256i bg = _mm256_unpacklo_epi8(br, g0);
  const __m256i r0 = _mm256_unpackhi_epi8(br, g0);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_unpacklo_epi16(bg, r0));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_unpackhi_epi16(bg, r0));
}

QUENDA_AVX2 void Rgb32Avx2(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* out0,
                           uint8_t* out1, int width) {
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const ChromaTerms256 c = ChromaTermsQuads(u + x / 2, v + x / 2);
    StoreBgr0(out0 + 4 * x, LumaTermsQuads(y0 + x), c);
    StoreBgr0(out1 + 4 * x, LumaTermsQuads(y1 + x), c);
  }
  // The compiler leaves the upper halves dirty here otherwise, and the
  // decoder's SSE code would pay for every switch.
  _mm256_zeroupper();
  RowPairPlain<4, PutRgb32>(y0, y1, u, v, out0, out1, x, width);
}

constexpr ColourKernels kAvx2Kernels{"avx2", Rgb32Avx2, RowPairAvx2<Packing::kRgb24>,
                                     RowPairAvx2<Packing::kRgb565>};

// ---- AVX-512 (BW and VBMI), 32-bit output: 32 pixels per step -------------
//
// The AVX2 arithmetic on 32 pixels in natural order; VBMI's two-table byte
// permute doubles the chroma samples (the second table all zeros supplies
// the high bytes) and interleaves the packed B,R and G,0 bytes into B,G,R,0
// in one step per 16 pixels. Only processors whose wide vectors run at full
// speed have VBMI, hence the requirement.

#define QUENDA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

struct PermuteIndices {
  alignas(64) uint8_t chroma[64];     // sample of each pixel, as 16-bit values
  alignas(64) uint8_t bgr0[2][64];    // pixels 0-15 and 16-31 from (B,R | G,0) bytes
};
constexpr PermuteIndices MakePermuteIndices() {
  PermuteIndices t{};
  for (int pixel = 0; pixel < 32; ++pixel) {
    t.chroma[2 * pixel] = uint8_t(pixel / 2);
    t.chroma[2 * pixel + 1] = 64;  // a byte of the zero table
  }
  // packus works per 128-bit lane: lane k of (B,R) holds B then R of pixels
  // 8k..8k+7, lane k of (G,0) holds G then zeros; the second table starts at 64.
  for (int pixel = 0; pixel < 32; ++pixel) {
    const int lane = 16 * (pixel / 8), j = pixel % 8;
    uint8_t* out = t.bgr0[pixel / 16] + 4 * (pixel % 16);
    out[0] = uint8_t(lane + j);
    out[1] = uint8_t(64 + lane + j);
    out[2] = uint8_t(lane + 8 + j);
    out[3] = uint8_t(64 + lane + 8 + j);
  }
  return t;
}
constexpr PermuteIndices kPermute = MakePermuteIndices();

QUENDA_AVX512 inline __m512i ChromaValues(const uint8_t* c, __m512i order) {
  const __m512i bytes = _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c)));
  const __m512i samples = _mm512_permutex2var_epi8(bytes, order, _mm512_setzero_si512());
  return _mm512_slli_epi16(_mm512_sub_epi16(samples, _mm512_set1_epi16(kChromaOffset)), 3);
}

QUENDA_AVX512 void Rgb32Avx512(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
                               uint8_t* out0, uint8_t* out1, int width) {
  const __m512i chromaOrder = _mm512_load_si512(kPermute.chroma);
  const __m512i first = _mm512_load_si512(kPermute.bgr0[0]);
  const __m512i second = _mm512_load_si512(kPermute.bgr0[1]);
  const __m512i gain = _mm512_set1_epi16(kLumaGain);
  const __m512i zero = _mm512_setzero_si512();
  const uint8_t* rows[2] = {y0, y1};
  uint8_t* outs[2] = {out0, out1};
  int x = 0;
  for (; x + 32 <= width; x += 32) {
    const __m512i cu = ChromaValues(u + x / 2, chromaOrder);
    const __m512i cv = ChromaValues(v + x / 2, chromaOrder);
    const __m512i red = _mm512_mulhi_epi16(cv, _mm512_set1_epi16(kVToRed));
    const __m512i green = _mm512_adds_epi16(_mm512_mulhi_epi16(cu, _mm512_set1_epi16(kUToGreen)),
                                            _mm512_mulhi_epi16(cv, _mm512_set1_epi16(kVToGreen)));
    const __m512i blue = _mm512_mulhi_epi16(cu, _mm512_set1_epi16(kUToBlue));
    for (int r = 0; r < 2; ++r) {
      const __m256i bytes = _mm256_subs_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[r] + x)),
                                             _mm256_set1_epi8(kLumaOffset));
      const __m512i luma = _mm512_mulhi_epi16(_mm512_slli_epi16(_mm512_cvtepu8_epi16(bytes), 3), gain);
      // packus clamps to 0..255.
      const __m512i br = _mm512_packus_epi16(_mm512_adds_epi16(luma, blue), _mm512_adds_epi16(luma, red));
      const __m512i g0 = _mm512_packus_epi16(_mm512_adds_epi16(luma, green), zero);
      _mm512_storeu_si512(outs[r] + 4 * x, _mm512_permutex2var_epi8(br, first, g0));
      _mm512_storeu_si512(outs[r] + 4 * x + 64, _mm512_permutex2var_epi8(br, second, g0));
    }
  }
  _mm256_zeroupper();
  if (x < width) Rgb32Avx2(y0 + x, y1 + x, u + x / 2, v + x / 2, out0 + 4 * x, out1 + 4 * x, width - x);
}

constexpr ColourKernels kAvx512Kernels{"avx512", Rgb32Avx512, RowPairAvx2<Packing::kRgb24>,
                                       RowPairAvx2<Packing::kRgb565>};

#endif

using List = KernelList<ColourKernels, 4>;

List DetectKernels() {
  List list;
  list.Add(&kPlainKernels);
#if QUENDA_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("ssse3")) list.Add(&kSsse3Kernels);
  if (__builtin_cpu_supports("avx2")) list.Add(&kAvx2Kernels);
  if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi"))
    list.Add(&kAvx512Kernels);
#endif
  return list;
}

const List& Kernels() {
  static const List list = DetectKernels();
  return list;
}

bool GeometryOk(int width, int height) { return width > 0 && height > 0 && width % 2 == 0 && height % 2 == 0; }

// Row pairs top to bottom; bottom-up output mirrors the row order so that
// picture row y lands in buffer row height - 1 - y.
int ConvertRows(ColourRowPairFn fn, int bytesPerPixel, bool bottomUp, const uint8_t* luma, int lumaStride,
                const uint8_t* u, const uint8_t* v, int chromaStride, uint8_t* out, int width, int height) {
  if (!luma || !u || !v || !out || !GeometryOk(width, height)) return 0;
  const ptrdiff_t rowBytes = ptrdiff_t(width) * bytesPerPixel;
  for (int i = 0; i < height; i += 2) {
    const uint8_t* y0 = luma + ptrdiff_t(i) * lumaStride;
    const ptrdiff_t chromaOffset = ptrdiff_t(i / 2) * chromaStride;
    const int row0 = bottomUp ? height - 1 - i : i;
    const int row1 = bottomUp ? row0 - 1 : row0 + 1;
    fn(y0, y0 + lumaStride, u + chromaOffset, v + chromaOffset, out + row0 * rowBytes, out + row1 * rowBytes,
       width);
  }
  return height;
}

}  // namespace

const ColourKernels& PlainColourKernels() { return kPlainKernels; }

std::span<const ColourKernels* const> AvailableColourKernels() {
  return Kernels().All();
}

const ColourKernels& ActiveColourKernels() {
  return Kernels().Active();
}

int BytesPerPixel(int format) {
  switch (format) {
    case kFormatRgb32: return 4;
    case kFormatRgb24:
    case kFormatRgb24BottomUp: return 3;
    case kFormatRgb565: return 2;
    default: return 0;
  }
}

int ConvertYuvToRgb32(const uint8_t* luma, int lumaStride, const uint8_t* u, const uint8_t* v, int chromaStride,
                      uint8_t* out, int width, int height) {
  return ConvertRows(ActiveColourKernels().rgb32, 4, false, luma, lumaStride, u, v, chromaStride, out, width, height);
}

int ConvertYuvToRgb24(const uint8_t* luma, int lumaStride, const uint8_t* u, const uint8_t* v, int chromaStride,
                      uint8_t* out, int width, int height) {
  return ConvertRows(ActiveColourKernels().rgb24, 3, false, luma, lumaStride, u, v, chromaStride, out, width, height);
}

int ConvertYuvToRgb24Flipped(const uint8_t* luma, int lumaStride, const uint8_t* u, const uint8_t* v,
                             int chromaStride, uint8_t* out, int width, int height) {
  return ConvertRows(ActiveColourKernels().rgb24, 3, true, luma, lumaStride, u, v, chromaStride, out, width, height);
}

int ConvertYuvToRgb565(const uint8_t* luma, int lumaStride, const uint8_t* u, const uint8_t* v, int chromaStride,
                       uint8_t* out, int width, int height) {
  return ConvertRows(ActiveColourKernels().rgb565, 2, false, luma, lumaStride, u, v, chromaStride, out, width,
                     height);
}

int ConvertPictureWith(const ColourKernels& kernels, const FramePlanes& p, uint8_t* out, int format, int width,
                       int height) {
  switch (format) {
    case kFormatRgb32:
      return ConvertRows(kernels.rgb32, 4, false, p.y, p.lumaStride, p.u, p.v, p.chromaStride, out, width, height);
    case kFormatRgb24:
      return ConvertRows(kernels.rgb24, 3, false, p.y, p.lumaStride, p.u, p.v, p.chromaStride, out, width, height);
    case kFormatRgb24BottomUp:
      return ConvertRows(kernels.rgb24, 3, true, p.y, p.lumaStride, p.u, p.v, p.chromaStride, out, width, height);
    case kFormatRgb565:
      return ConvertRows(kernels.rgb565, 2, false, p.y, p.lumaStride, p.u, p.v, p.chromaStride, out, width, height);
    default: return 0;
  }
}

int ConvertPicture(const FramePlanes& picture, uint8_t* out, int format, int width, int height) {
  return ConvertPictureWith(ActiveColourKernels(), picture, out, format, width, height);
}

int RenderPlanes(const RenderRequest& r, uint8_t* out, int format) {
  if (!out || BytesPerPixel(format) == 0 || !GeometryOk(r.width, r.height)) return 0;
  if (!r.postProcessing) return ConvertPicture(r.picture, out, format, r.width, r.height);
  const FramePlanes& dst = r.postPlanes;
  if (!dst.y || !dst.u || !dst.v || !r.qpStore) return 0;
  PostProcessPicture(r.picture.y, r.picture.u, r.picture.v, r.picture.lumaStride, dst.y, dst.u, dst.v, r.width,
                     r.width, r.height, r.qpStore, r.qpRowLength, r.postProcFlags);
  const FramePlanes packed{dst.y, dst.u, dst.v, r.width, r.width / 2};
  return ConvertPicture(packed, out, format, r.width, r.height);
}

}  // namespace quenda
