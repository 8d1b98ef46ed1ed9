// Fixed-codebook pulses of both rates and the adaptive-codebook history.
#include <gtest/gtest.h>

#include <algorithm>

#include "g7231/excitation.h"
#include "g7231/tables.h"

namespace {

using namespace g7231;

constexpr int16_t kSentinel = 0x5a5a;

// A 60-sample output with sentinels behind it.
struct Guarded {
  int16_t v[kSubframeLength + 8];
  Guarded() { std::fill(std::begin(v), std::end(v), kSentinel); }
  bool TailIntact() const {
    return std::all_of(v + kSubframeLength, std::end(v), [](int16_t x) { return x == kSentinel; });
  }
};

// Index of a 5.3 kbit/s gain entry without pitch sharpening.
int16_t UnsharpenedGainIndex() {
  for (int16_t i = 0; i < 170; ++i) {
    if (kSharpeningLagOffset[i] == 60) return i;
  }
  return 0;
}

TEST(FixedCodebook53, PulsesPastTheSubframeAreDropped) {
  CG723 c;
  c.rate53 = 1;
  SubframeParams s{};
  s.grid = 1;
  s.fixedGainIndex = 10;
  s.adaptiveLagDelta = 1;
  s.adaptiveGainIndex = UnsharpenedGainIndex();
  // Tracks 0..3 at codes 0, 1, 7, 7: positions 1, 11, 61 and 63.
  s.pulsePositions = 0 | (1 << 3) | (7 << 6) | (7 << 9);
  s.pulseSigns = 0b0001;  // pulse 0 positive, the others negative
  Guarded out;
  UnpackFixedCodebook(c, out.v, s, 60, 0);
  EXPECT_TRUE(out.TailIntact());
  const int16_t g = kFixedCbGain[10];
  for (int i = 0; i < kSubframeLength; ++i) {
    const int16_t want = i == 1 ? g : (i == 11 ? static_cast<int16_t>(-g) : 0);
    EXPECT_EQ(out.v[i], want) << i;
  }
}

TEST(FixedCodebook53, PitchSharpeningBelowTheLongLag) {
  CG723 c;
  c.rate53 = 1;
  SubframeParams s{};
  s.fixedGainIndex = 20;
  s.adaptiveLagDelta = 1;
  int16_t index = -1;
  for (int16_t i = 0; i < 170; ++i) {
    if (kSharpeningLagOffset[i] == 0 && (index < 0 || kSharpeningGain[i] > kSharpeningGain[index])) index = i;
  }
  ASSERT_GE(index, 0);
  s.adaptiveGainIndex = index;
  s.pulsePositions = 0;  // pulse 0 at 0, others at 2, 4, 6
  s.pulseSigns = 0xf;
  Guarded out;
  UnpackFixedCodebook(c, out.v, s, 20, 0);
  // Lag 20: each pulse comes back 20 and 40 samples later, scaled.
  EXPECT_NE(out.v[20], 0);
  EXPECT_NE(out.v[40], 0);
  EXPECT_EQ(out.v[21], 0);
  EXPECT_TRUE(out.TailIntact());
}

TEST(FixedCodebook63, PositionsAtOrAboveTheLimitGiveNoPulses) {
  CG723 c;
  SubframeParams s{};
  s.fixedGainIndex = 3;
  s.pulsePositions = kPositionLimit[1];
  Guarded out;
  UnpackFixedCodebook(c, out.v, s, 60, 1);
  for (int i = 0; i < kSubframeLength; ++i) EXPECT_EQ(out.v[i], 0);

  // Code 0 puts the pulses on the first grid positions; sign bits from the top.
  s.pulsePositions = 0;
  s.grid = 1;
  s.pulseSigns = 0b10000;  // first of five pulses negative
  UnpackFixedCodebook(c, out.v, s, 60, 1);
  const int16_t g = kFixedCbGain[3];
  EXPECT_EQ(out.v[1], -g);
  for (int k = 1; k < 5; ++k) EXPECT_EQ(out.v[1 + 2 * k], g);
  EXPECT_EQ(out.v[11], 0);
  EXPECT_TRUE(out.TailIntact());
}

TEST(FixedCodebook63, PulseTrainRepeatsAtTheLag) {
  CG723 c;
  int16_t v[kSubframeLength] = {};
  v[3] = 100;
  RepeatPulseTrain(c, v, 20);
  for (int i = 0; i < kSubframeLength; ++i) EXPECT_EQ(v[i], (i == 3 || i == 23 || i == 43) ? 100 : 0) << i;
}

}  // namespace
