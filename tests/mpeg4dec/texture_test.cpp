// Texture decoding: DC sizes and differentials, coefficient codes with their
// escapes, dequantisation, DC/AC prediction (with quantiser rescaling), and
// blocks that run past their end.
#include <gtest/gtest.h>

#include <random>

#include "stage_fixture.h"
#include "texture.h"

using namespace quenda;
using quenda_test::BitWriter;
using quenda_test::FindCode;
using quenda_test::StageTest;

namespace {

TEST(DcScaler, FollowsTheQuantiser) {
  EXPECT_EQ(ComputeDcScaler(31, true), 46);
  EXPECT_EQ(ComputeDcScaler(31, false), 25);
  EXPECT_EQ(ComputeDcScaler(4, true), 8);
  EXPECT_EQ(ComputeDcScaler(4, false), 8);
  EXPECT_EQ(ComputeDcScaler(6, true), 12);
  EXPECT_EQ(ComputeDcScaler(6, false), 9);
  EXPECT_EQ(ComputeDcScaler(20, true), 28);
}

TEST(Dequantise, H263Rule) {
  EXPECT_EQ(DequantiseInter(1, 10), 29);
  EXPECT_EQ(DequantiseInter(-2, 10), -49);
  EXPECT_EQ(DequantiseInter(1, 7), 21);
  EXPECT_EQ(DequantiseInter(0, 10), -9);     // escape mode 3 level 0
  EXPECT_EQ(DequantiseInter(2047, 31), int16_t(2 * 31 * 2047 + 31));  // wraps, no saturation
}

TEST(EscapeLimits, MatchTheCodeTables) {
  EXPECT_EQ(IntraLevelMax(0, 0), 27);
  EXPECT_EQ(IntraLevelMax(0, 1), 10);
  EXPECT_EQ(IntraLevelMax(0, 14), 1);
  EXPECT_EQ(IntraLevelMax(0, 15), 0);
  EXPECT_EQ(IntraLevelMax(1, 0), 8);
  EXPECT_EQ(IntraLevelMax(1, 20), 1);
  EXPECT_EQ(InterLevelMax(0, 0), 12);
  EXPECT_EQ(InterLevelMax(0, 26), 1);
  EXPECT_EQ(InterLevelMax(1, 1), 2);
  EXPECT_EQ(InterLevelMax(1, 40), 1);
  EXPECT_EQ(IntraRunMax(0, 1), 14);
  EXPECT_EQ(IntraRunMax(0, 4), 3);
  EXPECT_EQ(IntraRunMax(1, 3), 1);
  EXPECT_EQ(InterRunMax(0, 1), 26);
  EXPECT_EQ(InterRunMax(0, 6), 1);
  EXPECT_EQ(InterRunMax(1, 1), 40);
  EXPECT_EQ(InterRunMax(1, 2), 1);
  EXPECT_EQ(InterRunMax(1, 3), 0);
  EXPECT_EQ(IntraLevelMax(2, 0), 0);
}

TEST_F(StageTest, DcSizesAndDifferentials) {
  BitWriter w;
  w.Code("011");                   // luma size 0
  w.Code("010").Code("010");       // luma size 3, bits 010
  w.Code("00000001").Put(0x155, 9).PutBit(1);  // luma size 9, nine bits, marker
  Feed(w);
  EXPECT_EQ(DecodeDcSizeLuma(s.reader), 0);
  EXPECT_EQ(DecodeDcSizeLuma(s.reader), 3);
  EXPECT_EQ(DecodeDcDifferential(s.reader, 3), 2 - 7);
  const int size = DecodeDcSizeLuma(s.reader);
  EXPECT_EQ(size, 9);
  EXPECT_EQ(DecodeDcDifferential(s.reader, size), 0x155);
  EXPECT_EQ(BitPosition(), w.BitCount());
}

TEST_F(StageTest, ChromaDcSizeOfTwelveZerosIsThree) {
  BitWriter w;
  w.Code("000000000000").Code("1");
  Feed(w);
  EXPECT_EQ(DecodeDcSizeChroma(s.reader), 3);
  EXPECT_EQ(BitPosition(), 2u);
}

TEST_F(StageTest, EscapeModes) {
  BitWriter w;
  // Intra mode 1: second code last 0, run 1, level 2 -> level 2 + 10.
  w.Code("0000011").Code("0").Raw(FindCode(kTcoefIntraCodes, 0, 1, 2)).PutBit(0);
  // Inter mode 2: second code last 1, run 0, level 1 -> run 0 + 40 + 1, negative.
  w.Code("0000011").Code("10").Raw(FindCode(kTcoefInterCodes, 1, 0, 1)).PutBit(1);
  // Mode 3: last 1, run 5, level bits 1111 1111 1111 -> -1.
  w.Code("0000011").Code("11").PutBit(1).Put(5, 6).PutBit(1).Put(0xFFF, 12).PutBit(1);
  Feed(w);
  Coefficient c = DecodeIntraCoefficient(s.reader);
  EXPECT_EQ(c.last, 0);
  EXPECT_EQ(c.run, 1);
  EXPECT_EQ(c.level, 12);
  c = DecodeInterCoefficient(s.reader);
  EXPECT_EQ(c.last, 1);
  EXPECT_EQ(c.run, 41);
  EXPECT_EQ(c.level, -1);
  c = DecodeInterCoefficient(s.reader);
  EXPECT_EQ(c.last, 1);
  EXPECT_EQ(c.run, 5);
  EXPECT_EQ(c.level, -1);
  EXPECT_EQ(BitPosition(), w.BitCount());
}

TEST_F(StageTest, UndecodableCodesEndTheBlock) {
  BitWriter w;
  w.Code("000000000000");  // below every code
  Feed(w);
  EXPECT_EQ(DecodeInterCoefficient(s.reader).last, -1);
  EXPECT_EQ(BitPosition(), 0u);
  // An escape whose second code is itself the escape is an error too.
  BitWriter e;
  e.Code("0000011").Code("0").Code("0000011");
  Feed(e);
  EXPECT_EQ(DecodeIntraCoefficient(s.reader).last, -1);
}

TEST_F(StageTest, RunPastTheBlockEndStopsWithoutWriting) {
  s.qp = 4;
  BitWriter w;
  w.Raw(FindCode(kTcoefInterCodes, 0, 0, 1)).PutBit(0);                // position 0
  w.Code("0000011").Code("11").PutBit(0).Put(63, 6).PutBit(1).Put(5, 12).PutBit(1);  // run to 64
  w.Raw(FindCode(kTcoefInterCodes, 1, 0, 1)).PutBit(0);                // never read
  Feed(w);
  ASSERT_TRUE(DecodeInterBlock(s, 0, true));
  EXPECT_EQ(s.coeffs[0][0], DequantiseInter(1, 4));
  for (int i = 1; i < 64; ++i) EXPECT_EQ(s.coeffs[0][i], 0) << i;
  EXPECT_EQ(BitPosition(), size_t(FindCode(kTcoefInterCodes, 0, 0, 1).length + 1 + 30));
}

// Random runs of codes (plain, escapes of every mode, nested escapes and
// garbage, sometimes cut by the input bound) give the same coefficients and
// the same reader state through the table-driven block loops as through the
// code-by-code reference.
TEST_F(StageTest, BlockLoopsMatchCodeByCodeDecoding) {
  std::mt19937 rng(17);
  auto pick = [&](const auto& codes) -> const RawCode& { return codes[rng() % std::size(codes)]; };
  for (int trial = 0; trial < 4000; ++trial) {
    const bool intra = trial % 2;
    BitWriter w;
    if (trial % 50 == 0) w.Code("000000000000");  // no code at all first
    for (int n = 1 + int(rng() % 24); n > 0; --n) {
      const RawCode& code = intra ? pick(kTcoefIntraCodes) : pick(kTcoefInterCodes);
      switch (rng() % 12) {
        case 0: w.Code("0000011").Code("0").Raw(code).PutBit(int(rng() & 1)); break;
        case 1: w.Code("0000011").Code("10").Raw(code).PutBit(int(rng() & 1)); break;
        case 2: w.Code("0000011").Code("11").Put(rng(), 21); break;
        case 3: {
          const uint32_t bits = rng();
          w.Put(bits, 1 + int(rng() % 16));
          break;
        }
        default: w.Raw(code).PutBit(int(rng() & 1)); break;
      }
    }
    Feed(w);
    // Sometimes bounded inside the codes, so the reader runs into its bound.
    if (trial % 4 == 0) {
      ResetBitReader(s.reader);
      StartBuffer(s.reader, bytes.data(), rng() % (w.BitCount() / 8 + 2));
      PrimeWindow(s.reader);
    }
    const int qp = 1 + int(rng() % 31);
    const uint8_t* scan = trial % 3 ? kScanZigzag : kScanAlternateVertical;
    alignas(16) int16_t fast[64] = {}, plain[64] = {};
    BitReader a = s.reader, b = s.reader;
    const int endFast = intra ? DecodeIntraCoefficients(a, fast, scan) : DecodeInterCoefficients(a, fast, qp);
    const int endPlain = intra ? DecodeIntraCoefficientsPlain(b, plain, scan) : DecodeInterCoefficientsPlain(b, plain, qp);
    ASSERT_EQ(endFast, endPlain) << trial;
    // The same reader state, not only the same position.
    ASSERT_EQ(BitsRead(a), BitsRead(b)) << trial;
    ASSERT_TRUE(a.cache == b.cache && a.bits == b.bits && a.ptr == b.ptr && a.remaining == b.remaining &&
                a.fetched == b.fetched && a.overrun == b.overrun)
        << trial;
    for (int i = 0; i < 64; ++i) ASSERT_EQ(fast[i], plain[i]) << trial << " coefficient " << i;
  }
}

TEST(AcRescale, RoundsHalvesAwayFromZero) {
  EXPECT_EQ(RescaleAc(3, 5, 10), 2);    // 1.5
  EXPECT_EQ(RescaleAc(-3, 5, 10), -2);
  EXPECT_EQ(RescaleAc(1, 5, 10), 1);    // 0.5
  EXPECT_EQ(RescaleAc(1, 4, 10), 0);    // 0.4
  EXPECT_EQ(RescaleAc(7, 12, 4), 21);
}

// Luma block 0 of macroblock (1, 1) with every predictor chosen by the test.
struct IntraPrediction : StageTest {
  static constexpr int kBy = 3, kBx = 3;  // store position of that block
  void SetUp() override {
    StageTest::SetUp();
    s.mbX = 1;
    s.mbY = 1;
    s.vop.parsingType = 0;
    s.side.lumaDc[kBy][kBx - 1] = 1024;      // left
    s.side.lumaDc[kBy - 1][kBx - 1] = 1024;  // above-left
    s.side.lumaDc[kBy - 1][kBx] = 500;       // above: chosen
    s.side.lumaAcRow[kBy - 1][kBx] = AcLine{{3, -3, 1, 0, 0, 0, 7}};
    s.side.lumaAcCol[kBy][kBx - 1] = AcLine{{9, 9, 9, 9, 9, 9, 9}};
  }
};

TEST_F(IntraPrediction, AcFromAboveIsRescaledToThisQuantiser) {
  s.qp = 10;
  s.side.qp[0][1] = 5;  // the macroblock above
  s.mb.acPred = 1;
  BitWriter w;
  w.Code("011");  // DC size 0, block not coded
  Feed(w);
  DecodeIntraBlock(s, 0, false);
  EXPECT_EQ(s.predictionDirection, 1);
  // Quantised 2, -2, 1, 0, 0, 0, 4 (3*5/10 = 1.5 -> 2, 7*5/10 = 3.5 -> 4).
  const AcLine& stored = s.side.lumaAcRow[kBy][kBx];
  const int expect[7] = {2, -2, 1, 0, 0, 0, 4};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(stored.v[i], expect[i]) << i;
  EXPECT_EQ(s.coeffs[0][1], 49);  // dequantised at QP 10
  EXPECT_EQ(s.coeffs[0][2], -49);
  EXPECT_EQ(s.coeffs[0][3], 29);
  EXPECT_EQ(s.coeffs[0][8], 0);  // nothing from the left
  // DC: (500 + 9) / 18 = 28, times the scaler.
  EXPECT_EQ(s.coeffs[0][0], 28 * 18);
  EXPECT_EQ(s.side.lumaDc[kBy][kBx], 28 * 18);
}

TEST_F(IntraPrediction, SameQuantiserAddsStoredValuesAsTheyAre) {
  s.qp = 5;
  s.side.qp[0][1] = 5;
  s.mb.acPred = 1;
  BitWriter w;
  w.Code("011");
  Feed(w);
  DecodeIntraBlock(s, 0, false);
  const AcLine& stored = s.side.lumaAcRow[kBy][kBx];
  const int expect[7] = {3, -3, 1, 0, 0, 0, 7};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(stored.v[i], expect[i]) << i;
}

TEST_F(IntraPrediction, WithoutAcPredictionOnlyTheDcIsPredicted) {
  s.qp = 5;
  s.mb.acPred = 0;
  BitWriter w;
  w.Code("011");
  Feed(w);
  DecodeIntraBlock(s, 0, false);
  for (int i = 1; i < 64; ++i) EXPECT_EQ(s.coeffs[0][i], 0) << i;
}

TEST_F(StageTest, FirstIntraBlockPredictsFromTheBorder) {
  s.mbX = 0;
  s.mbY = 0;
  s.qp = 5;  // luma scaler 10
  s.mb.acPred = 0;
  BitWriter w;
  w.Code("011");
  Feed(w);
  DecodeIntraBlock(s, 0, false);
  EXPECT_EQ(s.predictionDirection, 0);
  EXPECT_EQ(s.coeffs[0][0], (1024 + 5) / 10 * 10);
}

TEST_F(StageTest, PredictedPictureResetsPredictorsOfInterNeighbours) {
  s.mbX = 2;
  s.mbY = 2;
  s.side.mode[3][2] = -1;  // left: not coded
  s.side.mode[2][3] = 3;   // above: intra
  s.side.mode[2][2] = 0;   // above-left: inter
  s.side.lumaDc[5][4] = 77;
  s.side.lumaAcCol[5][4] = AcLine{{5, 5, 5, 5, 5, 5, 5}};
  s.side.lumaDc[4][5] = 66;  // above, bottom-left block: kept
  s.side.lumaDc[4][4] = 55;  // above-left, bottom-right block: reset
  ResetPredictionForMacroblock(s);
  EXPECT_EQ(s.side.lumaDc[5][4], 1024);
  EXPECT_EQ(s.side.lumaAcCol[5][4].v[3], 0);
  EXPECT_EQ(s.side.lumaDc[4][5], 66);
  EXPECT_EQ(s.side.lumaDc[4][4], 1024);
}

}  // namespace
