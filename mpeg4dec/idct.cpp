#include "idct.h"

#include <immintrin.h>

#include <algorithm>

namespace quenda {
namespace {

// Row weights W(r, k), k = 1..7 at index k, rows 0/4, 1/7, 2/6, 3/5.
constexpr int16_t kRowWeights[4][8] = {
    {0, 22725, 21407, 19266, 16384, 12873, 8867, 4520},
    {0, 31521, 29692, 26722, 22725, 17855, 12299, 6270},
    {0, 29692, 27969, 25172, 21407, 16819, 11585, 5906},
    {0, 26722, 25172, 22654, 19266, 15137, 10426, 5315},
};
constexpr int kRowGroup[8] = {0, 1, 2, 3, 0, 3, 2, 1};
// Added once to each even-part sum; row 0's term rounds the final shift.
constexpr int32_t kRowRounding[8] = {65536, 3597, 2260, 1203, 0, 120, 512, 512};

constexpr int16_t kTan1 = 13036;
constexpr int16_t kTan2 = 27146;
constexpr int16_t kTan3m1 = -21746;
constexpr int16_t kCos4 = 23170;

int16_t Sat(int32_t x) { return int16_t(std::clamp(x, -32768, 32767)); }
int32_t Hi(int32_t x, int32_t c) { return (x * c) >> 16; }
// 32-bit two's-complement sum of products.
int32_t Wrap(int64_t x) { return int32_t(uint32_t(uint64_t(x))); }

void RowPass(const int16_t* in, int16_t* out, int r) {
  const int16_t* w = kRowWeights[kRowGroup[r]];
  const int64_t x0 = in[0], x1 = in[1], x2 = in[2], x3 = in[3];
  const int64_t x4 = in[4], x5 = in[5], x6 = in[6], x7 = in[7];
  const int64_t rr = kRowRounding[r];
  const int32_t a0 = Wrap(w[4] * x0 + w[4] * x4 + w[2] * x2 + w[6] * x6 + rr);
  const int32_t a1 = Wrap(w[4] * x0 - w[4] * x4 + w[6] * x2 - w[2] * x6 + rr);
  const int32_t a2 = Wrap(w[4] * x0 - w[4] * x4 - w[6] * x2 + w[2] * x6 + rr);
  const int32_t a3 = Wrap(w[4] * x0 + w[4] * x4 - w[2] * x2 - w[6] * x6 + rr);
  const int32_t b0 = Wrap(w[1] * x1 + w[3] * x3 + w[5] * x5 + w[7] * x7);
  const int32_t b1 = Wrap(w[3] * x1 - w[7] * x3 - w[1] * x5 - w[5] * x7);
  const int32_t b2 = Wrap(w[5] * x1 - w[1] * x3 + w[7] * x5 + w[3] * x7);
  const int32_t b3 = Wrap(w[7] * x1 - w[5] * x3 + w[3] * x5 - w[1] * x7);
  out[0] = Sat(Wrap(int64_t(a0) + b0) >> 11);
  out[1] = Sat(Wrap(int64_t(a1) + b1) >> 11);
  out[2] = Sat(Wrap(int64_t(a2) + b2) >> 11);
  out[3] = Sat(Wrap(int64_t(a3) + b3) >> 11);
  out[4] = Sat(Wrap(int64_t(a3) - b3) >> 11);
  out[5] = Sat(Wrap(int64_t(a2) - b2) >> 11);
  out[6] = Sat(Wrap(int64_t(a1) - b1) >> 11);
  out[7] = Sat(Wrap(int64_t(a0) - b0) >> 11);
}

void ColumnPass(const int16_t* in, int16_t* out, int c) {
  const int32_t x0 = in[c], x1 = in[8 + c], x2 = in[16 + c], x3 = in[24 + c];
  const int32_t x4 = in[32 + c], x5 = in[40 + c], x6 = in[48 + c], x7 = in[56 + c];
  const int32_t tp17 = Sat(x1 + Hi(x7, kTan1));
  const int32_t tm17 = Sat(Hi(x1, kTan1) - x7);
  const int32_t tp35 = Sat(Sat(Hi(x5, kTan3m1) + x3) + x5);
  const int32_t tm35 = Sat(Sat(Hi(x3, kTan3m1) + x3) - x5);
  const int32_t tp26 = Sat(x2 + Hi(x6, kTan2));
  const int32_t tm26 = Sat(Hi(x2, kTan2) - x6);
  const int32_t tp04 = Sat(x0 + x4);
  const int32_t tm04 = Sat(x0 - x4);
  const int32_t b0 = Sat(tp17 + tp35);
  const int32_t b3 = Sat(tm17 - tm35);
  const int32_t u = Sat(tp17 - tp35);
  const int32_t v = Sat(tm17 + tm35);
  const int32_t h = Hi(Sat(u + v), kCos4);
  const int32_t b1 = Sat(h + h);
  const int32_t g = Hi(Sat(u - v), kCos4);
  const int32_t b2 = Sat(g + g);
  const int32_t a0 = Sat(tp04 + tp26);
  const int32_t a3 = Sat(tp04 - tp26);
  const int32_t a1 = Sat(tm04 + tm26);
  const int32_t a2 = Sat(tm04 - tm26);
  out[c] = int16_t(Sat(a0 + b0) >> 6);
  out[8 + c] = int16_t(Sat(a1 + b1) >> 6);
  out[16 + c] = int16_t(Sat(a2 + b2) >> 6);
  out[24 + c] = int16_t(Sat(a3 + b3) >> 6);
  out[32 + c] = int16_t(Sat(a3 - b3) >> 6);
  out[40 + c] = int16_t(Sat(a2 - b2) >> 6);
  out[48 + c] = int16_t(Sat(a1 - b1) >> 6);
  out[56 + c] = int16_t(Sat(a0 - b0) >> 6);
}

uint8_t Clamp255(int32_t v) { return uint8_t(std::clamp(v, 0, 255)); }

// ---- packed version ----

struct RowTables {
  alignas(16) int16_t even04[8][8];  // pairs (x0, x4) -> a0..a3
  alignas(16) int16_t even26[8][8];  // pairs (x2, x6)
  alignas(16) int16_t odd15[8][8];   // pairs (x1, x5) -> b0..b3
  alignas(16) int16_t odd37[8][8];   // pairs (x3, x7)
  alignas(16) int32_t rounding[8][4];
};

constexpr RowTables MakeRowTables() {
  RowTables t{};
  for (int r = 0; r < 8; ++r) {
    const int16_t* w = kRowWeights[kRowGroup[r]];
    const int16_t e04[8] = {w[4], w[4], w[4], int16_t(-w[4]), w[4], int16_t(-w[4]), w[4], w[4]};
    const int16_t e26[8] = {w[2], w[6], w[6], int16_t(-w[2]), int16_t(-w[6]), w[2], int16_t(-w[2]), int16_t(-w[6])};
    const int16_t o15[8] = {w[1], w[5], w[3], int16_t(-w[1]), w[5], w[7], w[7], w[3]};
    const int16_t o37[8] = {w[3], w[7], int16_t(-w[7]), int16_t(-w[5]), int16_t(-w[1]), w[3], int16_t(-w[5]), int16_t(-w[1])};
    for (int i = 0; i < 8; ++i) {
      t.even04[r][i] = e04[i];
      t.even26[r][i] = e26[i];
      t.odd15[r][i] = o15[i];
      t.odd37[r][i] = o37[i];
    }
    for (int i = 0; i < 4; ++i) t.rounding[r][i] = kRowRounding[r];
  }
  return t;
}
alignas(16) constexpr RowTables kRowTables = MakeRowTables();

inline __m128i RowPassSse2(__m128i row, int r) {
  const __m128i u = _mm_unpacklo_epi16(row, _mm_unpackhi_epi64(row, row));  // x0 x4 x1 x5 x2 x6 x3 x7
  const __m128i p04 = _mm_shuffle_epi32(u, 0x00);
  const __m128i p15 = _mm_shuffle_epi32(u, 0x55);
  const __m128i p26 = _mm_shuffle_epi32(u, 0xAA);
  const __m128i p37 = _mm_shuffle_epi32(u, 0xFF);
  const __m128i* t04 = reinterpret_cast<const __m128i*>(kRowTables.even04[r]);
  const __m128i* t26 = reinterpret_cast<const __m128i*>(kRowTables.even26[r]);
  const __m128i* t15 = reinterpret_cast<const __m128i*>(kRowTables.odd15[r]);
  const __m128i* t37 = reinterpret_cast<const __m128i*>(kRowTables.odd37[r]);
  const __m128i* rnd = reinterpret_cast<const __m128i*>(kRowTables.rounding[r]);
  __m128i a = _mm_add_epi32(_mm_madd_epi16(p04, *t04), _mm_madd_epi16(p26, *t26));
  a = _mm_add_epi32(a, *rnd);
  const __m128i b = _mm_add_epi32(_mm_madd_epi16(p15, *t15), _mm_madd_epi16(p37, *t37));
  const __m128i lo = _mm_srai_epi32(_mm_add_epi32(a, b), 11);
  const __m128i hi = _mm_shuffle_epi32(_mm_srai_epi32(_mm_sub_epi32(a, b), 11), 0x1B);
  return _mm_packs_epi32(lo, hi);
}

struct Rows {
  __m128i r[8];
};

// Row-pass result of an all-zero row: only the rounding term, shifted away
// except in rows 0 (32) and 1, 2 (1).
constexpr int16_t kZeroRowResult[8] = {32, 1, 1, 0, 0, 0, 0, 0};

// Row passes of the first four rows or of all eight (rows past the extent
// give the zero-row result either way); two fixed shapes branch less than a
// loop over the exact count.
inline Rows RowPasses(const int16_t* block, int rows) {
  const __m128i* in = reinterpret_cast<const __m128i*>(block);
  Rows x;
  for (int r = 0; r < 4; ++r) x.r[r] = RowPassSse2(_mm_load_si128(in + r), r);
  if (rows <= 4) {
    for (int r = 4; r < 8; ++r) x.r[r] = _mm_set1_epi16(kZeroRowResult[r]);
  } else {
    for (int r = 4; r < 8; ++r) x.r[r] = RowPassSse2(_mm_load_si128(in + r), r);
  }
  return x;
}

[[gnu::always_inline]] inline Rows ColumnPasses(const Rows& x) {
  const __m128i c1 = _mm_set1_epi16(kTan1), c2 = _mm_set1_epi16(kTan2);
  const __m128i c3 = _mm_set1_epi16(kTan3m1), c4 = _mm_set1_epi16(kCos4);
  const __m128i tp17 = _mm_adds_epi16(x.r[1], _mm_mulhi_epi16(x.r[7], c1));
  const __m128i tm17 = _mm_subs_epi16(_mm_mulhi_epi16(x.r[1], c1), x.r[7]);
  const __m128i tp35 = _mm_adds_epi16(_mm_adds_epi16(_mm_mulhi_epi16(x.r[5], c3), x.r[3]), x.r[5]);
  const __m128i tm35 = _mm_subs_epi16(_mm_adds_epi16(_mm_mulhi_epi16(x.r[3], c3), x.r[3]), x.r[5]);
  const __m128i tp26 = _mm_adds_epi16(x.r[2], _mm_mulhi_epi16(x.r[6], c2));
  const __m128i tm26 = _mm_subs_epi16(_mm_mulhi_epi16(x.r[2], c2), x.r[6]);
  const __m128i tp04 = _mm_adds_epi16(x.r[0], x.r[4]);
  const __m128i tm04 = _mm_subs_epi16(x.r[0], x.r[4]);
  const __m128i b0 = _mm_adds_epi16(tp17, tp35);
  const __m128i b3 = _mm_subs_epi16(tm17, tm35);
  const __m128i u = _mm_subs_epi16(tp17, tp35);
  const __m128i v = _mm_adds_epi16(tm17, tm35);
  const __m128i h = _mm_mulhi_epi16(_mm_adds_epi16(u, v), c4);
  const __m128i b1 = _mm_adds_epi16(h, h);
  const __m128i g = _mm_mulhi_epi16(_mm_subs_epi16(u, v), c4);
  const __m128i b2 = _mm_adds_epi16(g, g);
  const __m128i a0 = _mm_adds_epi16(tp04, tp26);
  const __m128i a3 = _mm_subs_epi16(tp04, tp26);
  const __m128i a1 = _mm_adds_epi16(tm04, tm26);
  const __m128i a2 = _mm_subs_epi16(tm04, tm26);
  Rows o;
  o.r[0] = _mm_srai_epi16(_mm_adds_epi16(a0, b0), 6);
  o.r[1] = _mm_srai_epi16(_mm_adds_epi16(a1, b1), 6);
  o.r[2] = _mm_srai_epi16(_mm_adds_epi16(a2, b2), 6);
  o.r[3] = _mm_srai_epi16(_mm_adds_epi16(a3, b3), 6);
  o.r[4] = _mm_srai_epi16(_mm_subs_epi16(a3, b3), 6);
  o.r[5] = _mm_srai_epi16(_mm_subs_epi16(a2, b2), 6);
  o.r[6] = _mm_srai_epi16(_mm_subs_epi16(a1, b1), 6);
  o.r[7] = _mm_srai_epi16(_mm_subs_epi16(a0, b0), 6);
  return o;
}

// Only coefficient 0: the row pass gives d = 8 x0 + 32 (saturated) in every
// column of row 0 and the zero-row results below, and the column pass then
// yields (d+2, d, d, d-1, d-1, d, d, d) >> 6 down each column, saturating
// (the last is d+1-1, which equals d even at the limit after the shift):
// each output row is constant.
[[gnu::always_inline]] inline Rows DcOnly(const int16_t* block) {
  const int d = std::clamp(8 * int(block[0]) + 32, -32768, 32767);
  const __m128i v =
      _mm_srai_epi16(_mm_adds_epi16(_mm_set1_epi16(int16_t(d)), _mm_setr_epi16(2, 0, 0, -1, -1, 0, 0, 0)), 6);
  const __m128i lo = _mm_unpacklo_epi16(v, v), hi = _mm_unpackhi_epi16(v, v);
  Rows o;
  o.r[0] = _mm_shuffle_epi32(lo, 0x00);
  o.r[1] = _mm_shuffle_epi32(lo, 0x55);
  o.r[2] = _mm_shuffle_epi32(lo, 0xAA);
  o.r[3] = _mm_shuffle_epi32(lo, 0xFF);
  o.r[4] = _mm_shuffle_epi32(hi, 0x00);
  o.r[5] = _mm_shuffle_epi32(hi, 0x55);
  o.r[6] = _mm_shuffle_epi32(hi, 0xAA);
  o.r[7] = _mm_shuffle_epi32(hi, 0xFF);
  return o;
}

inline Rows IdctSse2(const int16_t* block, int rows) {
  if (rows == kIdctDcOnly) return DcOnly(block);
  return ColumnPasses(RowPasses(block, rows));
}

[[gnu::always_inline]] inline void Store8(uint8_t* dst, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), v); }
[[gnu::always_inline]] inline __m128i Load8(const uint8_t* src) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src)); }


