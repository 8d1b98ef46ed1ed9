#include "deblock.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#define QUENDA_SSE2 1
#include <emmintrin.h>
#endif

namespace quenda {
namespace {

// Every decision compares against QP, 2 QP or 8 QP, and the measures stay
// within 0..1785; a QP outside -1..256 decides exactly like the nearest
// bound, and the bounds keep 8 QP inside 16 bits for the packed kernels.
int ClampQp(int32_t qp) { return std::clamp<int32_t>(qp, -1, 256); }

// Flat pairs (v1,v2) .. (v7,v8) of one line.
int CountFlatPairs(const uint8_t* v0, ptrdiff_t step) {
  int flat = 0;
  for (int k = 1; k < 8; ++k) flat += std::abs(v0[k * step] - v0[(k + 1) * step]) <= 1;
  return flat;
}

// Four rows across a vertical edge; v0 of the first row given.
bool IsFlatH(const uint8_t* v0, ptrdiff_t stride) {
  int flat = 0;
  for (int r = 0; r < 4; ++r) flat += CountFlatPairs(v0 + r * stride, 1);
  return flat >= 16;
}

// Eight columns across a horizontal edge; v0 of the first column given.
bool IsFlatV(const uint8_t* v0, ptrdiff_t stride) {
  int flat = 0;
  for (int c = 0; c < 8; ++c) flat += CountFlatPairs(v0 + c, stride);
  return flat > 32;
}

// Vertical edges look at the strip's first row only.
bool DcOffsetEdgeCheck(const uint8_t* v0, int qp) { return std::abs(v0[1] - v0[8]) < 2 * qp; }

bool DcOffsetEdgeCheckV(const uint8_t* v0, ptrdiff_t stride, int qp) {
  for (int c = 0; c < 8; ++c) {
    if (std::abs(v0[c + stride] - v0[c + 8 * stride]) > 2 * qp) return false;
  }
  return true;
}

// 9-tap low-pass {1,1,2,2,4,2,2,1,1}/16 over p0, v1..v8, p9; every output
// from the unfiltered line. Vertical edges take p0/p9 when the end step is
// below QP, horizontal edges when it is at most QP.
void DeblockDcOffset(uint8_t* v0, ptrdiff_t step, int qp, bool inclusive) {
  constexpr std::array<int, 9> kTaps{1, 1, 2, 2, 4, 2, 2, 1, 1};
  std::array<int, 10> p;
  for (int k = 0; k < 10; ++k) p[k] = v0[k * step];
  const int d0 = std::abs(p[0] - p[1]);
  const int d9 = std::abs(p[8] - p[9]);
  if (!(inclusive ? d0 <= qp : d0 < qp)) p[0] = p[1];
  if (!(inclusive ? d9 <= qp : d9 < qp)) p[9] = p[8];
  for (int n = 1; n <= 8; ++n) {
    int sum = 8;
    for (int k = -4; k <= 4; ++k) sum += kTaps[k + 4] * p[std::clamp(n + k, 0, 9)];
    v0[n * step] = static_cast<uint8_t>(sum >> 4);
  }
}

void DeblockDcOffsetH(uint8_t* v0, int qp) { DeblockDcOffset(v0, 1, qp, false); }
void DeblockDcOffsetV(uint8_t* v0, ptrdiff_t stride, int qp) { DeblockDcOffset(v0, stride, qp, true); }

// Frequency measures kept eight times larger; only v4 and v5 move, by at most
// half their difference.
void DeblockDefault(uint8_t* v0, ptrdiff_t step, int qp) {
  const auto v = [&](int k) { return int(v0[k * step]); };
  const int h = (v(4) - v(5)) / 2;
  if (h == 0) return;
  const int a0 = 2 * (v(3) - v(6)) - 5 * (v(4) - v(5));
  if (std::abs(a0) >= 8 * qp) return;
  const int a1 = 2 * (v(1) - v(4)) - 5 * (v(2) - v(3));
  const int a2 = 2 * (v(5) - v(8)) - 5 * (v(6) - v(7));
  const int excess = std::abs(a0) - std::min(std::abs(a1), std::abs(a2));
  if (excess <= 0) return;
  const int c = (5 * excess + 32) >> 6;
  if (c == 0) return;
  int d;
  if (h > 0 && a0 < 0) {
    d = std::min(c, h);
  } else if (h < 0 && a0 > 0) {
    d = -std::min(c, -h);
  } else {
    return;
  }
  v0[4 * step] = static_cast<uint8_t>(v(4) - d);
  v0[5 * step] = static_cast<uint8_t>(v(5) + d);
}

void DeblockDefaultH(uint8_t* v0, int qp) { DeblockDefault(v0, 1, qp); }
void DeblockDefaultV(uint8_t* v0, ptrdiff_t stride, int qp) { DeblockDefault(v0, stride, qp); }

// One vertical edge of one 4-row strip; v0 is column x - 5 of the first row.
void DeblockVerticalEdgeStrip(uint8_t* v0, ptrdiff_t stride, int qp) {
  if (!IsFlatH(v0, stride)) {
    for (int r = 0; r < 4; ++r) DeblockDefaultH(v0 + r * stride, qp);
  } else if (DcOffsetEdgeCheck(v0, qp)) {
    for (int r = 0; r < 4; ++r) DeblockDcOffsetH(v0 + r * stride, qp);
  }
}

// One horizontal edge of one 8-column group; v0 is five rows above the edge.
void DeblockHorizontalEdgeGroup(uint8_t* v0, ptrdiff_t stride, int qp) {
  if (!IsFlatV(v0, stride)) {
    for (int c = 0; c < 8; ++c) DeblockDefaultV(v0 + c, stride, qp);
  } else if (DcOffsetEdgeCheckV(v0, stride, qp)) {
    for (int c = 0; c < 8; ++c) DeblockDcOffsetV(v0 + c, stride, qp);
  }
}

// Left to right: an edge's v0 is the previous edge's filtered v8.
void DeblockVerticalEdgesPlain(uint8_t* row0, int rows, int width, ptrdiff_t stride, const int32_t* qpRow,
                               int qpShift) {
  for (int r = 0; r + 4 <= rows; r += 4) {
    uint8_t* strip = row0 + r * stride;
    for (int x = 8; x + 5 <= width; x += 8) DeblockVerticalEdgeStrip(strip + x - 5, stride, ClampQp(qpRow[x >> qpShift]));
  }
}

void DeblockHorizontalEdgePlain(uint8_t* below, int width, ptrdiff_t stride, const int32_t* qpRow, int qpShift) {
  for (int x = 0; x + 8 <= width; x += 8) {
    DeblockHorizontalEdgeGroup(below - 5 * stride + x, stride, ClampQp(qpRow[x >> qpShift]));
  }
}

constexpr DeblockKernels kPlainKernels{"plain", DeblockVerticalEdgesPlain, DeblockHorizontalEdgePlain};

#if QUENDA_SSE2

// ---- SSE2: eight lines at once, one per 16-bit lane ------------------------

// v0..v9 of eight lines.
struct Lanes {
  __m128i v[10];
  __m128i& operator[](int k) { return v[k]; }
  const __m128i& operator[](int k) const { return v[k]; }
};

inline __m128i Abs16(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }
inline __m128i Times5(__m128i x) { return _mm_add_epi16(_mm_slli_epi16(x, 2), x); }
inline __m128i Select(__m128i mask, __m128i a, __m128i b) {
  return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

// Per lane: number of flat pairs among (v1,v2) .. (v7,v8).
inline __m128i FlatPairCounts(const Lanes& v) {
  const __m128i two = _mm_set1_epi16(2);
  __m128i count = _mm_setzero_si128();
  for (int k = 1; k < 8; ++k) {
    const __m128i diff = _mm_sub_epi16(_mm_max_epi16(v[k], v[k + 1]), _mm_min_epi16(v[k], v[k + 1]));
    count = _mm_sub_epi16(count, _mm_cmplt_epi16(diff, two));
  }
  return count;
}

// Default filter on the lanes of `enable`; moves v4 and v5.
inline void DefaultLanes(Lanes& v, __m128i qp, __m128i enable) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i d45 = _mm_sub_epi16(v[4], v[5]);
  const __m128i h = _mm_srai_epi16(_mm_add_epi16(d45, _mm_srli_epi16(d45, 15)), 1);
  const __m128i a0 = _mm_sub_epi16(_mm_slli_epi16(_mm_sub_epi16(v[3], v[6]), 1), Times5(d45));
  const __m128i a1 = _mm_sub_epi16(_mm_slli_epi16(_mm_sub_epi16(v[1], v[4]), 1), Times5(_mm_sub_epi16(v[2], v[3])));
  const __m128i a2 = _mm_sub_epi16(_mm_slli_epi16(_mm_sub_epi16(v[5], v[8]), 1), Times5(_mm_sub_epi16(v[6], v[7])));
  const __m128i absA0 = Abs16(a0);
  const __m128i excess = _mm_sub_epi16(absA0, _mm_min_epi16(Abs16(a1), Abs16(a2)));
  const __m128i c = _mm_srai_epi16(_mm_add_epi16(Times5(excess), _mm_set1_epi16(32)), 6);
  __m128i apply = _mm_and_si128(enable, _mm_cmplt_epi16(absA0, _mm_slli_epi16(qp, 3)));
  apply = _mm_and_si128(apply, _mm_cmpgt_epi16(excess, zero));
  // Only when h and A0 have opposite signs; h = 0 gives d = 0 below.
  apply = _mm_and_si128(apply, _mm_srai_epi16(_mm_xor_si128(h, a0), 15));
  const __m128i magnitude = _mm_and_si128(apply, _mm_min_epi16(c, Abs16(h)));
  const __m128i hSign = _mm_srai_epi16(h, 15);
  const __m128i d = _mm_sub_epi16(_mm_xor_si128(magnitude, hSign), hSign);
  v[4] = _mm_sub_epi16(v[4], d);
  v[5] = _mm_add_epi16(v[5], d);
}

// 9-tap filter of every lane into out[1..8].
inline void DcOffsetLanes(const Lanes& v, __m128i qp, bool inclusive, Lanes& out) {
  const __m128i d0 = Abs16(_mm_sub_epi16(v[0], v[1]));
  const __m128i d9 = Abs16(_mm_sub_epi16(v[8], v[9]));
  const __m128i all = _mm_set1_epi16(-1);
  const __m128i useP0 = inclusive ? _mm_xor_si128(_mm_cmpgt_epi16(d0, qp), all) : _mm_cmplt_epi16(d0, qp);
  const __m128i useP9 = inclusive ? _mm_xor_si128(_mm_cmpgt_epi16(d9, qp), all) : _mm_cmplt_epi16(d9, qp);
  Lanes p = v;
  p[0] = Select(useP0, v[0], v[1]);
  p[9] = Select(useP9, v[9], v[8]);
  const auto at = [&p](int m) { return p[std::clamp(m, 0, 9)]; };
  const __m128i rounding = _mm_set1_epi16(8);
  for (int n = 1; n <= 8; ++n) {
    const __m128i ones = _mm_add_epi16(_mm_add_epi16(at(n - 4), at(n - 3)), _mm_add_epi16(at(n + 3), at(n + 4)));
    const __m128i twos = _mm_add_epi16(_mm_add_epi16(at(n - 2), at(n - 1)), _mm_add_epi16(at(n + 1), at(n + 2)));
    __m128i sum = _mm_add_epi16(_mm_add_epi16(ones, rounding), _mm_slli_epi16(twos, 1));
    sum = _mm_add_epi16(sum, _mm_slli_epi16(p[n], 2));
    out[n] = _mm_srli_epi16(sum, 4);
  }
}

// Lanes 0-3 and 4-7 each get the sum (or lane 0 / lane 4) of their half.
inline __m128i SumQuads(__m128i x) {
  x = _mm_add_epi16(x, _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1));
  return _mm_add_epi16(x, _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0x4E), 0x4E));
}
inline __m128i BroadcastQuadHeads(__m128i x) { return _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0), 0); }

