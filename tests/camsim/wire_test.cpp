#include "tools/camsim/wire.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tools/camsim/media.h"

namespace camsim {
namespace {

using wire::Bytes;

TEST(CamsimWire, CredentialsRoundTripAndCut) {
  std::mt19937 rng(7);
  struct Case {
    std::string user, password, wantUser, wantPassword;
  } cases[] = {
      {"tansy", "tansy", "tansy", "tansy"},
      {"", "secret", "", "secret"},
      {"abcdefghijklmnopqrs", "0123456789ABCDEF", "abcdefghijklmnop", "0123456789ABCDEF"},
  };
  for (const Case& c : cases) {
    Bytes m = wire::LoginRequest(c.user, c.password, rng);
    ASSERT_EQ(m.size(), 140u);
    LogEntry e;
    wire::CheckInbound(m.data(), m.size(), Channel::Video, e);
    EXPECT_EQ(e.kind, InboundKind::LoginRequest);
    EXPECT_TRUE(e.ok()) << e.problem;
    EXPECT_EQ(e.user, c.wantUser);
    EXPECT_EQ(e.password, c.wantPassword);
  }
}

TEST(CamsimWire, CredentialFillerMustBeBelow255) {
  std::mt19937 rng(1);
  Bytes m = wire::LoginRequest("tansy", "tansy", rng, true);
  m[12 + 5] = 0xFF;  // random filler is a value modulo 255
  LogEntry e;
  wire::CheckInbound(m.data(), m.size(), Channel::Video, e);
  EXPECT_EQ(e.kind, InboundKind::SwitchUserRequest);
  EXPECT_NE(e.problem.find("credential byte 5"), std::string::npos) << e.problem;
}

TEST(CamsimWire, ChecksFlagHeaderFaults) {
  struct Case {
    Bytes msg;
    Channel channel;
    InboundKind kind;
    const char* problem;  // substring, or nullptr when clean
  };
  Bytes dirtyStart = wire::StartEncoding(1);
  dirtyStart[9] = 1;
  Bytes sio3 = wire::SioPut(0, reinterpret_cast<const uint8_t*>("abc"), 3);
  Bytes badPad = sio3;
  badPad[17] = 0x55;
  Bytes enc = wire::Message(0x01, 0x05, 36, 1);
  Bytes encDirty = enc;
  encDirty[40] = 9;
  uint8_t codes[120] = {};
  Bytes talk = wire::TalkFrame(89, 0, 3, codes);
  Case cases[] = {
      {wire::StartEncoding(1), Channel::Video, InboundKind::StartVideo, nullptr},
      {wire::StartEncoding(3), Channel::Audio, InboundKind::StartAudio, nullptr},
      {wire::StopEncoding(4), Channel::Video, InboundKind::StopAudio, "audio connection"},
      {dirtyStart, Channel::Video, InboundKind::StartVideo, "unused byte 9"},
      {sio3, Channel::Video, InboundKind::SioPut, nullptr},
      {badPad, Channel::Video, InboundKind::SioPut, "unused byte 17"},
      {enc, Channel::Video, InboundKind::EncoderParams, nullptr},
      {encDirty, Channel::Video, InboundKind::EncoderParams, "unused byte 40"},
      {wire::GpioOutput(3), Channel::Video, InboundKind::GpioOutput, nullptr},
      {wire::SelectChannel(4, 0), Channel::Video, InboundKind::SelectChannel, "channel above 3"},
      {talk, Channel::Audio, InboundKind::TalkFrame, "step index above 88"},
      {wire::Message(0x02, 0x00), Channel::Video, InboundKind::Unknown, "unknown kind 02 00"},
  };
  for (const Case& c : cases) {
    LogEntry e;
    wire::CheckInbound(c.msg.data(), c.msg.size(), c.channel, e);
    EXPECT_EQ(e.kind, c.kind) << KindName(c.kind);
    if (c.problem) {
      EXPECT_NE(e.problem.find(c.problem), std::string::npos) << e.problem;
    } else {
      EXPECT_TRUE(e.ok()) << KindName(c.kind) << ": " << e.problem;
    }
  }
}

TEST(CamsimWire, SioPutLengthRule) {
  uint8_t data[255] = {};
  for (size_t c : {1u, 2u, 3u, 254u}) {
    Bytes m = wire::SioPut(1, data, c);
    EXPECT_EQ(wire::ReadLength(m.data()), (c + 3) & ~size_t{1});
    LogEntry e;
    wire::CheckInbound(m.data(), m.size(), Channel::Video, e);
    EXPECT_TRUE(e.ok()) << e.problem;
    EXPECT_EQ(e.sioData.size(), c);
  }
  Bytes wrong = wire::SioPut(0, data, 4);  // L = 6; claim 8
  wrong[4] = 0;
  wrong[5] = 8;
  wrong.resize(20, 0);
  LogEntry e;
  wire::CheckInbound(wrong.data(), wrong.size(), Channel::Video, e);
  EXPECT_NE(e.problem.find("length 8, expected 6"), std::string::npos) << e.problem;
}

TEST(CamsimWire, LoginReplyLayout) {
  LoginFields f;
  f.maxBitRate = 0x1234;
  f.motionSensitivity = 0xABCD;
  f.audioSensitivity = 0x0102;
  f.cameraId = 0x5678;
  f.motionMask = 0x01FFFFFF;
  LoginAnswer user;
  user.outcome = LoginOutcome::User;
  user.userMayGpio = true;
  Bytes m = wire::LoginReply(user, f, 1);
  ASSERT_EQ(m.size(), 32u);
  EXPECT_EQ(m[0], 0x10);
  EXPECT_EQ(m[1], 0x50);
  EXPECT_EQ(m[2], 0x30);
  EXPECT_EQ(m[10], 0x12);  // big-endian bit rate
  EXPECT_EQ(m[11], 0x34);
  EXPECT_EQ(m[12 + 5], 1);     // codec
  EXPECT_EQ(m[12 + 6], 0x78);  // camera id little-endian
  EXPECT_EQ(m[12 + 8], 1);
  EXPECT_EQ(m[12 + 9], 0);
  EXPECT_EQ(m[12 + 11], 0xAB);  // motion sensitivity big-endian
  EXPECT_EQ(m[12 + 14], 0x02);  // audio sensitivity little-endian
  EXPECT_EQ(wire::ReadLe32(&m[12 + 16]), 0x01FFFFFFu);

  LoginAnswer refused;
  refused.outcome = LoginOutcome::Refused;
  refused.refusalReason = 0x60;
  m = wire::LoginReply(refused, f, 0);
  EXPECT_EQ(m[2], 0x10);
  EXPECT_EQ(m[3], 0x60);

  LoginAnswer shortReply;
  shortReply.outcome = LoginOutcome::ShortReply;
  shortReply.shortReplyPayload = 5;
  m = wire::LoginReply(shortReply, f, 0);
  EXPECT_EQ(m.size(), 17u);
  EXPECT_EQ(wire::ReadLength(m.data()), 5);
}

TEST(CamsimWire, VideoFrameTypeFromVop) {
  std::ifstream in(std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/dq.frames", std::ios::binary);
  if (!in) GTEST_SKIP() << "reference stream missing";
  VideoClip clip;
  std::string error;
  ASSERT_TRUE(clip.Load(std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/dq.frames", error)) << error;
  ASSERT_EQ(clip.size(), 60u);
  EXPECT_EQ(clip.at(0).frameType, 2);  // intra every 30 pictures
  EXPECT_EQ(clip.at(1).frameType, 1);
  EXPECT_EQ(clip.at(30).frameType, 2);
  Bytes m = wire::VideoFrame(2, 5, 0, 77, 0x30000003, clip.at(0).payload.data(),
                             clip.at(0).payload.size());
  EXPECT_EQ(m[2], 0x85);
  EXPECT_EQ(m[6], 0x1D);
  EXPECT_EQ(m[7], 0xDE);
  EXPECT_EQ(wire::ReadLe32(&m[8]), 77u);
  EXPECT_EQ(wire::ReadLe32(&m[12]), 0x30000003u);
  EXPECT_EQ(m[16], 0x00);  // the VOP start code follows the tag
  EXPECT_EQ(m[19], 0xB6);
}

TEST(CamsimMedia, AdpcmFramesCarryTheirStartState) {
  AudioClip clip;
  std::string error;
  ASSERT_TRUE(clip.Load(AudioSource{}, error));
  AudioCursor cursor;
  CADPCM decoder;
  for (uint32_t ts = 0; ts < 5; ++ts) {
    Bytes f = clip.NextFrame(cursor, ts);
    ASSERT_EQ(f.size(), 132u);
    EXPECT_EQ(wire::ReadLe32(&f[8]), ts);
    // The header state is the state the previous frame ended with.
    EXPECT_EQ(f[3], static_cast<uint8_t>(decoder.stepIndex));
    EXPECT_EQ(static_cast<int16_t>(f[6] | f[7] << 8), decoder.predictor);
    int16_t pcm[240];
    decoder.DecodeAdpcm(&f[12], pcm, 240);
  }
  EXPECT_GT(decoder.stepIndex, 20);  // a 1 kHz tone at 8000 has settled
}

TEST(CamsimMedia, G7231FilesGiveFixed24ByteFrames) {
  const std::string base = std::string(VELMORA_REFERENCE_DIR) + "/g7231/vectors/mixed_sidfirst";
  std::ifstream probe(base + ".f24");
  if (!probe) GTEST_SKIP() << "reference vectors missing";
  for (const char* ext : {".f24", ".tco"}) {
    AudioSource s;
    s.kind = AudioKind::G7231;
    s.path = base + ext;
    AudioClip clip;
    std::string error;
    ASSERT_TRUE(clip.Load(s, error)) << error;
    EXPECT_EQ(clip.codecByte(), 1);
    AudioCursor c;
    std::ifstream f24(base + ".f24", std::ios::binary);
    std::vector<uint8_t> records((std::istreambuf_iterator<char>(f24)), std::istreambuf_iterator<char>());
    ASSERT_EQ(records.size(), 205u * 24);
    for (size_t i = 0; i < 205; ++i) {
      Bytes m = clip.NextFrame(c, static_cast<uint32_t>(i));
      ASSERT_EQ(m.size(), 36u);
      ASSERT_TRUE(std::equal(m.begin() + 12, m.end(), records.begin() + static_cast<long>(i * 24)))
          << ext << " frame " << i;
    }
  }
}

}  // namespace
}  // namespace camsim
