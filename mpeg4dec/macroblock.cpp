#include "macroblock.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

#include "mc.h"
#include "texture.h"
#include "vlc_tables.h"

namespace quenda {
namespace {

constexpr int kDquant[4] = {-1, -2, 1, 2};

int Median(int a, int b, int c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

void SetMacroblockVectors(SideInfo& si, int row, int col, int x, int y) {
  for (int b = 0; b < 4; ++b) {
    si.mvx[b][row][col] = x;
    si.mvy[b][row][col] = y;
  }
}

void DecodeIntraMacroblock(DecoderState& s) {
  if (s.vop.parsingType == 1) ResetPredictionForMacroblock(s);
  for (int b = 0; b < 6; ++b) {
    DecodeIntraBlock(s, b, (s.mb.cbp >> (5 - b)) & 1);
    PutIntraBlock(s, b);
  }
}

void DecodeInterMacroblock(DecoderState& s) {
  MotionCompensateMacroblock(s, s.mbX, s.mbY, s.mb.mbType);
  // Coded blocks only, in block order (highest cbp bit first); a block
  // without coefficients adds a zero residual.
  for (unsigned coded = unsigned(s.mb.cbp) & 63; coded;) {
    const int bit = 31 - std::countl_zero(coded);
    coded &= ~(1u << bit);
    DecodeInterBlock(s, 5 - bit, true);
    AddInterBlock(s, 5 - bit);
  }
}

void Advance(DecoderState& s) {
  if (s.mbX < s.mbPerRow - 1) {
    ++s.mbX;
  } else {
    s.mbX = 0;
    ++s.mbY;
  }
}

}  // namespace

int DecodeMcbpc(BitReader& r, int parsingType) {
  const uint32_t c = ShowBits(r, 9);
  const VlcEntry e = parsingType == 0 ? kMcbpcIntraTable[c] : kMcbpcInterTable[c];
  if (e.length == 0) return -1;
  SkipBits(r, e.length);
  if (e.a < 0) return kMcbpcStuffing;
  return e.b << 4 | e.a;
}

int DecodeCbpy(BitReader& r) {
  const VlcEntry e = kCbpyTable[ShowBits(r, 6)];
  if (e.length == 0) return -1;
  SkipBits(r, e.length);
  return e.a;
}

int DecodeMotionCodePlain(BitReader& r) {
  if (GetBit(r)) return 0;
  // The leading 0 is part of the code as listed: look at it again.
  const uint32_t c = ShowBits(r, 11);
  const VlcEntry e = LookupMvd(c);  // c < 2048: the first bit is the 0 just read
  if (e.length == 0) return 0;     // eleven zeros after the first: no code
  SkipBits(r, e.length - 1);
  const int magnitude = e.a;
  return GetBit(r) ? -magnitude : magnitude;
}

int DecodeMotionCode(BitReader& r) {
  const FastMvd f = kFastMvdTable[ShowBits(r, kFastMvdBits)];
  if (f.length) [[likely]] {
    SkipBits(r, f.length);
    return f.value;
  }
  return DecodeMotionCodePlain(r);
}

namespace {

struct Vector {
  int x, y;
};

// Median prediction of both components of luma block 0..3's vector.
Vector PredictVector(const DecoderState& s, int block) {
  const SideInfo& si = s.side;
  const int row = s.mbY + 1, col = s.mbX + 1;
  // Candidates as (block, row, column) in the vector store.
  static constexpr int kCandidates[4][3][3] = {
      {{1, 0, -1}, {2, -1, 0}, {2, -1, 1}},
      {{0, 0, 0}, {3, -1, 0}, {2, -1, 1}},
      {{3, 0, -1}, {0, 0, 0}, {1, 0, 0}},
      {{2, 0, 0}, {0, 0, 0}, {1, 0, 0}},
  };
  int x[3], y[3];
  for (int i = 0; i < 3; ++i) {
    const int* c = kCandidates[block][i];
    x[i] = si.mvx[c[0]][row + c[1]][col + c[2]];
    y[i] = si.mvy[c[0]][row + c[1]][col + c[2]];
  }
  if (s.mbY == 0 && block < 2) {
    if (block == 0 && s.mbX == 0) return {0, 0};
    return {x[0], y[0]};
  }
  return {Median(x[0], x[1], x[2]), Median(y[0], y[1], y[2])};
}

}  // namespace

int PredictMotionVector(const DecoderState& s, int block, int component) {
  const Vector v = PredictVector(s, block);
  return component == 0 ? v.x : v.y;
}

void DecodeMotionVector(DecoderState& s, int block) {
  BitReader& r = s.reader;
  const int fcode = s.vop.fcode;
  const int f = 1 << (fcode - 1);
  int diff[2];
  for (int& d : diff) {
    const int code = DecodeMotionCode(r);
    if (f > 1 && code != 0) {
      const int residual = int(GetBits(r, fcode - 1));
      const int m = (std::abs(code) - 1) * f + residual + 1;
      d = code < 0 ? -m : m;
    } else {
      d = code;
    }
  }
  const Vector p = PredictVector(s, block < 0 ? 0 : block);
  const int pred[2] = {p.x, p.y};
  int v[2];
  for (int comp = 0; comp < 2; ++comp) {
    int x = pred[comp] + diff[comp];
    if (x < -32 * f) x += 64 * f;
    if (x > 32 * f - 1) x -= 64 * f;
    v[comp] = x;
  }
  SideInfo& si = s.side;
  const int row = s.mbY + 1, col = s.mbX + 1;
  if (block < 0) {
    SetMacroblockVectors(si, row, col, v[0], v[1]);
  } else {
    si.mvx[block][row][col] = v[0];
    si.mvy[block][row][col] = v[1];
  }
}

void DecodeMacroblock(DecoderState& s) {
  BitReader& r = s.reader;
  SideInfo& si = s.side;
  MacroblockInfo& mb = s.mb;
  const int row = s.mbY + 1, col = s.mbX + 1;
  const bool predicted = s.vop.parsingType != 0;
  int mcbpc;
  for (;;) {
    mb.notCoded = predicted ? int(GetBit(r)) : 0;
    if (mb.notCoded) {
      SetMacroblockVectors(si, row, col, 0, 0);
      si.mode[row][col] = -1;
      CopyNotCodedMacroblock(s, s.mbX, s.mbY);
      si.qp[s.mbY][s.mbX] = s.qp;
      Advance(s);
      return;
    }
    mcbpc = DecodeMcbpc(r, s.vop.parsingType);
    if (mcbpc != kMcbpcStuffing) break;
    // Past the bound only 1 bits follow, so stuffing cannot repeat forever.
  }
  if (mcbpc < 0) {
    mb.mbType = 7;
    si.mode[row][col] = 7;
    return;  // the position does not advance
  }
  mb.mbType = mcbpc & 15;
  mb.cbpc = mcbpc >> 4;
  si.mode[row][col] = mb.mbType;
  const bool intra = mb.mbType >= 3;
  mb.acPred = intra ? int(GetBit(r)) : 0;
  const int cbpy = DecodeCbpy(r);
  mb.cbpy = intra ? cbpy : 15 - cbpy;
  mb.cbp = (mb.cbpc | mb.cbpy << 2) & 63;
  if (mb.mbType == 1 || mb.mbType == 4) s.qp = std::clamp(s.qp + kDquant[GetBits(r, 2)], 1, 31);

  if (mb.mbType <= 1) {
    DecodeMotionVector(s, -1);
  } else if (mb.mbType == 2) {
    for (int b = 0; b < 4; ++b) DecodeMotionVector(s, b);
  } else if (s.vop.parsingType == 1) {
    SetMacroblockVectors(si, row, col, 0, 0);
  }

  if (intra) DecodeIntraMacroblock(s);
  else DecodeInterMacroblock(s);
  MacroblockWritten(s, s.mbX, s.mbY);
  si.qp[s.mbY][s.mbX] = s.qp;
  Advance(s);
}

void DecodeVopMacroblocks(DecoderState& s) {
  s.mbX = 0;
  s.mbY = 0;
  BeginStoreTracking(s);
  for (int step = 0; step < s.mbCount; ++step) DecodeMacroblock(s);
  ExtendPictureBorders(s);
}

}  // namespace quenda