// Eight rows, 16 columns from `p` (v0..v9 at columns 3..12) into lanes.
inline Lanes LoadTransposed(const uint8_t* p, ptrdiff_t stride) {
  __m128i r[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i * stride));
  __m128i a[8];  // byte pairs of rows (0,1), (2,3), ...: columns 0-7 then 8-15
  for (int i = 0; i < 4; ++i) {
    a[2 * i] = _mm_unpacklo_epi8(r[2 * i], r[2 * i + 1]);
    a[2 * i + 1] = _mm_unpackhi_epi8(r[2 * i], r[2 * i + 1]);
  }
  const __m128i b0 = _mm_unpacklo_epi16(a[0], a[2]);  // columns 0-3, rows 0-3
  const __m128i b1 = _mm_unpackhi_epi16(a[0], a[2]);  // columns 4-7, rows 0-3
  const __m128i b2 = _mm_unpacklo_epi16(a[4], a[6]);  // columns 0-3, rows 4-7
  const __m128i b3 = _mm_unpackhi_epi16(a[4], a[6]);
  const __m128i b4 = _mm_unpacklo_epi16(a[1], a[3]);  // columns 8-11, rows 0-3
  const __m128i b5 = _mm_unpackhi_epi16(a[1], a[3]);  // columns 12-15, rows 0-3
  const __m128i b6 = _mm_unpacklo_epi16(a[5], a[7]);
  const __m128i b7 = _mm_unpackhi_epi16(a[5], a[7]);
  const __m128i c23 = _mm_unpackhi_epi32(b0, b2);  // columns 2, 3: eight rows each
  const __m128i c45 = _mm_unpacklo_epi32(b1, b3);
  const __m128i c67 = _mm_unpackhi_epi32(b1, b3);
  const __m128i c89 = _mm_unpacklo_epi32(b4, b6);
  const __m128i c1011 = _mm_unpackhi_epi32(b4, b6);
  const __m128i c1213 = _mm_unpacklo_epi32(b5, b7);
  const __m128i zero = _mm_setzero_si128();
  return Lanes{{_mm_unpackhi_epi8(c23, zero),   _mm_unpacklo_epi8(c45, zero),   _mm_unpackhi_epi8(c45, zero),
               _mm_unpacklo_epi8(c67, zero),   _mm_unpackhi_epi8(c67, zero),   _mm_unpacklo_epi8(c89, zero),
               _mm_unpackhi_epi8(c89, zero),   _mm_unpacklo_epi8(c1011, zero), _mm_unpackhi_epi8(c1011, zero),
               _mm_unpacklo_epi8(c1213, zero)}};
}

