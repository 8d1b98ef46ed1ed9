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

namespace {

// Vectors reaching past the stored border: sample the picture at clamped
// coordinates, which is what the border holds wherever it reaches.
[[gnu::noinline]] void PredictClamped(McKernel kernel, const uint8_t* ref, uint8_t* dst, int stride, int size, int sx,
                                      int sy, int w, int h) {
  alignas(16) static uint8_t scratch[17 * LumaStride(kMaxWidth)];
  for (int r = 0; r <= size; ++r) {
    const uint8_t* row = ref + std::clamp(sy + r, 0, h - 1) * stride;
    for (int c = 0; c <= size; ++c) scratch[r * stride + c] = row[std::clamp(sx + c, 0, w - 1)];
  }
  kernel(scratch, dst, stride);
}

template <int Size>
inline void PredictBlock(const uint8_t* ref, uint8_t* cur, int stride, int x, int y, int dx, int dy, int rounding,
                         int w, int h, int border, const McKernelTable& kernels) {
  const McKernel kernel = kernels.k[McKernelIndex(Size, rounding, dx, dy)];
  const int sx = x + (dx >> 1), sy = y + (dy >> 1);
  uint8_t* dst = cur + y * stride + x;
  // The kernel reads Size + 1 columns and rows.
  if (unsigned(sx + border) <= unsigned(w + border - Size - 1 + border) &&
      unsigned(sy + border) <= unsigned(h + border - Size - 1 + border)) [[likely]] {
    kernel(ref + sy * stride + sx, dst, stride);
    return;
  }
  PredictClamped(kernel, ref, dst, stride, Size, sx, sy, w, h);
}

inline void Fill(uint8_t* p, uint8_t value, int n) {
  const __m128i v = _mm_set1_epi8(char(value));
  for (; n >= 16; n -= 16, p += 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  if (n) std::memset(p, value, size_t(n));
}

// n bytes (a multiple of 8) of the row at src into `count` rows, the first
// at dst, `step` bytes apart; each piece is loaded once.
inline void ReplicateRowPart(uint8_t* dst, ptrdiff_t step, const uint8_t* src, int n, int count) {
  for (; n >= 16; n -= 16, src += 16, dst += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    for (int r = 0; r < count; ++r) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + r * step), v);
  }
  if (n) {
    const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src));
    for (int r = 0; r < count; ++r) _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + r * step), v);
  }
}

void ExtendMacroblockBorders(const DecoderState& s, int mbX, int mbY) {
  const FramePlanes& p = s.cur;
  const int cw = s.width / 2, ch = s.height / 2;
  ExtendBlockBorders(p.y, p.lumaStride, s.width, s.height, kLumaBorder, 16 * mbX, 16 * mbY, 16);
  ExtendBlockBorders(p.u, p.chromaStride, cw, ch, kChromaBorder, 8 * mbX, 8 * mbY, 8);
  ExtendBlockBorders(p.v, p.chromaStride, cw, ch, kChromaBorder, 8 * mbX, 8 * mbY, 8);
}

bool OnEdge(const DecoderState& s, int mbX, int mbY) {
  return mbX == 0 || mbY == 0 || mbX == s.mbPerRow - 1 || mbY == s.mbRows - 1;
}

// The current store's macroblock now holds content `id`.
inline void SetContent(DecoderState& s, int mbX, int mbY, uint32_t id) {
  StoreTracking& t = s.tracking;
  if (t.cur < 0) return;
  t.content[t.cur][mbY][mbX] = id;
  if (!t.wholeBorder[t.cur] && OnEdge(s, mbX, mbY)) ExtendMacroblockBorders(s, mbX, mbY);
}

void FillContent(StoreTracking& t, int store, uint32_t id) {
  for (auto& row : t.content[store])
    for (uint32_t& c : row) c = id;
}

}  // namespace

void MotionCompensateBlock(const uint8_t* ref, uint8_t* cur, int stride, int size, int x, int y, int dx, int dy,
                           int rounding, int w, int h, int border, const McKernelTable& kernels) {
  if (size == 16) PredictBlock<16>(ref, cur, stride, x, y, dx, dy, rounding, w, h, border, kernels);
  else PredictBlock<8>(ref, cur, stride, x, y, dx, dy, rounding, w, h, border, kernels);
}

void MotionCompensateMacroblock(DecoderState& s, int mbX, int mbY, int mode) {
  const McKernelTable& k = *g_dsp.mc;
  const int rnd = s.vop.roundingType;
  const SideInfo& si = s.side;
  const int row = mbY + 1, col = mbX + 1;
  const int stride = s.lumaStride;
  int cx, cy;
  if (mode == 2) {
    int sumX = 0, sumY = 0;
    for (int b = 0; b < 4; ++b) {
      const int dx = si.mvx[b][row][col], dy = si.mvy[b][row][col];
      PredictBlock<8>(s.ref.y, s.cur.y, stride, 16 * mbX + 8 * (b & 1), 16 * mbY + 8 * (b >> 1), dx, dy, rnd,
                      s.width, s.height, kLumaBorder, k);
      sumX += dx;
      sumY += dy;
    }
    cx = ChromaVectorFour(sumX);
    cy = ChromaVectorFour(sumY);
  } else {
    const int dx = si.mvx[0][row][col], dy = si.mvy[0][row][col];
    PredictBlock<16>(s.ref.y, s.cur.y, stride, 16 * mbX, 16 * mbY, dx, dy, rnd, s.width, s.height, kLumaBorder, k);
    cx = ChromaVectorOne(dx);
    cy = ChromaVectorOne(dy);
  }
  const int cw = s.width / 2, ch = s.height / 2, cstride = s.chromaStride;
  PredictBlock<8>(s.ref.u, s.cur.u, cstride, 8 * mbX, 8 * mbY, cx, cy, rnd, cw, ch, kChromaBorder, k);
  PredictBlock<8>(s.ref.v, s.cur.v, cstride, 8 * mbX, 8 * mbY, cx, cy, rnd, cw, ch, kChromaBorder, k);
}