[[gnu::always_inline]] inline void PutRows(const Rows& o, uint8_t* dst, int stride) {
  for (int r = 0; r < 8; r += 2) {
    const __m128i p = _mm_packus_epi16(o.r[r], o.r[r + 1]);
    Store8(dst + r * stride, p);
    Store8(dst + (r + 1) * stride, _mm_unpackhi_epi64(p, p));
  }
}

[[gnu::always_inline]] inline void AddRows(const Rows& o, uint8_t* dst, int stride) {
  const __m128i zero = _mm_setzero_si128();
  for (int r = 0; r < 8; r += 2) {
    uint8_t* d0 = dst + r * stride;
    uint8_t* d1 = d0 + stride;
    const __m128i p0 = _mm_adds_epi16(_mm_unpacklo_epi8(Load8(d0), zero), o.r[r]);
    const __m128i p1 = _mm_adds_epi16(_mm_unpacklo_epi8(Load8(d1), zero), o.r[r + 1]);
    const __m128i p = _mm_packus_epi16(p0, p1);
    Store8(d0, p);
    Store8(d1, _mm_unpackhi_epi64(p, p));
  }
}

// ---- AVX2: the row pass two rows at a time ----
//
// Two neighbouring rows fill one 256-bit vector and their weight and
// rounding tables lie next to each other, so the 128-bit steps apply per
// lane unchanged. The rest is the SSE2 code, compiled here with the VEX
// encoding.

