// Frame-level behaviour: silence, concealment, comfort noise after losses,
// and independence from whatever memory the object was built in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "g7231/decode_frame.h"
#include "test_support.h"

namespace {

using namespace g7231;
using g7231_test::ReadFile;
using g7231_test::SplitFrames;
using g7231_test::VectorPath;

const uint8_t kUntransmitted[24] = {0x03};

bool AllZero(const int16_t* v) { return std::all_of(v, v + kFrameLength, [](int16_t x) { return x == 0; }); }

std::vector<std::vector<uint8_t>> Speech() { return SplitFrames(ReadFile(VectorPath("speech_63.f24")), false); }

TEST(Decoder, FreshDecoderUntransmittedIsSilent) {
  CG723 c;
  c.Reset();
  int16_t out[kFrameLength];
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(DecodeFrame(c, out, kUntransmitted, 0), 1);
    EXPECT_TRUE(AllZero(out)) << i;
  }
  EXPECT_EQ(c.noiseDecoderState.pastFrameType, kFrameUntransmitted);
}

TEST(Decoder, ConcealmentThenMuting) {
  const auto frames = Speech();
  ASSERT_GT(frames.size(), 40u);
  CG723 c;
  c.Reset();
  int16_t out[kFrameLength];
  for (int i = 0; i < 30; ++i) DecodeFrame(c, out, frames[i].data(), 0);

  DecodeFrame(c, out, frames[30].data(), 1);
  EXPECT_EQ(c.decoderState.erasureCount, 1);
  EXPECT_FALSE(AllZero(out));
  const int16_t gain = c.decoderState.interpolationGain;
  DecodeFrame(c, out, frames[31].data(), -7);
  EXPECT_EQ(c.decoderState.erasureCount, 2);
  EXPECT_EQ(c.decoderState.interpolationGain, (gain * 0x6000 + 0x4000) >> 15);

  // The third loss clears the excitation; the synthesis filter rings out.
  DecodeFrame(c, out, frames[32].data(), 1);
  EXPECT_EQ(c.decoderState.erasureCount, 3);
  EXPECT_TRUE(std::all_of(c.decoderState.prevExcitation, c.decoderState.prevExcitation + kPitchMax,
                          [](int16_t x) { return x == 0; }));
  DecodeFrame(c, out, frames[33].data(), 1);
  EXPECT_EQ(c.decoderState.erasureCount, 3);
  EXPECT_EQ(c.noiseDecoderState.pastFrameType, kFrameActive);
  EXPECT_EQ(c.noiseDecoderState.noiseSeed, 12345);

  DecodeFrame(c, out, frames[34].data(), 0);
  EXPECT_EQ(c.decoderState.erasureCount, 0);
}

TEST(Decoder, LossAfterSilenceContinuesComfortNoise) {
  const auto frames = Speech();
  CG723 c;
  c.Reset();
  int16_t out[kFrameLength];
  for (int i = 0; i < 20; ++i) DecodeFrame(c, out, frames[i].data(), 0);
  DecodeFrame(c, out, kUntransmitted, 0);
  const int16_t target = c.noiseDecoderState.sidGain;
  EXPECT_EQ(c.noiseDecoderState.curGain, target);  // taken at once after speech
  const int16_t seed = c.noiseDecoderState.noiseSeed;
  DecodeFrame(c, out, frames[21].data(), 1);
  EXPECT_EQ(c.noiseDecoderState.pastFrameType, kFrameUntransmitted);
  EXPECT_EQ(c.decoderState.erasureCount, 0);
  EXPECT_NE(c.noiseDecoderState.noiseSeed, seed);
  EXPECT_EQ(c.noiseDecoderState.sidGain, target);
  EXPECT_FALSE(AllZero(out));
}

TEST(Decoder, InvalidFrameAfterSpeechIsConcealed) {
  const auto frames = Speech();
  CG723 c;
  c.Reset();
  int16_t out[kFrameLength];
  for (int i = 0; i < 10; ++i) DecodeFrame(c, out, frames[i].data(), 0);
  uint8_t bad[24] = {};
  bad[0] = 0x00;
  bad[3] = 0xfc;  // first lag code 127: forbidden
  bad[4] = 0x01;
  DecodeFrame(c, out, bad, 0);
  EXPECT_EQ(c.decoderState.erasureCount, 1);
  EXPECT_EQ(c.noiseDecoderState.pastFrameType, kFrameActive);
}

// Objects built over different garbage decode the same: no field is read
// before it is written.
TEST(Decoder, IndependentOfConstructionMemory) {
  const auto mixed = SplitFrames(ReadFile(VectorPath("mixed_sidfirst.f24")), false);
  ASSERT_FALSE(mixed.empty());
  alignas(CG723) unsigned char storageA[sizeof(CG723)];
  alignas(CG723) unsigned char storageB[sizeof(CG723)];
  std::memset(storageA, 0x00, sizeof storageA);
  std::memset(storageB, 0xa5, sizeof storageB);
  CG723* a = new (storageA) CG723();
  CG723* b = new (storageB) CG723();
  a->Reset();
  b->Reset();
  int16_t outA[kFrameLength];
  int16_t outB[kFrameLength];
  // Start with a lost frame, an untransmitted one, then the whole stream.
  DecodeFrame(*a, outA, kUntransmitted, 1);
  DecodeFrame(*b, outB, kUntransmitted, 1);
  ASSERT_TRUE(std::equal(outA, outA + kFrameLength, outB));
  for (size_t i = 0; i < mixed.size(); ++i) {
    DecodeFrame(*a, outA, mixed[i].data(), 0);
    DecodeFrame(*b, outB, mixed[i].data(), 0);
    ASSERT_TRUE(std::equal(outA, outA + kFrameLength, outB)) << "frame " << i;
  }
  a->~CG723();
  b->~CG723();
}

}  // namespace
