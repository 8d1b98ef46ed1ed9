#include "mc.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "dsp.h"

namespace quenda {
namespace {

// ---- plain kernels ----

template <int N>
void Copy(const uint8_t* s, uint8_t* d, int stride) {
  for (int y = 0; y < N; ++y, s += stride, d += stride) std::memcpy(d, s, N);
}

template <int N, int Rnd>
void InterpH(const uint8_t* s, uint8_t* d, int stride) {
  for (int y = 0; y < N; ++y, s += stride, d += stride)
    for (int x = 0; x < N; ++x) d[x] = uint8_t((s[x] + s[x + 1] + 1 - Rnd) >> 1);
}

template <int N, int Rnd>
void InterpV(const uint8_t* s, uint8_t* d, int stride) {
  for (int y = 0; y < N; ++y, s += stride, d += stride)
    for (int x = 0; x < N; ++x) d[x] = uint8_t((s[x] + s[x + stride] + 1 - Rnd) >> 1);
}

template <int N, int Rnd>
void InterpHV(const uint8_t* s, uint8_t* d, int stride) {
  for (int y = 0; y < N; ++y, s += stride, d += stride)
    for (int x = 0; x < N; ++x) d[x] = uint8_t((s[x] + s[x + 1] + s[x + stride] + s[x + stride + 1] + 2 - Rnd) >> 2);
}

// ---- packed kernels ----

template <int N>
inline __m128i LoadRow(const uint8_t* p) {
  if constexpr (N == 16) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  else return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}
template <int N>
inline void StoreRow(uint8_t* p, __m128i v) {
  if constexpr (N == 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  else _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}

// (a + b + 1 - rnd) >> 1: pavgb rounds up; the other rounding takes one off
// where a + b is odd.
template <int Rnd>
inline __m128i Avg2(__m128i a, __m128i b) {
  const __m128i avg = _mm_avg_epu8(a, b);
  if constexpr (Rnd == 0) return avg;
  else return _mm_sub_epi8(avg, _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}

template <int N>
void CopySse2(const uint8_t* s, uint8_t* d, int stride) {
  for (int y = 0; y < N; ++y, s += stride, d += stride) StoreRow<N>(d, LoadRow<N>(s));
}

template <int N, int Rnd>
void InterpHSse2(const uint8_t* s, uint8_t* d, int stride) {
  for (int y = 0; y < N; ++y, s += stride, d += stride) StoreRow<N>(d, Avg2<Rnd>(LoadRow<N>(s), LoadRow<N>(s + 1)));
}

template <int N, int Rnd>
void InterpVSse2(const uint8_t* s, uint8_t* d, int stride) {
  __m128i a = LoadRow<N>(s);
  for (int y = 0; y < N; ++y, s += stride, d += stride) {
    const __m128i b = LoadRow<N>(s + stride);
    StoreRow<N>(d, Avg2<Rnd>(a, b));
    a = b;
  }
}

// Two-way: 16-bit sums of the four neighbours.
template <int N, int Rnd>
void InterpHVSse2(const uint8_t* s, uint8_t* d, int stride) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i bias = _mm_set1_epi16(2 - Rnd);
  auto pairSums = [&](const uint8_t* p, __m128i& lo, __m128i& hi) {
    const __m128i a = LoadRow<N>(p), b = LoadRow<N>(p + 1);
    lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
    if constexpr (N == 16) hi = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
  };
  __m128i topLo, topHi = zero;
  pairSums(s, topLo, topHi);
  for (int y = 0; y < N; ++y, s += stride, d += stride) {
    __m128i botLo, botHi = zero;
    pairSums(s + stride, botLo, botHi);
    const __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(topLo, botLo), bias), 2);
    const __m128i hi = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(topHi, botHi), bias), 2);
    StoreRow<N>(d, _mm_packus_epi16(lo, hi));
    topLo = botLo;
    topHi = botHi;
  }
}

// Chroma rounding for vectors derived from four luma vectors, by |sum| mod 16.
constexpr int kChromaRounding[16] = {0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2};

}  // namespace

const McKernelTable kMcReference = {{
    Copy<8>, InterpH<8, 0>, InterpV<8, 0>, InterpHV<8, 0>,
    Copy<8>, InterpH<8, 1>, InterpV<8, 1>, InterpHV<8, 1>,
    Copy<16>, InterpH<16, 0>, InterpV<16, 0>, InterpHV<16, 0>,
    Copy<16>, InterpH<16, 1>, InterpV<16, 1>, InterpHV<16, 1>,
}};

const McKernelTable kMcSse2 = {{
    CopySse2<8>, InterpHSse2<8, 0>, InterpVSse2<8, 0>, InterpHVSse2<8, 0>,
    CopySse2<8>, InterpHSse2<8, 1>, InterpVSse2<8, 1>, InterpHVSse2<8, 1>,
    CopySse2<16>, InterpHSse2<16, 0>, InterpVSse2<16, 0>, InterpHVSse2<16, 0>,
    CopySse2<16>, InterpHSse2<16, 1>, InterpVSse2<16, 1>, InterpHVSse2<16, 1>,
}};