#define QUENDA_AVX2 __attribute__((target("avx2")))

QUENDA_AVX2 inline __m256i Load256(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }

QUENDA_AVX2 inline void RowPairAvx2(const int16_t* block, int r, Rows& x) {
  const __m256i v = Load256(block + 8 * r);
  const __m256i u = _mm256_unpacklo_epi16(v, _mm256_unpackhi_epi64(v, v));
  const __m256i a = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi32(u, 0x00), Load256(kRowTables.even04[r])),
                       _mm256_madd_epi16(_mm256_shuffle_epi32(u, 0xAA), Load256(kRowTables.even26[r]))),
      Load256(kRowTables.rounding[r]));
  const __m256i b = _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi32(u, 0x55), Load256(kRowTables.odd15[r])),
                                     _mm256_madd_epi16(_mm256_shuffle_epi32(u, 0xFF), Load256(kRowTables.odd37[r])));
  const __m256i lo = _mm256_srai_epi32(_mm256_add_epi32(a, b), 11);
  const __m256i hi = _mm256_shuffle_epi32(_mm256_srai_epi32(_mm256_sub_epi32(a, b), 11), 0x1B);
  const __m256i o = _mm256_packs_epi32(lo, hi);
  x.r[r] = _mm256_castsi256_si128(o);
  x.r[r + 1] = _mm256_extracti128_si256(o, 1);
}