// v1..v8 of eight rows back to bytes at `p` (column of v1).
inline void StoreTransposed(uint8_t* p, ptrdiff_t stride, const Lanes& v) {
  __m128i pairs[4];  // (v1,v2), (v3,v4), ... byte pairs per row
  for (int i = 0; i < 4; ++i) {
    const __m128i packed = _mm_packus_epi16(v[1 + 2 * i], v[2 + 2 * i]);
    pairs[i] = _mm_unpacklo_epi8(packed, _mm_srli_si128(packed, 8));
  }
  const __m128i q0 = _mm_unpacklo_epi16(pairs[0], pairs[1]);  // v1-v4 of rows 0-3
  const __m128i q1 = _mm_unpackhi_epi16(pairs[0], pairs[1]);  // v1-v4 of rows 4-7
  const __m128i q2 = _mm_unpacklo_epi16(pairs[2], pairs[3]);  // v5-v8 of rows 0-3
  const __m128i q3 = _mm_unpackhi_epi16(pairs[2], pairs[3]);
  const __m128i rows[4]{_mm_unpacklo_epi32(q0, q2), _mm_unpackhi_epi32(q0, q2),
                                    _mm_unpacklo_epi32(q1, q3), _mm_unpackhi_epi32(q1, q3)};
  for (int i = 0; i < 4; ++i) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p + (2 * i) * stride), rows[i]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p + (2 * i + 1) * stride), _mm_srli_si128(rows[i], 8));
  }
}

