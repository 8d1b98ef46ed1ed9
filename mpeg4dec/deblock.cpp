#include "deblock.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "kernel_list.h"

#if defined(__x86_64__)
#define QUENDA_X86 1
#include <immintrin.h>
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
void DeblockVerticalEdgesPlain(uint8_t* row0, int firstRow, int rows, int width, ptrdiff_t stride,
                               const int32_t* qpStore, int qpRowLength, int qpShift) {
  for (int r = 0; r + 4 <= rows; r += 4) {
    uint8_t* strip = row0 + r * stride;
    const int32_t* qpRow = qpStore + ptrdiff_t((firstRow + r) >> qpShift) * qpRowLength;
    for (int x = 8; x + 5 <= width; x += 8) {
      DeblockVerticalEdgeStrip(strip + x - 5, stride, ClampQp(qpRow[x >> qpShift]));
    }
  }
}

void DeblockHorizontalEdgeFromPlain(uint8_t* below, int from, int width, ptrdiff_t stride, const int32_t* qpRow,
                                    int qpShift) {
  for (int x = from; x + 8 <= width; x += 8) {
    DeblockHorizontalEdgeGroup(below - 5 * stride + x, stride, ClampQp(qpRow[x >> qpShift]));
  }
}

void DeblockHorizontalEdgePlain(uint8_t* below, int width, ptrdiff_t stride, const int32_t* qpRow, int qpShift) {
  DeblockHorizontalEdgeFromPlain(below, 0, width, stride, qpRow, qpShift);
}

constexpr DeblockKernels kPlainKernels{"plain", DeblockVerticalEdgesPlain, DeblockHorizontalEdgePlain};

#if QUENDA_X86

// ---- SSE2: eight lines per vector --------------------------------------------

namespace sse2 {

#define LANE_FN static inline __attribute__((always_inline))
using V = __m128i;
constexpr bool kWide = false;

LANE_FN V Zero() { return _mm_setzero_si128(); }
LANE_FN V Set1(int x) { return _mm_set1_epi16(static_cast<short>(x)); }
LANE_FN V HalvesQp(int a, int) { return Set1(a); }
LANE_FN V Add(V a, V b) { return _mm_add_epi16(a, b); }
LANE_FN V Sub(V a, V b) { return _mm_sub_epi16(a, b); }
LANE_FN V Max(V a, V b) { return _mm_max_epi16(a, b); }
LANE_FN V Min(V a, V b) { return _mm_min_epi16(a, b); }
LANE_FN V And(V a, V b) { return _mm_and_si128(a, b); }
LANE_FN V AndNot(V mask, V b) { return _mm_andnot_si128(mask, b); }
LANE_FN V Or(V a, V b) { return _mm_or_si128(a, b); }
LANE_FN V Xor(V a, V b) { return _mm_xor_si128(a, b); }
LANE_FN V CmpGt(V a, V b) { return _mm_cmpgt_epi16(a, b); }
LANE_FN V CmpLt(V a, V b) { return _mm_cmplt_epi16(a, b); }
LANE_FN V Shl(V a, int n) { return _mm_slli_epi16(a, n); }
LANE_FN V Srai(V a, int n) { return _mm_srai_epi16(a, n); }
LANE_FN V Srli(V a, int n) { return _mm_srli_epi16(a, n); }
LANE_FN int MoveMask(V a) { return _mm_movemask_epi8(a); }
LANE_FN V UnpackLo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
LANE_FN V UnpackHi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
LANE_FN V UnpackLo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
LANE_FN V UnpackHi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
LANE_FN V UnpackLo32(V a, V b) { return _mm_unpacklo_epi32(a, b); }
LANE_FN V UnpackHi32(V a, V b) { return _mm_unpackhi_epi32(a, b); }
LANE_FN V UnpackLo64(V a, V b) { return _mm_unpacklo_epi64(a, b); }
LANE_FN V UnpackHi64(V a, V b) { return _mm_unpackhi_epi64(a, b); }
LANE_FN V PackUs16(V a, V b) { return _mm_packus_epi16(a, b); }
LANE_FN V ShiftBytesRight8(V a) { return _mm_srli_si128(a, 8); }
LANE_FN V SwapAdjacent16(V a) { return _mm_shufflehi_epi16(_mm_shufflelo_epi16(a, 0xB1), 0xB1); }
LANE_FN V SwapPairs16(V a) { return _mm_shufflehi_epi16(_mm_shufflelo_epi16(a, 0x4E), 0x4E); }
LANE_FN V SwapDwords(V a) { return _mm_shuffle_epi32(a, 0xB1); }
LANE_FN V SwapQwords(V a) { return _mm_shuffle_epi32(a, 0x4E); }
LANE_FN V BroadcastQuadHeads(V a) { return _mm_shufflehi_epi16(_mm_shufflelo_epi16(a, 0), 0); }
LANE_FN V LoadRowPair(const uint8_t* p, ptrdiff_t stride, int row) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + row * stride));
}
LANE_FN void StoreRow16Pair(uint8_t* p, ptrdiff_t stride, int row, V a) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p + row * stride), a);
}
LANE_FN V LoadColumns(const uint8_t* p) {
  return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
}
LANE_FN void StoreColumns(uint8_t* p, V a) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(a, a)); }

