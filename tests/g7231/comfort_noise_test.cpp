// Annex A pieces: the SID gain quantiser around its segment boundaries and
// the random excitation's lags.
#include <gtest/gtest.h>

#include <algorithm>

#include "g7231/comfort_noise.h"

namespace {

using namespace g7231;

TEST(SidGain, SegmentBoundaries) {
  CG723 c;
  // 2 x 32^2 = 2048 starts segment 1; both sides pick the level 32.
  EXPECT_EQ(QuantizeSidGain(c, 2047), 16);
  EXPECT_EQ(QuantizeSidGain(c, 2048), 16);
  // 2 x 96^2 = 18432 starts segment 2 at level 96.
  EXPECT_EQ(QuantizeSidGain(c, 18431), 32);
  EXPECT_EQ(QuantizeSidGain(c, 18432), 32);
  // 231233 lies halfway between the top two levels, 336 and 344.
  EXPECT_EQ(QuantizeSidGain(c, 231232), 62);
  EXPECT_EQ(QuantizeSidGain(c, 231233), 63);
}

TEST(SidGain, TopOfRangeStaysInsideTheTable) {
  CG723 c;
  // Between the corrected and the uncorrected threshold the search would
  // otherwise produce index 64.
  for (int32_t e : {231233, 240000, 247807, 247808, 300000, INT32_MAX}) {
    EXPECT_EQ(QuantizeSidGain(c, e), 63) << e;
  }
  EXPECT_EQ(QuantizeSidGain(c, 0), 0);
  EXPECT_EQ(QuantizeSidGain(c, -5), 0);
}

TEST(SidGain, DequantiserLevels) {
  CG723 c;
  EXPECT_EQ(DequantizeSidGain(c, 0), 0);
  EXPECT_EQ(DequantizeSidGain(c, 16), 32 << 5);
  EXPECT_EQ(DequantizeSidGain(c, 32), 96 << 5);
  EXPECT_EQ(DequantizeSidGain(c, 48), (96 + 16 * 8) << 5);
  EXPECT_EQ(DequantizeSidGain(c, 63), 344 << 5);
  int16_t previous = -1;
  for (int16_t i = 0; i < 64; ++i) {
    const int16_t g = DequantizeSidGain(c, i);
    EXPECT_GT(g, previous) << i;
    previous = g;
  }
}

// Every energy maps to a level at least as close as either neighbour level.
TEST(SidGain, PicksANearestLevel) {
  CG723 c;
  for (int32_t e = 0; e < 240000; e += 37) {
    const int16_t index = QuantizeSidGain(c, e);
    const int64_t level = DequantizeSidGain(c, index) >> 5;
    const int64_t error = std::abs(2 * level * level - e);
    for (int16_t other : {static_cast<int16_t>(index - 1), static_cast<int16_t>(index + 1)}) {
      if (other < 0 || other > 63) continue;
      const int64_t l = DequantizeSidGain(c, other) >> 5;
      EXPECT_LE(error, std::abs(2 * l * l - e)) << "energy " << e;
    }
  }
}

TEST(RandomExcitation, LagsKeepTheHistoryInRange) {
  int16_t low[2] = {200, 200};
  int16_t high[2] = {0, 0};
  for (int seed = 0; seed < 65536; seed += 7) {
    CG723 c;
    int16_t past[kPitchMax] = {};
    int16_t out[kFrameLength];
    int16_t s = static_cast<int16_t>(seed);
    SpeechFrameParams p{};
    RandomExcitation(c, 0, past, out, &s, p);
    for (int b = 0; b < 2; ++b) {
      low[b] = std::min(low[b], p.openLoopLag[b]);
      high[b] = std::max(high[b], p.openLoopLag[b]);
      for (int k = 0; k < 2; ++k) {
        const int lag = p.openLoopLag[b] - 1 + p.subframes[2 * b + k].adaptiveLagDelta;
        ASSERT_LE(lag, kPitchMax - 2);
        ASSERT_GE(lag, 2 * kSubframeLength + 2);
      }
    }
  }
  EXPECT_EQ(low[0], 123);
  EXPECT_EQ(high[0], 143);
  EXPECT_EQ(low[1], 123);
  EXPECT_EQ(high[1], 141);
}

TEST(RandomExcitation, SilentStateGivesSilence) {
  CG723 c;
  int16_t past[kPitchMax] = {};
  int16_t out[kFrameLength];
  int16_t seed = 12345;
  SpeechFrameParams p{};
  RandomExcitation(c, 0, past, out, &seed, p);
  for (int16_t v : out) ASSERT_EQ(v, 0);
}

}  // namespace
