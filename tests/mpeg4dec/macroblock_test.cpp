// Macroblock layer: MCBPC/CBPY codes, motion vectors and their prediction,
// DQUANT, not-coded and stuffed macroblocks.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "macroblock.h"
#include "mc.h"
#include "stage_fixture.h"

using namespace quenda;
using quenda_test::BitWriter;
using quenda_test::FindCode;
using quenda_test::StageTest;

namespace {

TEST_F(StageTest, McbpcCodesStuffingAndGaps) {
  BitWriter w;
  w.Code("1").Code("000000001").Code("000011");
  Feed(w);
  EXPECT_EQ(DecodeMcbpc(s.reader, 0), 0 << 4 | 3);
  EXPECT_EQ(DecodeMcbpc(s.reader, 0), kMcbpcStuffing);
  EXPECT_EQ(DecodeMcbpc(s.reader, 0), 3 << 4 | 4);

  BitWriter gap;
  gap.Code("000000011");  // 9-bit value 3: no code in I pictures, one in P pictures
  Feed(gap);
  EXPECT_EQ(DecodeMcbpc(s.reader, 0), -1);
  EXPECT_EQ(BitPosition(), 0u);
  EXPECT_EQ(DecodeMcbpc(s.reader, 1), 2 << 4 | 4);

  BitWriter zero;
  zero.Code("000000000");
  Feed(zero);
  EXPECT_EQ(DecodeMcbpc(s.reader, 1), -1);
  EXPECT_EQ(DecodeCbpy(s.reader), -1);
  EXPECT_EQ(BitPosition(), 0u);
}

struct VectorTest : StageTest {
  int X(int block) const { return s.side.mvx[block][s.mbY + 1][s.mbX + 1]; }
  int Y(int block) const { return s.side.mvy[block][s.mbY + 1][s.mbX + 1]; }
  static void PutMotionCode(BitWriter& w, int code) {
    w.Raw(FindCode(kMvdCodes, code < 0 ? -code : code));
    if (code) w.PutBit(code < 0);
  }
};

// Every motion code, both signs, and garbage (eleven zeros), through the
// table and through the plain reader: same values, same reader state.
TEST_F(VectorTest, MotionCodeTableMatchesPlainReading) {
  std::mt19937 rng(12);
  for (int trial = 0; trial < 2000; ++trial) {
    BitWriter w;
    for (int n = 0; n < 16; ++n) {
      if (rng() % 10 == 0) w.Put(0, 11 + int(rng() % 3));
      else PutMotionCode(w, int(rng() % 65) - 32);
    }
    Feed(w);
    BitReader a = s.reader, b = s.reader;
    for (int n = 0; n < 16; ++n) {
      ASSERT_EQ(DecodeMotionCode(a), DecodeMotionCodePlain(b)) << trial << " code " << n;
      ASSERT_TRUE(a.cache == b.cache && a.bits == b.bits && a.ptr == b.ptr && a.fetched == b.fetched) << trial;
    }
  }
}

TEST_F(VectorTest, DifferencesResidualsAndWrap) {
  s.vop.fcode = 1;
  s.mbX = 0;
  s.mbY = 0;
  BitWriter w;
  PutMotionCode(w, 1);
  PutMotionCode(w, -1);
  Feed(w);
  DecodeMotionVector(s, -1);
  for (int b = 0; b < 4; ++b) {
    EXPECT_EQ(X(b), 1);
    EXPECT_EQ(Y(b), -1);
  }

  // Prediction 31 from the left plus 2 wraps to -31.
  s.mbX = 1;
  s.side.mvx[1][1][1] = 31;
  s.side.mvy[1][1][1] = 0;
  BitWriter wrap;
  PutMotionCode(wrap, 2);
  PutMotionCode(wrap, 0);
  Feed(wrap);
  DecodeMotionVector(s, -1);
  EXPECT_EQ(X(0), -31);
  EXPECT_EQ(Y(0), 0);

  // fcode 2: motion_code -3 with residual 1 is -6.
  s.vop.fcode = 2;
  s.mbX = 0;
  BitWriter res;
  PutMotionCode(res, -3);
  res.PutBit(1);
  PutMotionCode(res, 0);
  Feed(res);
  DecodeMotionVector(s, -1);
  EXPECT_EQ(X(0), -6);
  EXPECT_EQ(BitPosition(), res.BitCount());
}

TEST_F(VectorTest, PredictionCandidates) {
  auto& mvx = s.side.mvx;
  // First row, four vectors: block 1 takes block 0 of its own macroblock.
  s.mbX = 3;
  s.mbY = 0;
  mvx[0][1][4] = 7;
  mvx[1][1][3] = 5;   // left macroblock, block 1
  mvx[1][1][4] = 9;
  EXPECT_EQ(PredictMotionVector(s, 0, 0), 5);
  EXPECT_EQ(PredictMotionVector(s, 1, 0), 7);
  mvx[3][1][3] = 1;   // left, block 3
  EXPECT_EQ(PredictMotionVector(s, 2, 0), 7);  // median(1, 7, 9)
  s.mbX = 0;
  EXPECT_EQ(PredictMotionVector(s, 0, 0), 0);  // first macroblock of the picture

  // Last column: the above-right candidate is the zero border.
  s.mbX = 19;
  s.mbY = 1;
  mvx[1][2][19] = 4;   // left, block 1
  mvx[2][1][20] = 6;   // above, block 2
  EXPECT_EQ(PredictMotionVector(s, 0, 0), 4);  // median(4, 6, 0)
}

// One intra macroblock with nothing coded: DC size 0 in all six blocks.
void PutEmptyIntraBlocks(BitWriter& w) {
  for (int b = 0; b < 4; ++b) w.Code("011");
  w.Code("11").Code("11");
}

TEST_F(StageTest, DquantClampsTheQuantiser) {
  s.vop.parsingType = 0;
  for (auto [start, bits, expect] : {std::tuple{2, 1u, 1}, {30, 3u, 31}, {10, 2u, 11}}) {
    s.qp = start;
    s.mbX = s.mbY = 0;
    BitWriter w;
    w.Code("0001").PutBit(0).Code("0011").Put(bits, 2);  // intra+dquant, cbpc 0, no AC prediction, cbpy 0
    PutEmptyIntraBlocks(w);
    Feed(w);
    DecodeMacroblock(s);
    EXPECT_EQ(s.qp, expect);
    EXPECT_EQ(s.side.qp[0][0], expect);
    EXPECT_EQ(BitPosition(), w.BitCount());
    EXPECT_EQ(s.mbX, 1);
  }
}

TEST_F(StageTest, UndecodableMcbpcDoesNotAdvance) {
  s.vop.parsingType = 0;
  s.mbX = 4;
  s.mbY = 2;
  BitWriter w;
  w.Code("000000000");
  Feed(w);
  DecodeMacroblock(s);
  EXPECT_EQ(s.side.mode[3][5], 7);
  EXPECT_EQ(s.mbX, 4);
  EXPECT_EQ(BitPosition(), 0u);
}

TEST_F(StageTest, StuffingBeforeTheMacroblockChangesNothing) {
  s.vop.parsingType = 0;
  std::vector<uint8_t> pictures[2];
  for (int stuffed = 0; stuffed < 2; ++stuffed) {
    s.qp = 8;
    s.mbX = s.mbY = 0;
    BitWriter w;
    if (stuffed) w.Code("000000001").Code("000000001");
    w.Code("1").PutBit(0).Code("11");  // intra, all four luma blocks coded
    for (int b = 0; b < 4; ++b) w.Code("10").Code("11").Raw(FindCode(kTcoefIntraCodes, 1, 0, 1)).PutBit(b & 1);
    w.Code("11").Code("11");
    Feed(w);
    DecodeMacroblock(s);
    EXPECT_EQ(BitPosition(), w.BitCount());
    for (int y = 0; y < 16; ++y) pictures[stuffed].insert(pictures[stuffed].end(), s.cur.y + y * s.lumaStride, s.cur.y + y * s.lumaStride + 16);
  }
  EXPECT_EQ(pictures[0], pictures[1]);
}

TEST_F(StageTest, NotCodedPictureCopiesTheReferenceAndZeroesVectors) {
  std::mt19937 rng(5);
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) s.ref.y[y * s.lumaStride + x] = uint8_t(rng());
  for (int y = 0; y < s.height / 2; ++y)
    for (int x = 0; x < s.width / 2; ++x) {
      s.ref.u[y * s.chromaStride + x] = uint8_t(rng());
      s.ref.v[y * s.chromaStride + x] = uint8_t(rng());
    }
  for (auto& plane : s.side.mvx)
    for (int y = 1; y <= s.mbRows; ++y)
      for (int x = 1; x <= s.mbPerRow; ++x) plane[y][x] = 13;
  s.vop.parsingType = 1;
  s.vop.codingType = 1;
  BitWriter w;
  for (int i = 0; i < s.mbCount; ++i) w.PutBit(1);
  Feed(w);
  DecodeVopMacroblocks(s);
  EXPECT_EQ(BitPosition(), size_t(s.mbCount));
  for (int y = 0; y < s.height; ++y)
    ASSERT_EQ(0, std::memcmp(s.cur.y + y * s.lumaStride, s.ref.y + y * s.lumaStride, size_t(s.width))) << y;
  for (int y = 0; y < s.height / 2; ++y) {
    ASSERT_EQ(0, std::memcmp(s.cur.u + y * s.chromaStride, s.ref.u + y * s.chromaStride, size_t(s.width / 2)));
    ASSERT_EQ(0, std::memcmp(s.cur.v + y * s.chromaStride, s.ref.v + y * s.chromaStride, size_t(s.width / 2)));
  }
  for (auto& plane : s.side.mvx)
    for (int y = 1; y <= s.mbRows; ++y)
      for (int x = 1; x <= s.mbPerRow; ++x) ASSERT_EQ(plane[y][x], 0);
  EXPECT_EQ(s.side.mode[1][1], -1);
}

TEST_F(StageTest, IntraMacroblockInPredictedPictureHasZeroVectors) {
  s.vop.parsingType = 1;
  s.qp = 6;
  s.mbX = 2;
  s.mbY = 1;
  for (int b = 0; b < 4; ++b) s.side.mvx[b][2][3] = s.side.mvy[b][2][3] = 21;
  BitWriter w;
  w.PutBit(0).Code("00011").PutBit(0).Code("0011");  // coded, intra cbpc 0, no AC prediction, cbpy 0
  PutEmptyIntraBlocks(w);
  Feed(w);
  DecodeMacroblock(s);
  EXPECT_EQ(BitPosition(), w.BitCount());
  for (int b = 0; b < 4; ++b) {
    EXPECT_EQ(s.side.mvx[b][2][3], 0);
    EXPECT_EQ(s.side.mvy[b][2][3], 0);
  }
  EXPECT_EQ(s.side.mode[2][3], 3);
}

}  // namespace