// One vertical edge of two 4-row strips; p is column x - 8 of the first row.
inline void VerticalEdge8Rows(uint8_t* p, ptrdiff_t stride, int qpValue) {
  Lanes v = LoadTransposed(p, stride);
  const __m128i qp = _mm_set1_epi16(static_cast<short>(qpValue));
  const __m128i flat = _mm_cmpgt_epi16(SumQuads(FlatPairCounts(v)), _mm_set1_epi16(15));
  const __m128i endStep = Abs16(_mm_sub_epi16(v[1], v[8]));
  const __m128i dcOk = BroadcastQuadHeads(_mm_cmplt_epi16(endStep, _mm_slli_epi16(qp, 1)));
  const __m128i dcMask = _mm_and_si128(flat, dcOk);
  const int defaultBits = _mm_movemask_epi8(flat) ^ 0xFFFF;
  const int dcBits = _mm_movemask_epi8(dcMask);
  if ((defaultBits | dcBits) == 0) return;
  if (dcBits) {
    Lanes filtered;
    DcOffsetLanes(v, qp, false, filtered);
    for (int n = 1; n <= 8; ++n) v[n] = Select(dcMask, filtered[n], v[n]);
  }
  if (defaultBits) DefaultLanes(v, qp, _mm_xor_si128(flat, _mm_set1_epi16(-1)));
  StoreTransposed(p + 4, stride, v);
}

