#include "engine/wire_protocol.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/byte_ring.h"
#include "engine/recorder_peer.h"

namespace {

using wire::MessageKind;

std::vector<uint8_t> Header(uint8_t type, uint8_t subtype, uint8_t b2 = 0, uint8_t b6 = 0, uint8_t b7 = 0) {
  return {type, subtype, b2, 0, 0, 0, b6, b7, 0, 0, 0, 0};
}

TEST(WireClassify, EveryListedKind) {
  EXPECT_EQ(wire::ClassifyMessage(Header(0x10, 0x50).data()), MessageKind::LoginReply);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x10, 0xA0).data()), MessageKind::AudioLoginReply);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x01, 0x01, 0, 0x1D, 0xDE).data()), MessageKind::VideoFrame);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x01, 0x02).data()), MessageKind::AudioFrame);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x01, 0x03, 1).data()), MessageKind::CameraText);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x01, 0x04).data()), MessageKind::SioData);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x01, 0x05).data()), MessageKind::GpioInput);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x01, 0x07).data()), MessageKind::MotionMaskUpdate);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x01, 0x08).data()), MessageKind::ValueReport);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x01, 0x09).data()), MessageKind::EncModeUpdate);
}

TEST(WireClassify, UnlistedSubtypesAndTheMarker) {
  EXPECT_EQ(wire::ClassifyMessage(Header(0x01, 0x01).data()), MessageKind::Ignored) << "video without marker";
  EXPECT_EQ(wire::ClassifyMessage(Header(0x01, 0x03, 2).data()), MessageKind::Ignored);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x01, 0x06).data()), MessageKind::Ignored);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x10, 0x70).data()), MessageKind::Ignored);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x02, 0x00, 0, 0x1D, 0xDE).data()), MessageKind::Ignored);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x02, 0x00, 0, 0x1D, 0xDF).data()), MessageKind::Invalid);
  EXPECT_EQ(wire::ClassifyMessage(Header(0x80, 0x82).data()), MessageKind::Invalid);
}