QUENDA_AVX2 inline Rows IdctAvx2(const int16_t* block, int rows) {
  if (rows == kIdctDcOnly) return DcOnly(block);
  Rows x;
  RowPairAvx2(block, 0, x);
  RowPairAvx2(block, 2, x);
  if (rows <= 4) {
    for (int r = 4; r < 8; ++r) x.r[r] = _mm_set1_epi16(kZeroRowResult[r]);
  } else {
    RowPairAvx2(block, 4, x);
    RowPairAvx2(block, 6, x);
  }
  return ColumnPasses(x);
}

}  // namespace

void InverseDct8x8(int16_t* block) {
  alignas(16) int16_t mid[64];
  for (int r = 0; r < 8; ++r) RowPass(block + 8 * r, mid + 8 * r, r);
  for (int c = 0; c < 8; ++c) ColumnPass(mid, block, c);
}

void PutBlockClamp(const int16_t* block, uint8_t* dst, int stride) {
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) dst[y * stride + x] = Clamp255(block[8 * y + x]);
}

void AddResidualClamp(const int16_t* block, uint8_t* dst, int stride) {
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      uint8_t& p = dst[y * stride + x];
      p = Clamp255(Sat(p + block[8 * y + x]));
    }
}

void IdctPutReference(int16_t* block, uint8_t* dst, int stride, int /*rows*/) {
  InverseDct8x8(block);
  PutBlockClamp(block, dst, stride);
}