void DeblockVerticalEdgesSse2(uint8_t* row0, int rows, int width, ptrdiff_t stride, const int32_t* qpRow,
                              int qpShift) {
  int r = 0;
  for (; r + 8 <= rows; r += 8) {
    uint8_t* strip = row0 + r * stride;
    int x = 8;
    for (; x + 8 <= width; x += 8) VerticalEdge8Rows(strip + x - 8, stride, ClampQp(qpRow[x >> qpShift]));
    for (; x + 5 <= width; x += 8) {
      for (int s = 0; s < 8; s += 4) DeblockVerticalEdgeStrip(strip + s * stride + x - 5, stride, ClampQp(qpRow[x >> qpShift]));
    }
  }
  if (r < rows) DeblockVerticalEdgesPlain(row0 + r * stride, rows - r, width, stride, qpRow, qpShift);
}

void DeblockHorizontalEdgeSse2(uint8_t* below, int width, ptrdiff_t stride, const int32_t* qpRow, int qpShift) {
  const __m128i zero = _mm_setzero_si128();
  uint8_t* top = below - 5 * stride;
  for (int x = 0; x + 8 <= width; x += 8) {
    Lanes v;
    for (int k = 0; k < 10; ++k) {
      v[k] = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(top + k * stride + x)), zero);
    }
    const __m128i qp = _mm_set1_epi16(static_cast<short>(ClampQp(qpRow[x >> qpShift])));
    __m128i count = FlatPairCounts(v);
    count = _mm_add_epi16(count, _mm_srli_si128(count, 8));
    count = _mm_add_epi16(count, _mm_srli_si128(count, 4));
    count = _mm_add_epi16(count, _mm_srli_si128(count, 2));
    int first = 4, last = 5;
    if ((_mm_cvtsi128_si32(count) & 0xFFFF) <= 32) {
      DefaultLanes(v, qp, _mm_set1_epi16(-1));
    } else {
      const __m128i endStep = Abs16(_mm_sub_epi16(v[1], v[8]));
      if (_mm_movemask_epi8(_mm_cmpgt_epi16(endStep, _mm_slli_epi16(qp, 1))) != 0) continue;
      Lanes filtered;
      DcOffsetLanes(v, qp, true, filtered);
      for (int n = 1; n <= 8; ++n) v[n] = filtered[n];
      first = 1;
      last = 8;
    }
    for (int k = first; k <= last; ++k) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(top + k * stride + x), _mm_packus_epi16(v[k], v[k]));
    }
  }
}

constexpr DeblockKernels kSse2Kernels{"sse2", DeblockVerticalEdgesSse2, DeblockHorizontalEdgeSse2};