TEST(WireBuilders, StartStopGpioChannel) {
  uint8_t b[wire::kSendBufferSize];
  std::fill(std::begin(b), std::end(b), 0xEE);
  ASSERT_EQ(wire::BuildStartEncoding(b, wire::kStartAudio), 12u);
  EXPECT_EQ(std::vector<uint8_t>(b, b + 12), (std::vector<uint8_t>{1, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(wire::BuildStopEncoding(b, wire::kStopVideo), 12u);
  EXPECT_EQ(std::vector<uint8_t>(b, b + 12), (std::vector<uint8_t>{1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(wire::BuildGpioOutput(b, 0x1203), 12u);
  EXPECT_EQ(std::vector<uint8_t>(b, b + 12), (std::vector<uint8_t>{0x80, 0x83, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(wire::BuildSelectChannel(b, 2, 1), 12u);
  EXPECT_EQ(std::vector<uint8_t>(b, b + 12), (std::vector<uint8_t>{1, 8, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(WireBuilders, EncoderParamsByteForByte) {
  wire::EncoderValues v;
  v.control.maxbitrate = 0x0123;
  v.control.maxfrmrate = 25;
  v.control.maxq = 19;
  v.control.minq = 6;
  v.control.intvlintra = 30;
  v.control.motionsen = 0x07D0;
  v.control.EncMode = 2;
  v.gpioOut = 3;
  v.audmode = 1;
  v.audsen = 0xA0B0;
  v.MotionGridMask = 0x01020304;
  uint8_t b[wire::kSendBufferSize];
  std::fill(std::begin(b), std::end(b), 0xEE);
  ASSERT_EQ(wire::BuildEncoderParams(v, b, false), 48u);
  std::vector<uint8_t> expected = {1, 5, 1, 0, 0, 0x24, 0, 0, 0, 0, 0, 0,  // command 10: no flash
                                   0x23, 0x01, 25, 19, 6, 30, 0xD0, 0x07, 2, 0, 3, 0, 0, 1, 0xB0, 0xA0,
                                   4, 3, 2, 1};
  expected.resize(48, 0);
  EXPECT_EQ(std::vector<uint8_t>(b, b + 48), expected);
  wire::BuildEncoderParams(v, b, true);
  EXPECT_EQ(b[2], 0) << "command 9 asks the camera to store the settings";
}

TEST(WireBuilders, SioPutLengthsAndPadding) {
  CManage1DBUF tx;
  uint8_t b[wire::kSendBufferSize];
  EXPECT_EQ(wire::BuildSioPut(0, tx, b), 0u) << "nothing waits, nothing is built";

  const uint8_t one[] = {0x41};
  tx.PutBytes(one, 1);
  ASSERT_EQ(wire::BuildSioPut(1, tx, b), 16u);
  EXPECT_EQ(std::vector<uint8_t>(b, b + 16),
            (std::vector<uint8_t>{0x80, 0x82, 0x82, 0, 0, 4, 0, 0, 0, 0, 0, 0, 1, 1, 0x41, 0}));

  const uint8_t two[] = {1, 2};
  tx.PutBytes(two, 2);
  EXPECT_EQ(wire::BuildSioPut(0, tx, b), 16u);
  EXPECT_EQ(b[5], 4);

  const uint8_t three[] = {7, 8, 9};
  tx.PutBytes(three, 3);
  std::fill(std::begin(b), std::end(b), 0xEE);
  ASSERT_EQ(wire::BuildSioPut(0, tx, b), 18u);
  EXPECT_EQ(b[5], 6);
  EXPECT_EQ(b[13], 3);
  EXPECT_EQ(b[17], 0) << "odd counts get one zero pad byte";

  std::vector<uint8_t> many(255);
  for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i);
  tx.PutBytes(many.data(), 255);
  ASSERT_EQ(wire::BuildSioPut(0, tx, b), 268u);
  EXPECT_EQ(b[4], 1);
  EXPECT_EQ(b[5], 0);
  EXPECT_EQ(b[13], 254);
  EXPECT_EQ(b[14 + 253], 253);
  EXPECT_EQ(tx.Count(), 1u) << "the 255th byte waits for the next message";
}

// Recovers a text from the block the way the camera does.
std::string Descramble(const uint8_t* block, int at, int mixA, int mixB) {
  std::string out;
  for (int i = 0; i < 16; ++i) {
    uint8_t c = static_cast<uint8_t>(block[at + i] ^ block[mixA + i] ^ static_cast<uint8_t>(~block[mixB + i]));
    if (c == 0) break;
    out.push_back(static_cast<char>(c));
  }
  return out;
}

TEST(CredentialBlock, ScramblesBothTextsRecoverably) {
  wire::CredentialRandom random(42);
  uint8_t block[128];
  wire::BuildCredentialBlock("tansy", "secret", block, random);
  EXPECT_EQ(Descramble(block, 96, 16, 32), "tansy");
  EXPECT_EQ(Descramble(block, 112, 48, 64), "secret");
}

TEST(CredentialBlock, LongTextsAreCutAt16AndEmptyStillScrambled) {
  wire::CredentialRandom random(7);
  uint8_t block[128];
  wire::BuildCredentialBlock("abcdefghijklmnopqrs", "", block, random);
  EXPECT_EQ(Descramble(block, 96, 16, 32), "abcdefghijklmnop");
  EXPECT_EQ(Descramble(block, 112, 48, 64), "");
  bool allPlain = true;
  for (int i = 112; i < 128; ++i) allPlain &= block[i] == 0;
  EXPECT_FALSE(allPlain) << "an empty password still travels as 16 scrambled bytes";
}

TEST(CredentialBlock, FillerStaysBelow255AndDiffersPerBlock) {
  wire::CredentialRandom random;
  uint8_t a[128], b[128];
  int seen255 = 0;
  for (int round = 0; round < 200; ++round) {
    wire::BuildCredentialBlock("u", "p", a, random);
    for (int i = 0; i < 96; ++i) seen255 += a[i] == 255;
  }
  EXPECT_EQ(seen255, 0);
  wire::BuildCredentialBlock("u", "p", b, random);
  EXPECT_NE(std::vector<uint8_t>(a, a + 128), std::vector<uint8_t>(b, b + 128));
}

TEST(LoginMessage, HeaderAndSize) {
  wire::CredentialRandom random(1);
  uint8_t b[wire::kSendBufferSize];
  ASSERT_EQ(wire::BuildLoginMessage(b, false, "tansy", "tansy", random), 140u);
  EXPECT_EQ(std::vector<uint8_t>(b, b + 12), (std::vector<uint8_t>{0x10, 0x70, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0}));
  wire::BuildLoginMessage(b, true, "x", "y", random);
  EXPECT_EQ(b[1], 0x71);
  EXPECT_EQ(Descramble(b + 12, 96, 16, 32), "x");
}

TEST(SecondsSince2000, CountsLocalSecondsFrom2000) {
  EXPECT_EQ(SecondsSince2000({2000, 1, 1, 0, 0, 10, 0}), 10u);
  EXPECT_EQ(SecondsSince2000({2000, 3, 1, 0, 0, 0, 0}), (31u + 29u) * 86400u) << "2000 is a leap year";
  EXPECT_EQ(SecondsSince2000({2026, 1, 1, 12, 30, 5, 999}), 820540800u + 12 * 3600 + 30 * 60 + 5);
}

}  // namespace
