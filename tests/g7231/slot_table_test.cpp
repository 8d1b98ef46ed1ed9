// The slot table behind the three entry points.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "g7231/slot_table.h"
#include "g7231/speech_decoder.h"

namespace {

constexpr int16_t kSentinel = 0x7a7a;
const uint8_t kUntransmitted[24] = {0x03};

bool Untouched(const int16_t* out) {
  return std::all_of(out, out + kSpeechFrameSamples, [](int16_t v) { return v == kSentinel; });
}

TEST(SlotTable, RangeEnds) {
  CreateSpeechDecoder(999);
  EXPECT_NE(SpeechDecoderInSlot(999), nullptr);
  int16_t out[kSpeechFrameSamples];
  EXPECT_EQ(DecodeSpeechFrame(999, out, kUntransmitted, 0), 1);
  DestroySpeechDecoder(999);
  EXPECT_EQ(SpeechDecoderInSlot(999), nullptr);

  CreateSpeechDecoder(1000);
  CreateSpeechDecoder(UINT32_MAX);
  EXPECT_EQ(SpeechDecoderInSlot(1000), nullptr);
  std::fill(out, out + kSpeechFrameSamples, kSentinel);
  EXPECT_EQ(DecodeSpeechFrame(1000, out, kUntransmitted, 0), 0);
  EXPECT_EQ(DecodeSpeechFrame(UINT32_MAX, out, kUntransmitted, 0), 0);
  EXPECT_TRUE(Untouched(out));
  DestroySpeechDecoder(1000);
}

TEST(SlotTable, EmptySlotDecodesNothing) {
  int16_t out[kSpeechFrameSamples];
  std::fill(out, out + kSpeechFrameSamples, kSentinel);
  EXPECT_EQ(DecodeSpeechFrame(17, out, kUntransmitted, 0), 0);  // never created
  CreateSpeechDecoder(17);
  DestroySpeechDecoder(17);
  EXPECT_EQ(DecodeSpeechFrame(17, out, kUntransmitted, 0), 0);  // destroyed
  EXPECT_TRUE(Untouched(out));
  DestroySpeechDecoder(17);  // twice: nothing happens
  DestroySpeechDecoder(18);  // never created
}

TEST(SlotTable, SecondCreateKeepsTheObjectAndItsState) {
  CreateSpeechDecoder(20);
  CG723* first = SpeechDecoderInSlot(20);
  ASSERT_NE(first, nullptr);
  int16_t out[kSpeechFrameSamples];
  DecodeSpeechFrame(20, out, kUntransmitted, 0);
  EXPECT_EQ(first->noiseDecoderState.pastFrameType, 0);
  first->postfilterOn = 1;
  CreateSpeechDecoder(20);
  EXPECT_EQ(SpeechDecoderInSlot(20), first);
  EXPECT_EQ(first->noiseDecoderState.pastFrameType, 0);  // not reset
  EXPECT_EQ(first->postfilterOn, 1);
  DestroySpeechDecoder(20);
}

TEST(SlotTable, FreshDecoderState) {
  CreateSpeechDecoder(21);
  const CG723& c = *SpeechDecoderInSlot(21);
  EXPECT_EQ(c.postfilterOn, 0);
  EXPECT_EQ(c.rate53, 0);
  EXPECT_EQ(c.vadOn, 0);
  EXPECT_EQ(c.overflow, 0);
  EXPECT_EQ(c.noiseDecoderState.pastFrameType, 1);
  EXPECT_EQ(c.noiseDecoderState.noiseSeed, 12345);
  EXPECT_EQ(c.decoderState.gainMemory, 4096);
  EXPECT_EQ(c.decoderState.prevLsp[0], 3131);
  EXPECT_EQ(c.decoderState.prevLsp[9], 27718);
  EXPECT_EQ(c.encoderState.tamingErrors[4], 4);
  DestroySpeechDecoder(21);
}

// First creates on many threads at once need no shared set-up.
TEST(SlotTable, ConcurrentCreates) {
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (uint32_t s = 100 + t; s < 400; s += 8) {
        CreateSpeechDecoder(s);
        int16_t out[kSpeechFrameSamples];
        DecodeSpeechFrame(s, out, kUntransmitted, 0);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (uint32_t s = 100; s < 400; ++s) {
    EXPECT_NE(SpeechDecoderInSlot(s), nullptr) << s;
    DestroySpeechDecoder(s);
  }
}

}  // namespace
