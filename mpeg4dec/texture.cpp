#include "texture.h"

#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "dsp.h"
#include "idct.h"
#include "vlc_tables.h"

namespace quenda {
namespace {

// Largest level per (last, run) and largest run per (last, level) that a
// coefficient table holds.
struct EscapeLimits {
  int8_t levelMax[2][64];
  int8_t runMax[2][64];
};

template <size_t N>
constexpr EscapeLimits MakeEscapeLimits(const RawCode (&codes)[N]) {
  EscapeLimits l{};
  for (const RawCode& c : codes) {
    if (c.a < 0) continue;
    if (c.c > l.levelMax[c.a][c.b]) l.levelMax[c.a][c.b] = c.c;
    if (c.b > l.runMax[c.a][c.c]) l.runMax[c.a][c.c] = c.b;
  }
  return l;
}
constexpr EscapeLimits kIntraLimits = MakeEscapeLimits(kTcoefIntraCodes);
constexpr EscapeLimits kInterLimits = MakeEscapeLimits(kTcoefInterCodes);

int LimitLookup(const int8_t (&t)[2][64], int last, int i) {
  return (last == 0 || last == 1) && i >= 0 && i < 64 ? t[last][i] : 0;
}

// One coefficient code. Intra and inter differ only in tables and limits.
inline Coefficient DecodeCoefficient(BitReader& r, const TcoefTable& table, const EscapeLimits& limits) {
  Coefficient out;
  VlcEntry e = LookupTcoef(table, ShowBits(r, 12));
  if (e.length == 0) return out;
  if (e.a >= 0) [[likely]] {
    // Code and sign bit in one step.
    const int sign = int(r.cache >> (63 - e.length)) & 1;
    SkipBits(r, e.length + 1);
    out.last = e.a;
    out.run = e.b;
    out.level = sign ? -e.c : e.c;
    return out;
  }
  SkipBits(r, 7);
  const uint32_t mode = ShowBits(r, 2);
  if (mode == 3) {
    SkipBits(r, 2);
    out.last = int(GetBits(r, 1));
    out.run = int(GetBits(r, 6));
    ReadMarkerBit(r);
    const int v = int(GetBits(r, 12));
    out.level = v >= 2048 ? v - 4096 : v;
    ReadMarkerBit(r);
    return out;
  }
  SkipBits(r, mode == 2 ? 2 : 1);
  e = LookupTcoef(table, ShowBits(r, 12));
  if (e.length == 0 || e.a < 0) return out;  // a nested escape is treated as an error
  SkipBits(r, e.length);
  out.last = e.a;
  out.run = e.b;
  out.level = e.c;
  if (mode == 2) out.run += limits.runMax[e.a][e.c] + 1;
  else out.level += limits.levelMax[e.a][e.b];
  if (GetBit(r)) out.level = -out.level;
  return out;
}

struct CoefficientTables {
  const FastTcoef* first;   // kFastTcoefBits peek
  const FastTcoef* second;  // codes beginning 0000
  const EscapeLimits* limits;
};
constexpr CoefficientTables kIntraTables{kTcoefIntraFast.data(), kTcoefIntraLong.data(), &kIntraLimits};
constexpr CoefficientTables kInterTables{kTcoefInterFast.data(), kTcoefInterLong.data(), &kInterLimits};

// The code at the reader with its sign, from either level; length 0 is the
// escape (last kFastTcoefEscape) or no code at all.
inline FastTcoef LookupCoefficient(const BitReader& r, const CoefficientTables& t) {
  FastTcoef f = t.first[ShowBits(r, kFastTcoefBits)];
  if (f.length == 0 && f.last != kFastTcoefEscape) f = t.second[ShowBits(r, kLongTcoefBits) & 511];
  return f;
}

// An escape and what follows it. The cache holds at least 33 bits after any
// read, enough for the 23 bits of mode 3 in one step.
[[gnu::always_inline]] inline Coefficient DecodeEscape(BitReader& r, const CoefficientTables& t) {
  Coefficient out;
  SkipBits(r, 7);
  const uint32_t mode = ShowBits(r, 2);
  if (mode == 3) {  // 11, last, run (6), marker, level (12), marker
    const uint32_t v = ShowBits(r, 23);
    SkipBits(r, 23);
    out.last = int(v >> 20) & 1;
    out.run = int(v >> 14) & 63;
    const int level = int(v >> 1) & 0xFFF;
    out.level = level >= 2048 ? level - 4096 : level;
    return out;
  }
  SkipBits(r, mode == 2 ? 2 : 1);
  const FastTcoef f = LookupCoefficient(r, t);
  if (f.length == 0) return out;  // a nested escape is treated as an error
  SkipBits(r, f.length);
  out.last = f.last;
  out.run = f.run;
  out.level = f.level;
  if (mode == 2) {
    out.run += t.limits->runMax[f.last][std::abs(out.level)] + 1;
  } else {
    const int offset = t.limits->levelMax[f.last][f.run];
    out.level += out.level < 0 ? -offset : offset;
  }
  return out;
}

// Escapes, about one code in thirty, are decoded in line: a call would
// push the reader out of registers.
[[gnu::always_inline]] inline Coefficient Escape(BitReader& r, const CoefficientTables& t) { return DecodeEscape(r, t); }

// Transform extent of a block whose coefficients lie at scan positions
// below `end`: kIdctDcOnly when that is position 0 alone, else one more than
// the lowest row reached.
using ScanRows = std::array<int8_t, 65>;
constexpr ScanRows MakeScanRows(const uint8_t (&scan)[64]) {
  ScanRows rows{};
  int deepest = 0;
  for (int end = 2; end <= 64; ++end) {
    deepest = std::max(deepest, scan[end - 1] >> 3);
    rows[size_t(end)] = int8_t(deepest + 1);
  }
  rows[1] = int8_t(kIdctDcOnly);
  rows[0] = int8_t(kIdctDcOnly);
  return rows;
}
constexpr ScanRows kZigzagRows = MakeScanRows(kScanZigzag);
constexpr ScanRows kHorizontalRows = MakeScanRows(kScanAlternateHorizontal);
constexpr ScanRows kVerticalRows = MakeScanRows(kScanAlternateVertical);
static_assert(kZigzagRows[2] == 1 && kZigzagRows[3] == 2 && kZigzagRows[64] == 8);
inline int ExtentOf(const ScanRows& rows, int end) { return rows[size_t(std::min(end, 64))]; }

inline int16_t Wrap16(int v) { return int16_t(uint16_t(unsigned(v))); }

// Intra AC dequantisation of coefficients 1..63 (DC kept).
void DequantiseIntra(int16_t* c, int qp) {
  const int16_t dc = c[0];
  const int qpOdd = (qp & 1) ? qp : qp - 1;
  const __m128i mul = _mm_set1_epi16(Wrap16(2 * qp));
  const __m128i add = _mm_set1_epi16(Wrap16(qpOdd));
  const __m128i zero = _mm_setzero_si128();
  __m128i* p = reinterpret_cast<__m128i*>(c);
  for (int i = 0; i < 8; ++i) {
    const __m128i l = _mm_load_si128(p + i);
    const __m128i pos = _mm_cmpgt_epi16(l, zero), neg = _mm_cmpgt_epi16(zero, l);
    __m128i v = _mm_mullo_epi16(l, mul);
    v = _mm_sub_epi16(_mm_add_epi16(v, _mm_and_si128(pos, add)), _mm_and_si128(neg, add));
    _mm_store_si128(p + i, v);
  }
  c[0] = dc;
}

// Eight stores written out: as a loop the compiler turns them into a
// string store, which costs more to start than the stores themselves.
inline void ClearBlock(int16_t* c) {
  __m128i* p = reinterpret_cast<__m128i*>(c);
  const __m128i zero = _mm_setzero_si128();
  _mm_store_si128(p + 0, zero);
  _mm_store_si128(p + 1, zero);
  _mm_store_si128(p + 2, zero);
  _mm_store_si128(p + 3, zero);
  _mm_store_si128(p + 4, zero);
  _mm_store_si128(p + 5, zero);
  _mm_store_si128(p + 6, zero);
  _mm_store_si128(p + 7, zero);
}

struct IntraNeighbours {
  int16_t* dc;        // this block's DC entry
  int16_t* dcLeft;
  int16_t* dcAboveLeft;
  int16_t* dcAbove;
  AcLine* row;        // this block's stored first row / column
  AcLine* col;
  const AcLine* rowAbove;
  const AcLine* colLeft;
  int qpAbove;        // quantisers of the blocks the AC lines come from
  int qpLeft;
};

IntraNeighbours Neighbours(DecoderState& s, int block) {
  SideInfo& si = s.side;
  IntraNeighbours n;
  const int mbX = s.mbX, mbY = s.mbY;
  const int qpAboveMb = mbY > 0 ? si.qp[mbY - 1][mbX] : s.qp;
  const int qpLeftMb = mbX > 0 ? si.qp[mbY][mbX - 1] : s.qp;
  if (block < 4) {
    const int by = 2 * mbY + (block >> 1) + 1, bx = 2 * mbX + (block & 1) + 1;
    n.dc = &si.lumaDc[by][bx];
    n.dcLeft = &si.lumaDc[by][bx - 1];
    n.dcAboveLeft = &si.lumaDc[by - 1][bx - 1];
    n.dcAbove = &si.lumaDc[by - 1][bx];
    n.row = &si.lumaAcRow[by][bx];
    n.col = &si.lumaAcCol[by][bx];
    n.rowAbove = &si.lumaAcRow[by - 1][bx];
    n.colLeft = &si.lumaAcCol[by][bx - 1];
    n.qpAbove = block >= 2 ? s.qp : qpAboveMb;
    n.qpLeft = (block & 1) ? s.qp : qpLeftMb;
  } else {
    const int c = block - 4, y = mbY + 1, x = mbX + 1;
    n.dc = &si.chromaDc[c][y][x];
    n.dcLeft = &si.chromaDc[c][y][x - 1];
    n.dcAboveLeft = &si.chromaDc[c][y - 1][x - 1];
    n.dcAbove = &si.chromaDc[c][y - 1][x];
    n.row = &si.chromaAcRow[c][y][x];
    n.col = &si.chromaAcCol[c][y][x];
    n.rowAbove = &si.chromaAcRow[c][y - 1][x];
    n.colLeft = &si.chromaAcCol[c][y][x - 1];
    n.qpAbove = qpAboveMb;
    n.qpLeft = qpLeftMb;
  }
  return n;
}

// Reconstructs the DC from its differential; sets the prediction direction.
void PredictDc(DecoderState& s, const IntraNeighbours& n, int16_t* c, int scaler) {
  const int fa = *n.dcLeft, fb = *n.dcAboveLeft, fc = *n.dcAbove;
  int f;
  if (std::abs(fa - fb) < std::abs(fb - fc)) {
    f = fc;
    s.predictionDirection = 1;
  } else {
    f = fa;
    s.predictionDirection = 0;
  }
  const int half = scaler >> 1;
  const int pred = f > 0 ? (f + half) / scaler : (f - half) / scaler;
  const int16_t dc = Wrap16(Wrap16(c[0] + pred) * scaler);
  c[0] = dc;
  *n.dc = dc;
}

void PredictAc(DecoderState& s, const IntraNeighbours& n, int16_t* c) {
  if (s.mb.acPred) {
    const bool fromAbove = s.predictionDirection == 1;
    const AcLine& line = fromAbove ? *n.rowAbove : *n.colLeft;
    const int qpA = fromAbove ? n.qpAbove : n.qpLeft;
    const int step = fromAbove ? 1 : 8;
    if (qpA == s.qp || s.qp <= 0) {
      for (int i = 0; i < 7; ++i) c[step * (i + 1)] = Wrap16(c[step * (i + 1)] + line.v[i]);
    } else {
      for (int i = 0; i < 7; ++i)
        if (line.v[i]) c[step * (i + 1)] = Wrap16(c[step * (i + 1)] + RescaleAc(line.v[i], qpA, s.qp));
    }
  }
  for (int i = 0; i < 7; ++i) {
    n.row->v[i] = c[i + 1];
    n.col->v[i] = c[8 * (i + 1)];
  }
}

uint8_t* BlockDestination(DecoderState& s, int block, int& stride) {
  if (block < 4) {
    stride = s.lumaStride;
    return s.cur.y + (16 * s.mbY + 8 * (block >> 1)) * stride + 16 * s.mbX + 8 * (block & 1);
  }
  stride = s.chromaStride;
  uint8_t* plane = block == 4 ? s.cur.u : s.cur.v;
  return plane + 8 * s.mbY * stride + 8 * s.mbX;
}

void ResetDcAc(SideInfo& si, int by, int bx, bool row, bool col) {
  si.lumaDc[by][bx] = 1024;
  if (row) si.lumaAcRow[by][bx] = AcLine{};
  if (col) si.lumaAcCol[by][bx] = AcLine{};
}

void ResetChroma(SideInfo& si, int y, int x, bool row, bool col) {
  for (int c = 0; c < 2; ++c) {
    si.chromaDc[c][y][x] = 1024;
    if (row) si.chromaAcRow[c][y][x] = AcLine{};
    if (col) si.chromaAcCol[c][y][x] = AcLine{};
  }
}

bool IsIntraMode(int mode) { return mode == 3 || mode == 4; }

}  // namespace

int ComputeDcScaler(int qp, bool luma) {
  if (qp >= 1 && qp <= 4) return 8;
  if (luma) {
    if (qp >= 5 && qp <= 8) return 2 * qp;
    if (qp >= 9 && qp <= 24) return qp + 8;
    return 2 * qp - 16;
  }
  if (qp >= 5 && qp <= 24) return (qp + 13) / 2;
  return qp - 6;
}

int DecodeDcSizeLuma(BitReader& r) {
  const VlcEntry e = LookupDcSizeLuma(ShowBits(r, 11));
  if (e.length == 0) return 0;
  SkipBits(r, e.length);
  return e.a;
}

int DecodeDcSizeChroma(BitReader& r) {
  const VlcEntry e = LookupDcSizeChroma(ShowBits(r, 12));
  if (e.length == 0) {  // twelve zeros
    SkipBits(r, 2);
    return 3;
  }
  SkipBits(r, e.length);
  return e.a;
}

int DecodeDcDifferential(BitReader& r, int size) {
  if (size == 0) return 0;
  const int v = int(GetBits(r, size));
  const int diff = (v >> (size - 1)) ? v : v - ((1 << size) - 1);
  if (size > 8) ReadMarkerBit(r);
  return diff;
}

Coefficient DecodeIntraCoefficient(BitReader& r) { return DecodeCoefficient(r, kTcoefIntraTable, kIntraLimits); }
Coefficient DecodeInterCoefficient(BitReader& r) { return DecodeCoefficient(r, kTcoefInterTable, kInterLimits); }

int IntraLevelMax(int last, int run) { return LimitLookup(kIntraLimits.levelMax, last, run); }
int InterLevelMax(int last, int run) { return LimitLookup(kInterLimits.levelMax, last, run); }
int IntraRunMax(int last, int level) { return LimitLookup(kIntraLimits.runMax, last, level); }
int InterRunMax(int last, int level) { return LimitLookup(kInterLimits.runMax, last, level); }

int16_t DequantiseInter(int level, int qp) {
  const int qpOdd = (qp & 1) ? qp : qp - 1;
  return Wrap16(level > 0 ? 2 * qp * level + qpOdd : 2 * qp * level - qpOdd);
}

int RescaleAc(int value, int neighbourQp, int qp) {
  const int v = value * neighbourQp;
  const int half = qp >> 1;
  return v > 0 ? (v + half) / qp : (v - half) / qp;
}

void ResetPredictionForMacroblock(DecoderState& s) {
  SideInfo& si = s.side;
  const int y = s.mbY + 1, x = s.mbX + 1;   // macroblock store position
  const int by = 2 * s.mbY + 1, bx = 2 * s.mbX + 1;  // luma block store position of block 0
  if (!IsIntraMode(si.mode[y][x - 1])) {
    ResetDcAc(si, by, bx - 1, false, true);
    ResetDcAc(si, by + 1, bx - 1, false, true);
    ResetChroma(si, y, x - 1, false, true);
  }
  if (!IsIntraMode(si.mode[y - 1][x])) {
    ResetDcAc(si, by - 1, bx, true, false);
    ResetDcAc(si, by - 1, bx + 1, true, false);
    ResetChroma(si, y - 1, x, true, false);
  }
  if (!IsIntraMode(si.mode[y - 1][x - 1])) {
    si.lumaDc[by - 1][bx - 1] = 1024;
    si.chromaDc[0][y - 1][x - 1] = 1024;
    si.chromaDc[1][y - 1][x - 1] = 1024;
  }
}

void DecodeIntraBlock(DecoderState& s, int block, bool coded) {
  int16_t* c = s.coeffs[block];
  ClearBlock(c);
  const bool luma = block < 4;
  const int scaler = ComputeDcScaler(s.qp, luma);
  BitReader r = s.reader;
  const int size = luma ? DecodeDcSizeLuma(r) : DecodeDcSizeChroma(r);
  c[0] = Wrap16(DecodeDcDifferential(r, size));

  const IntraNeighbours n = Neighbours(s, block);
  PredictDc(s, n, c, scaler);

  int rows = kIdctDcOnly;
  if (coded) {
    const bool horizontal = s.mb.acPred && s.predictionDirection == 1;
    const bool vertical = s.mb.acPred && s.predictionDirection != 1;
    const uint8_t* scan = horizontal ? kScanAlternateHorizontal : vertical ? kScanAlternateVertical : kScanZigzag;
    const int end = DecodeIntraCoefficients(r, c, scan);
    rows = ExtentOf(horizontal ? kHorizontalRows : vertical ? kVerticalRows : kZigzagRows, end);
  }
  s.reader = r;
  // AC prediction adds to the first row (from above) or the first column.
  if (s.mb.acPred) rows = s.predictionDirection == 1 ? std::max(rows, 1) : 8;
  s.coeffRows[block] = rows;
  PredictAc(s, n, c);
  DequantiseIntra(c, s.qp);
}

bool DecodeInterBlock(DecoderState& s, int block, bool coded) {
  if (!coded) return false;
  int16_t* c = s.coeffs[block];
  ClearBlock(c);
  s.coeffRows[block] = ExtentOf(kZigzagRows, DecodeInterCoefficients(s.reader, c, s.qp));
  return true;
}

namespace {

// After a loop that refills on its own cadence: the state code-by-code
// reading would have left. That reading refills only after it consumed
// something, so a block that ends on an undecodable first code leaves the
// reader exactly as it came.
inline uint32_t ReadPosition(const BitReader& r) { return 8 * r.fetched - uint32_t(r.bits); }
inline void FinishReading(BitReader& r, uint32_t start) {
  if (ReadPosition(r) != start) TopUp(r);
}

// One intra coefficient code, as InterCoefficient below.
inline bool IntraCoefficient(BitReader& r, int16_t* c, int& pos, const uint8_t* scan) {
  FastTcoef f = kTcoefIntraFast[ShowBits(r, kFastTcoefBits)];
  if (f.length == 0) [[unlikely]] {
    if (f.last == kFastTcoefEscape) {
      const Coefficient k = Escape(r, kIntraTables);
      if (k.last < 0) return false;
      pos += k.run;
      if (pos > 63) return false;  // a run past the block's end is a stream error
      c[scan[pos]] = Wrap16(k.level);
      ++pos;
      return !k.last;
    }
    f = kTcoefIntraLong[ShowBits(r, kLongTcoefBits) & 511];
    if (f.length == 0) return false;
  }
  DropBits(r, f.length);
  pos += f.run;
  if (pos > 63) return false;
  c[scan[pos]] = f.level;
  ++pos;
  return !f.last;
}

}  // namespace

int DecodeIntraCoefficients(BitReader& reader, int16_t* c, const uint8_t* scan) {
  BitReader r = reader;  // a local copy stays in registers
  const uint32_t start = ReadPosition(r);
  int pos = 1;
  for (;;) {  // two codes per refill, as for inter blocks
    if (!IntraCoefficient(r, c, pos, scan)) break;
    if (!IntraCoefficient(r, c, pos, scan)) break;
    TopUp(r);
  }
  FinishReading(r, start);
  reader = r;
  return pos;
}

namespace {

// One inter coefficient code; false when the block ends. Reads up to 13 bits
// from the cache without refilling (escapes refill themselves).
inline bool InterCoefficient(BitReader& r, int16_t* c, int& pos, int qp, int mul, int qpOdd) {
  FastTcoef f = kTcoefInterFast[ShowBits(r, kFastTcoefBits)];
  if (f.length == 0) [[unlikely]] {
    if (f.last == kFastTcoefEscape) {
      const Coefficient k = Escape(r, kInterTables);
      if (k.last < 0) return false;
      pos += k.run;
      if (pos > 63) return false;
      c[kScanZigzag[pos]] = DequantiseInter(k.level, qp);
      ++pos;
      return !k.last;
    }
    f = kTcoefInterLong[ShowBits(r, kLongTcoefBits) & 511];
    if (f.length == 0) return false;
  }
  DropBits(r, f.length);
  pos += f.run;
  if (pos > 63) return false;
  // Levels here are never 0: add QP' with the level's sign.
  const int level = f.level, sign = level >> 31;
  c[kScanZigzag[pos]] = Wrap16(mul * level + ((qpOdd ^ sign) - sign));
  ++pos;
  return !f.last;
}

}  // namespace

int DecodeInterCoefficients(BitReader& reader, int16_t* c, int qp) {
  BitReader r = reader;  // a local copy stays in registers
  const uint32_t start = ReadPosition(r);
  const int mul = 2 * qp, qpOdd = (qp & 1) ? qp : qp - 1;
  int pos = 0;
  // The cache holds at least 33 bits after a refill: two codes of up to 13
  // bits each, then one refill, which keeps the refill off the branch
  // predictor.
  for (;;) {
    if (!InterCoefficient(r, c, pos, qp, mul, qpOdd)) break;
    if (!InterCoefficient(r, c, pos, qp, mul, qpOdd)) break;
    TopUp(r);
  }
  FinishReading(r, start);
  reader = r;
  return pos;
}

int DecodeIntraCoefficientsPlain(BitReader& r, int16_t* c, const uint8_t* scan) {
  int pos = 1;
  for (;;) {
    const Coefficient k = DecodeIntraCoefficient(r);
    if (k.last < 0) break;
    pos += k.run;
    if (pos > 63) break;
    c[scan[pos]] = Wrap16(k.level);
    ++pos;
    if (k.last) break;
  }
  return pos;
}

int DecodeInterCoefficientsPlain(BitReader& r, int16_t* c, int qp) {
  int pos = 0;
  for (;;) {
    const Coefficient k = DecodeInterCoefficient(r);
    if (k.last < 0) break;
    pos += k.run;
    if (pos > 63) break;
    c[kScanZigzag[pos]] = DequantiseInter(k.level, qp);
    ++pos;
    if (k.last) break;
  }
  return pos;
}

void PutIntraBlock(DecoderState& s, int block) {
  int stride;
  uint8_t* dst = BlockDestination(s, block, stride);
  g_dsp.idctPut(s.coeffs[block], dst, stride, s.coeffRows[block]);
}

void AddInterBlock(DecoderState& s, int block) {
  int stride;
  uint8_t* dst = BlockDestination(s, block, stride);
  g_dsp.idctAdd(s.coeffs[block], dst, stride, s.coeffRows[block]);
}

}  // namespace quenda