constexpr auto FallbackVerticalEdges = DeblockVerticalEdgesPlain;
constexpr auto FallbackHorizontalEdgeFrom = DeblockHorizontalEdgeFromPlain;

#include "deblock_lanes.inc"
#undef LANE_FN

}  // namespace sse2

void DeblockVerticalEdgesSse2(uint8_t* row0, int firstRow, int rows, int width, ptrdiff_t stride,
                              const int32_t* qpStore, int qpRowLength, int qpShift) {
  sse2::VerticalEdges(row0, firstRow, rows, width, stride, qpStore, qpRowLength, qpShift);
}

void DeblockHorizontalEdgeSse2(uint8_t* below, int width, ptrdiff_t stride, const int32_t* qpRow, int qpShift) {
  sse2::HorizontalEdgeFrom(below, 0, width, stride, qpRow, qpShift);
}

constexpr DeblockKernels kSse2Kernels{"sse2", DeblockVerticalEdgesSse2, DeblockHorizontalEdgeSse2};

// ---- AVX2: sixteen lines per vector, two groups of eight ----------------------

#define QUENDA_AVX2 __attribute__((target("avx2")))

namespace avx2 {

#define LANE_FN static inline __attribute__((always_inline)) QUENDA_AVX2
using V = __m256i;
constexpr bool kWide = true;

LANE_FN V Zero() { return _mm256_setzero_si256(); }
LANE_FN V Set1(int x) { return _mm256_set1_epi16(static_cast<short>(x)); }
LANE_FN V HalvesQp(int a, int b) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_set1_epi16(static_cast<short>(a))),
                                 _mm_set1_epi16(static_cast<short>(b)), 1);
}
LANE_FN V Add(V a, V b) { return _mm256_add_epi16(a, b); }
LANE_FN V Sub(V a, V b) { return _mm256_sub_epi16(a, b); }
LANE_FN V Max(V a, V b) { return _mm256_max_epi16(a, b); }
LANE_FN V Min(V a, V b) { return _mm256_min_epi16(a, b); }
LANE_FN V And(V a, V b) { return _mm256_and_si256(a, b); }
LANE_FN V AndNot(V mask, V b) { return _mm256_andnot_si256(mask, b); }
LANE_FN V Or(V a, V b) { return _mm256_or_si256(a, b); }
LANE_FN V Xor(V a, V b) { return _mm256_xor_si256(a, b); }
LANE_FN V CmpGt(V a, V b) { return _mm256_cmpgt_epi16(a, b); }
LANE_FN V CmpLt(V a, V b) { return _mm256_cmpgt_epi16(b, a); }
LANE_FN V Shl(V a, int n) { return _mm256_slli_epi16(a, n); }
LANE_FN V Srai(V a, int n) { return _mm256_srai_epi16(a, n); }
LANE_FN V Srli(V a, int n) { return _mm256_srli_epi16(a, n); }
LANE_FN int MoveMask(V a) { return _mm256_movemask_epi8(a); }
LANE_FN V UnpackLo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
LANE_FN V UnpackHi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
LANE_FN V UnpackLo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
LANE_FN V UnpackHi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
LANE_FN V UnpackLo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
LANE_FN V UnpackHi32(V a, V b) { return _mm256_unpackhi_epi32(a, b); }
LANE_FN V UnpackLo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
LANE_FN V UnpackHi64(V a, V b) { return _mm256_unpackhi_epi64(a, b); }
LANE_FN V PackUs16(V a, V b) { return _mm256_packus_epi16(a, b); }
LANE_FN V ShiftBytesRight8(V a) { return _mm256_srli_si256(a, 8); }
LANE_FN V SwapAdjacent16(V a) { return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(a, 0xB1), 0xB1); }
LANE_FN V SwapPairs16(V a) { return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(a, 0x4E), 0x4E); }
LANE_FN V SwapDwords(V a) { return _mm256_shuffle_epi32(a, 0xB1); }
LANE_FN V SwapQwords(V a) { return _mm256_shuffle_epi32(a, 0x4E); }
LANE_FN V BroadcastQuadHeads(V a) { return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(a, 0), 0); }
// Row `row` in the low half, row `row + 8` in the high half.
LANE_FN V LoadRowPair(const uint8_t* p, ptrdiff_t stride, int row) {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + row * stride));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (row + 8) * stride));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}
// Low half to row `row`, high half to row `row + 8`.
LANE_FN void StoreRow16Pair(uint8_t* p, ptrdiff_t stride, int row, V a) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p + row * stride), _mm256_castsi256_si128(a));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p + (row + 8) * stride), _mm256_extracti128_si256(a, 1));
}
LANE_FN V LoadColumns(const uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
LANE_FN void StoreColumns(uint8_t* p, V a) {
  const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, a), 0xD8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(packed));
}