int McKernelIndex(int size, int rounding, int dx, int dy) {
  return (size == 16 ? 8 : 0) + 4 * rounding + 2 * (dy & 1) + (dx & 1);
}

int ChromaVectorOne(int v) { return (v & 3) ? ((v >> 1) | 1) : (v >> 1); }

int ChromaVectorFour(int sum) {
  if (sum == 0) return 0;
  const int a = std::abs(sum);
  const int c = 2 * (a >> 4) + kChromaRounding[a & 15];
  return sum > 0 ? c : -c;
}

void MotionCompensateBlock(const uint8_t* ref, uint8_t* cur, int stride, int size, int x, int y, int dx, int dy,
                           int rounding, int w, int h, int border, const McKernelTable& kernels) {
  const McKernel kernel = kernels.k[McKernelIndex(size, rounding, dx, dy)];
  const int sx = x + (dx >> 1), sy = y + (dy >> 1);
  uint8_t* dst = cur + y * stride + x;
  // The kernel reads size + 1 columns and rows.
  if (sx >= -border && sy >= -border && sx + size + 1 <= w + border && sy + size + 1 <= h + border) [[likely]] {
    kernel(ref + sy * stride + sx, dst, stride);
    return;
  }
  // Far outside: sample the picture at clamped coordinates, which is what the
  // border holds wherever it reaches.
  alignas(16) static uint8_t scratch[17 * LumaStride(kMaxWidth)];
  for (int r = 0; r <= size; ++r) {
    const uint8_t* row = ref + std::clamp(sy + r, 0, h - 1) * stride;
    for (int c = 0; c <= size; ++c) scratch[r * stride + c] = row[std::clamp(sx + c, 0, w - 1)];
  }
  kernel(scratch, dst, stride);
}

void MotionCompensateMacroblock(DecoderState& s, int mbX, int mbY, int mode) {
  const McKernelTable& k = *g_dsp.mc;
  const int rnd = s.vop.roundingType;
  const SideInfo& si = s.side;
  const int row = mbY + 1, col = mbX + 1;
  int cx, cy;
  if (mode == 2) {
    int sumX = 0, sumY = 0;
    for (int b = 0; b < 4; ++b) {
      const int dx = si.mvx[b][row][col], dy = si.mvy[b][row][col];
      MotionCompensateBlock(s.ref.y, s.cur.y, s.lumaStride, 8, 16 * mbX + 8 * (b & 1), 16 * mbY + 8 * (b >> 1), dx,
                            dy, rnd, s.width, s.height, kLumaBorder, k);
      sumX += dx;
      sumY += dy;
    }
    cx = ChromaVectorFour(sumX);
    cy = ChromaVectorFour(sumY);
  } else {
    const int dx = si.mvx[0][row][col], dy = si.mvy[0][row][col];
    MotionCompensateBlock(s.ref.y, s.cur.y, s.lumaStride, 16, 16 * mbX, 16 * mbY, dx, dy, rnd, s.width, s.height,
                          kLumaBorder, k);
    cx = ChromaVectorOne(dx);
    cy = ChromaVectorOne(dy);
  }
  const int cw = s.width / 2, ch = s.height / 2;
  MotionCompensateBlock(s.ref.u, s.cur.u, s.chromaStride, 8, 8 * mbX, 8 * mbY, cx, cy, rnd, cw, ch, kChromaBorder, k);
  MotionCompensateBlock(s.ref.v, s.cur.v, s.chromaStride, 8, 8 * mbX, 8 * mbY, cx, cy, rnd, cw, ch, kChromaBorder, k);
}

void ExtendPlaneBorders(uint8_t* origin, int stride, int rows, int border) {
  const int w = stride - 2 * border, h = rows - 2 * border;
  for (int y = 0; y < h; ++y) {
    uint8_t* row = origin + y * stride;
    std::memset(row - border, row[0], border);
    std::memset(row + w, row[w - 1], border);
  }
  // Whole stored rows, corners included.
  const uint8_t* first = origin - border;
  const uint8_t* last = origin + (h - 1) * stride - border;
  for (int y = 1; y <= border; ++y) {
    std::memcpy(origin - y * stride - border, first, stride);
    std::memcpy(origin + (h - 1 + y) * stride - border, last, stride);
  }
}

void ExtendPictureBorders(DecoderState& s) {
  ExtendPlaneBorders(s.cur.y, s.lumaStride, s.lumaRows, kLumaBorder);
  ExtendPlaneBorders(s.cur.u, s.chromaStride, s.chromaRows, kChromaBorder);
  ExtendPlaneBorders(s.cur.v, s.chromaStride, s.chromaRows, kChromaBorder);
}

}  // namespace quenda