struct KernelList {
  std::array<const DeblockKernels*, 2> items{&kPlainKernels, &kSse2Kernels};
  size_t count = 2;
};

#else

struct KernelList {
  std::array<const DeblockKernels*, 1> items{&kPlainKernels};
  size_t count = 1;
};

#endif

const KernelList kKernels;

void CopyPlaneRows(const uint8_t* src, ptrdiff_t srcStride, uint8_t* dst, ptrdiff_t dstStride, int width, int rows) {
  for (int r = 0; r < rows; ++r) std::memcpy(dst + r * dstStride, src + r * srcStride, size_t(width));
}

// Eight-row chunks: copy, filter the vertical edges of the chunk's whole
// strips, then the horizontal edge at the chunk's top, whose v0..v9 (rows
// y-5 .. y+4) are then all horizontally filtered. This is the same order of
// work as strip by strip: no filter reads a sample a later step changes.
void DeblockPlane(const DeblockKernels& k, const uint8_t* src, ptrdiff_t srcStride, uint8_t* dst,
                  ptrdiff_t dstStride, int width, int height, const int32_t* qpStore, int qpRowLength, int qpShift,
                  bool vertical, bool horizontal) {
  for (int y = 0; y < height; y += 8) {
    const int rows = std::min(8, height - y);
    uint8_t* chunk = dst + y * dstStride;
    CopyPlaneRows(src + y * srcStride, srcStride, chunk, dstStride, width, rows);
    const int32_t* qpRow = qpStore + ptrdiff_t(y >> qpShift) * qpRowLength;
    if (vertical && rows >= 4 && width > 8) k.verticalEdges(chunk, rows & ~3, width, dstStride, qpRow, qpShift);
    if (horizontal && y >= 8 && y + 4 < height) k.horizontalEdge(chunk, width, dstStride, qpRow, qpShift);
  }
}

}  // namespace

const DeblockKernels& PlainDeblockKernels() { return kPlainKernels; }

std::span<const DeblockKernels* const> AvailableDeblockKernels() { return {kKernels.items.data(), kKernels.count}; }

const DeblockKernels& ActiveDeblockKernels() { return *kKernels.items[kKernels.count - 1]; }

void PostProcessPictureWith(const DeblockKernels& kernels, const uint8_t* srcY, const uint8_t* srcU,
                            const uint8_t* srcV, int srcStride, uint8_t* dstY, uint8_t* dstU, uint8_t* dstV,
                            int dstStride, int width, int height, const int32_t* qpStore, int qpRowLength,
                            uint32_t flags) {
  if (!srcY || !srcU || !srcV || !dstY || !dstU || !dstV || !qpStore) return;
  if (width <= 0 || height <= 0 || width % 2 || height % 2 || srcStride < width || dstStride < width) return;
  DeblockPlane(kernels, srcY, srcStride, dstY, dstStride, width, height, qpStore, qpRowLength, 4,
               flags & kDeblockLumaVertical, flags & kDeblockLumaHorizontal);
  const int cw = width / 2;
  const int ch = height / 2;
  const bool cv = flags & kDeblockChromaVertical;
  const bool chz = flags & kDeblockChromaHorizontal;
  DeblockPlane(kernels, srcU, srcStride / 2, dstU, dstStride / 2, cw, ch, qpStore, qpRowLength, 3, cv, chz);
  DeblockPlane(kernels, srcV, srcStride / 2, dstV, dstStride / 2, cw, ch, qpStore, qpRowLength, 3, cv, chz);
}

void PostProcessPicture(const uint8_t* srcY, const uint8_t* srcU, const uint8_t* srcV, int srcStride, uint8_t* dstY,
                        uint8_t* dstU, uint8_t* dstV, int dstStride, int width, int height, const int32_t* qpStore,
                        int qpRowLength, uint32_t flags) {
  PostProcessPictureWith(ActiveDeblockKernels(), srcY, srcU, srcV, srcStride, dstY, dstU, dstV, dstStride, width,
                         height, qpStore, qpRowLength, flags);
}

}  // namespace quenda
