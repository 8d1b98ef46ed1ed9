// Frame unpacking: kinds, rates, the validity tests on lags and gains.
#include <gtest/gtest.h>

#include <array>

#include "g7231/unpack.h"

namespace {

using namespace g7231;

// Writes fields least significant bit first, as the frame carries them.
class FrameWriter {
 public:
  FrameWriter& Put(uint32_t value, int n) {
    for (int i = 0; i < n; ++i, ++bit_) {
      if ((value >> i) & 1) bytes_[bit_ >> 3] |= static_cast<uint8_t>(1 << (bit_ & 7));
    }
    return *this;
  }
  const uint8_t* data() const { return bytes_.data(); }

 private:
  std::array<uint8_t, 24> bytes_{};
  int bit_ = 0;
};

// An active frame header: type, LSP index, the two lags and their deltas.
FrameWriter Active(int type, uint32_t lag0, uint32_t lag1) {
  FrameWriter w;
  w.Put(type, 2).Put(0x123456, 24).Put(lag0, 7).Put(2, 2).Put(lag1, 7).Put(3, 2);
  return w;
}

TEST(Unpack, UntransmittedAndSid) {
  CG723 c;
  int16_t kind = -1;
  const uint8_t untransmitted[24] = {0xff, 0xff, 0xff};
  SpeechFrameParams p = UnpackFrame(c, untransmitted, 0, &kind);
  EXPECT_EQ(kind, kFrameUntransmitted);
  EXPECT_EQ(p.lspIndex, 0);
  EXPECT_EQ(p.erased, 0);

  FrameWriter sid;
  sid.Put(2, 2).Put(0xabcdef, 24).Put(45, 6);
  p = UnpackFrame(c, sid.data(), 0, &kind);
  EXPECT_EQ(kind, kFrameSid);
  EXPECT_EQ(p.lspIndex, 0xabcdef);
  EXPECT_EQ(p.subframes[0].fixedGainIndex, 45);
}

TEST(Unpack, CallerFlagStopsUnpacking) {
  CG723 c;
  int16_t kind = 77;
  const uint8_t frame[24] = {0x01};
  const SpeechFrameParams p = UnpackFrame(c, frame, 5, &kind);
  EXPECT_EQ(p.erased, 5);
  EXPECT_EQ(kind, 77);
  EXPECT_EQ(c.rate53, 0);
}

TEST(Unpack, ForbiddenLagStillSetsTheRate) {
  CG723 c;
  c.rate53 = 1;
  int16_t kind = -1;
  const SpeechFrameParams p = UnpackFrame(c, Active(0, 124, 40).data(), 0, &kind);
  EXPECT_EQ(p.erased, 1);
  EXPECT_EQ(c.rate53, 0);

  const SpeechFrameParams q = UnpackFrame(c, Active(1, 40, 127).data(), 0, &kind);
  EXPECT_EQ(q.erased, 1);
  EXPECT_EQ(c.rate53, 1);
}

TEST(Unpack, GainBoundDependsOnLag) {
  CG723 c;
  int16_t kind = -1;
  // Lag 18 + 39 = 57 < 58: bit 11 is the pulse-train flag, bound 85.
  FrameWriter shortLag = Active(0, 39, 39);
  shortLag.Put((1u << 11) | (84 * 24 + 5), 12).Put(85 * 24, 12);
  SpeechFrameParams p = UnpackFrame(c, shortLag.data(), 0, &kind);
  EXPECT_EQ(p.erased, 1);

  FrameWriter shortOk = Active(0, 39, 39);
  shortOk.Put((1u << 11) | (84 * 24 + 5), 12);
  p = UnpackFrame(c, shortOk.data(), 0, &kind);
  EXPECT_EQ(p.erased, 0);
  EXPECT_EQ(p.subframes[0].pulseTrain, 1);
  EXPECT_EQ(p.subframes[0].adaptiveGainIndex, 84);
  EXPECT_EQ(p.subframes[0].fixedGainIndex, 5);
  EXPECT_EQ(p.openLoopLag[0], 57);
  EXPECT_EQ(p.subframes[1].adaptiveLagDelta, 2);
  EXPECT_EQ(p.subframes[3].adaptiveLagDelta, 3);
  EXPECT_EQ(p.subframes[0].adaptiveLagDelta, 1);

  // Lag 58: bit 11 belongs to the gain, bound 170.
  FrameWriter longLag = Active(0, 40, 40);
  longLag.Put(169 * 24 + 23, 12);
  p = UnpackFrame(c, longLag.data(), 0, &kind);
  EXPECT_EQ(p.erased, 0);
  EXPECT_EQ(p.subframes[0].pulseTrain, 0);
  EXPECT_EQ(p.subframes[0].adaptiveGainIndex, 169);

  FrameWriter longBad = Active(0, 40, 40);
  longBad.Put(170 * 24, 12);
  EXPECT_EQ(UnpackFrame(c, longBad.data(), 0, &kind).erased, 1);
}

}  // namespace