constexpr auto FallbackVerticalEdges = sse2::VerticalEdges;
constexpr auto FallbackHorizontalEdgeFrom = sse2::HorizontalEdgeFrom;

#include "deblock_lanes.inc"
#undef LANE_FN

}  // namespace avx2

QUENDA_AVX2 void DeblockVerticalEdgesAvx2(uint8_t* row0, int firstRow, int rows, int width, ptrdiff_t stride,
                                          const int32_t* qpStore, int qpRowLength, int qpShift) {
  avx2::VerticalEdges(row0, firstRow, rows, width, stride, qpStore, qpRowLength, qpShift);
}

QUENDA_AVX2 void DeblockHorizontalEdgeAvx2(uint8_t* below, int width, ptrdiff_t stride, const int32_t* qpRow,
                                           int qpShift) {
  avx2::HorizontalEdgeFrom(below, 0, width, stride, qpRow, qpShift);
}

constexpr DeblockKernels kAvx2Kernels{"avx2", DeblockVerticalEdgesAvx2, DeblockHorizontalEdgeAvx2};

#endif

using List = KernelList<DeblockKernels, 4>;

List DetectKernels() {
  List list;
  list.Add(&kPlainKernels);
#if QUENDA_X86
  list.Add(&kSse2Kernels);
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) list.Add(&kAvx2Kernels);
#endif
  return list;
}

const List& Kernels() {
  static const List list = DetectKernels();
  return list;
}

void CopyPlaneRows(const uint8_t* src, ptrdiff_t srcStride, uint8_t* dst, ptrdiff_t dstStride, int width, int rows) {
  for (int r = 0; r < rows; ++r) std::memcpy(dst + r * dstStride, src + r * srcStride, size_t(width));
}

// Sixteen-row chunks: copy, filter the vertical edges of the chunk's whole
// 4-row strips, then the horizontal edges at the chunk's rows 0 and 8, whose
// v0..v9 (five rows either side) are by then all horizontally filtered. No
// filter reads a sample that a later step changes, so this gives the same
// result as going strip by strip.
void DeblockPlane(const DeblockKernels& k, const uint8_t* src, ptrdiff_t srcStride, uint8_t* dst,
                  ptrdiff_t dstStride, int width, int height, const int32_t* qpStore, int qpRowLength, int qpShift,
                  bool vertical, bool horizontal) {
  for (int y = 0; y < height; y += 16) {
    const int rows = std::min(16, height - y);
    uint8_t* chunk = dst + y * dstStride;
    CopyPlaneRows(src + y * srcStride, srcStride, chunk, dstStride, width, rows);
    if (vertical && rows >= 4 && width > 8) {
      k.verticalEdges(chunk, y, rows & ~3, width, dstStride, qpStore, qpRowLength, qpShift);
    }
    if (!horizontal) continue;
    for (int edge = y; edge < y + rows; edge += 8) {
      if (edge >= 8 && edge + 4 < height) {
        k.horizontalEdge(dst + edge * dstStride, width, dstStride, qpStore + ptrdiff_t(edge >> qpShift) * qpRowLength,
                         qpShift);
      }
    }
  }
}

}  // namespace

const DeblockKernels& PlainDeblockKernels() { return kPlainKernels; }

std::span<const DeblockKernels* const> AvailableDeblockKernels() {
  return Kernels().All();
}

const DeblockKernels& ActiveDeblockKernels() {
  return Kernels().Active();
}

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