void ExtendPlaneBorders(uint8_t* origin, int stride, int rows, int border) {
  const int w = stride - 2 * border, h = rows - 2 * border;
  for (int y = 0; y < h; ++y) {
    uint8_t* row = origin + y * stride;
    Fill(row - border, row[0], border);
    Fill(row + w, row[w - 1], border);
  }
  // Whole stored rows, corners included.
  const uint8_t* first = origin - border;
  const uint8_t* last = origin + (h - 1) * stride - border;
  for (int y = 1; y <= border; ++y) {
    std::memcpy(origin - y * stride - border, first, size_t(stride));
    std::memcpy(origin + (h - 1 + y) * stride - border, last, size_t(stride));
  }
}

void ExtendBlockBorders(uint8_t* origin, int stride, int w, int h, int border, int x, int y, int size) {
  const bool left = x == 0, right = x + size == w, top = y == 0, bottom = y + size == h;
  if (!(left || right || top || bottom)) return;
  if (left || right) {
    for (int r = y; r < y + size; ++r) {
      uint8_t* row = origin + r * stride;
      if (left) Fill(row - border, row[0], border);
      if (right) Fill(row + w, row[w - 1], border);
    }
  }
  // Rows above and below: this block's columns, and the corner squares
  // (already in the extended first and last rows) at the picture's corners.
  const int from = left ? x - border : x;
  const int n = (right ? x + size + border : x + size) - from;
  if (top) ReplicateRowPart(origin - stride + from, -stride, origin + from, n, border);
  if (bottom) {
    uint8_t* last = origin + (h - 1) * stride + from;
    ReplicateRowPart(last + stride, stride, last, n, border);
  }
}

int InternalStoreIndex(const DecoderState& s, const FramePlanes& p) {
  const size_t lumaOrigin = size_t(kLumaBorder) * s.lumaStride + kLumaBorder;
  const size_t chromaOrigin = size_t(kChromaBorder) * s.chromaStride + kChromaBorder;
  for (int i = 0; i < 2; ++i) {
    if (s.storeBase[i] && p.y == s.storeBase[i] + lumaOrigin && p.u == s.storeBase[2 + i] + chromaOrigin &&
        p.v == s.storeBase[4 + i] + chromaOrigin)
      return i;
  }
  return -1;
}

void ResetStoreTracking(DecoderState& s) {
  StoreTracking& t = s.tracking;
  FillContent(t, 0, 0);
  FillContent(t, 1, 1);
  t.stamp = 1;
  t.wholeBorder[0] = t.wholeBorder[1] = true;
  t.cur = t.ref = -1;
}

void BeginStoreTracking(DecoderState& s) {
  StoreTracking& t = s.tracking;
  t.cur = InternalStoreIndex(s, s.cur);
  t.ref = InternalStoreIndex(s, s.ref);
  if (t.ref == t.cur) t.ref = -1;
  if (++t.stamp == 0) {
    // Ids about to repeat: start afresh (the next picture copies everything).
    FillContent(t, 0, 0);
    FillContent(t, 1, 1);
    t.stamp = 2;
  }
}

void CopyNotCodedMacroblock(DecoderState& s, int mbX, int mbY) {
  StoreTracking& t = s.tracking;
  if (t.cur >= 0 && t.ref >= 0 && t.content[t.cur][mbY][mbX] == t.content[t.ref][mbY][mbX]) return;
  const McKernelTable& k = *g_dsp.mc;
  const int ls = s.lumaStride, cs = s.chromaStride;
  const ptrdiff_t luma = ptrdiff_t(16 * mbY) * ls + 16 * mbX, chroma = ptrdiff_t(8 * mbY) * cs + 8 * mbX;
  k.k[8](s.ref.y + luma, s.cur.y + luma, ls);
  k.k[0](s.ref.u + chroma, s.cur.u + chroma, cs);
  k.k[0](s.ref.v + chroma, s.cur.v + chroma, cs);
  SetContent(s, mbX, mbY, t.ref >= 0 ? t.content[t.ref][mbY][mbX] : t.stamp);
}

void MacroblockWritten(DecoderState& s, int mbX, int mbY) { SetContent(s, mbX, mbY, s.tracking.stamp); }

void ExtendPictureBorders(DecoderState& s) {
  StoreTracking& t = s.tracking;
  if (t.cur >= 0 && !t.wholeBorder[t.cur]) return;  // kept macroblock by macroblock
  ExtendPlaneBorders(s.cur.y, s.lumaStride, s.lumaRows, kLumaBorder);
  ExtendPlaneBorders(s.cur.u, s.chromaStride, s.chromaRows, kChromaBorder);
  ExtendPlaneBorders(s.cur.v, s.chromaStride, s.chromaRows, kChromaBorder);
  if (t.cur >= 0) t.wholeBorder[t.cur] = false;
}

}  // namespace quenda