void IdctAddReference(int16_t* block, uint8_t* dst, int stride, int /*rows*/) {
  InverseDct8x8(block);
  AddResidualClamp(block, dst, stride);
}

void InverseDct8x8Sse2(int16_t* block, int rows) {
  const Rows o = IdctSse2(block, rows);
  for (int r = 0; r < 8; ++r) _mm_store_si128(reinterpret_cast<__m128i*>(block) + r, o.r[r]);
}

void IdctPutSse2(int16_t* block, uint8_t* dst, int stride, int rows) { PutRows(IdctSse2(block, rows), dst, stride); }

void IdctAddSse2(int16_t* block, uint8_t* dst, int stride, int rows) { AddRows(IdctSse2(block, rows), dst, stride); }

QUENDA_AVX2 void IdctPutAvx2(int16_t* block, uint8_t* dst, int stride, int rows) {
  PutRows(IdctAvx2(block, rows), dst, stride);
}

QUENDA_AVX2 void IdctAddAvx2(int16_t* block, uint8_t* dst, int stride, int rows) {
  AddRows(IdctAvx2(block, rows), dst, stride);
}

QUENDA_AVX2 void InverseDct8x8Avx2(int16_t* block, int rows) {
  const Rows o = IdctAvx2(block, rows);
  for (int r = 0; r < 8; ++r) _mm_store_si128(reinterpret_cast<__m128i*>(block) + r, o.r[r]);
}

}  // namespace quenda
