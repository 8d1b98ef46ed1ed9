#include "shared/adpcm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

TEST(Adpcm, DecodesHighNibbleFirstWithShiftAndAddDifference) {
  CADPCM state;
  const uint8_t coded[] = {0x7F};
  int16_t out[2];
  state.DecodeAdpcm(coded, out, 2);
  // 7: step 7 gives 0 + 7 + 3 + 1 = 11, index 0 + 8. F: step 16 gives
  // 2 + 16 + 8 + 4 = 30 subtracted, index 8 + 8.
  EXPECT_EQ(out[0], 11);
  EXPECT_EQ(out[1], -19);
  EXPECT_EQ(state.predictor, -19);
  EXPECT_EQ(state.stepIndex, 16);
}

TEST(Adpcm, ClampsSampleAndIndex) {
  CADPCM loud{32760, 88};
  const uint8_t up[] = {0x77};
  int16_t out[2];
  loud.DecodeAdpcm(up, out, 2);
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(out[1], 32767);
  EXPECT_EQ(loud.stepIndex, 88);

  CADPCM quiet{-32760, 88};
  const uint8_t down[] = {0xFF};
  quiet.DecodeAdpcm(down, out, 2);
  EXPECT_EQ(out[0], -32768);

  CADPCM low{0, 0};
  const uint8_t zero[] = {0x00};
  low.DecodeAdpcm(zero, out, 2);
  EXPECT_EQ(low.stepIndex, 0);
  EXPECT_EQ(out[0], 0);
}

TEST(Adpcm, OutOfRangeSeededIndexIsClamped) {
  CADPCM seeded{0, static_cast<int8_t>(-56)};  // byte 200 from a camera header
  const uint8_t coded[] = {0x40};
  int16_t out[2];
  seeded.DecodeAdpcm(coded, out, 2);
  EXPECT_GE(seeded.stepIndex, 0);
  EXPECT_LE(seeded.stepIndex, 88);
}

TEST(Adpcm, EncoderAndDecoderTrackATone) {
  std::vector<int16_t> tone(2400);
  for (size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 8000));
  CADPCM enc, dec;
  std::vector<uint8_t> coded(tone.size() / 2);
  std::vector<int16_t> back(tone.size());
  for (size_t f = 0; f < tone.size(); f += 240) {
    enc.EncodeAdpcm(&tone[f], &coded[f / 2], 240);
    dec.DecodeAdpcm(&coded[f / 2], &back[f], 240);
  }
  EXPECT_EQ(enc.predictor, dec.predictor) << "encoder and decoder states agree";
  EXPECT_EQ(enc.stepIndex, dec.stepIndex);
  double err = 0, sig = 0;
  for (size_t i = 240; i < tone.size(); ++i) {  // after the step size settles
    err += std::pow(tone[i] - back[i], 2);
    sig += std::pow(tone[i], 2);
  }
  EXPECT_GT(10 * std::log10(sig / err), 20.0) << "SNR of a 440 Hz tone";
}

TEST(Adpcm, OddCountLeavesLowNibbleZero) {
  CADPCM enc;
  const int16_t samples[3] = {1000, 2000, 3000};
  uint8_t coded[2] = {0xAA, 0xAA};
  enc.EncodeAdpcm(samples, coded, 3);
  EXPECT_EQ(coded[1] & 0x0F, 0);
}

}  // namespace
