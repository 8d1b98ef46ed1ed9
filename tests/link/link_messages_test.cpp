// The link's handling of each incoming message, fed by hand to a link whose
// thread is not running.
#include <gtest/gtest.h>

#include <thread>

#include "link_doubles.h"
#include "platform/clock.h"
#include "shared/message_numbers.h"

namespace {

using namespace link_test;

std::vector<uint8_t> LoginReply(uint8_t level, uint8_t reason, size_t payloadSize = 20) {
  std::vector<uint8_t> p = {30, 25, 3, 0x02, 1, 0, 0x34, 0x12, 1, 0, 7, 0x01, 0xF4, 4, 0x0A, 0x00, 0x21, 0x43, 0x65, 0x07};
  p.resize(payloadSize);
  auto m = Message(0x10, 0x50, level, reason, p);
  m[6] = 2;
  m[7] = 5;
  m[8] = 1;
  m[9] = 15;
  m[10] = 0x01;
  m[11] = 0x2C;
  return m;
}

TEST(LoginReplyHandling, AdministratorStoresEveryField) {
  IdleLink t;
  SharedAudioArea area{};
  area.writeSlot = 42;
  t.audio.writeSlotRef = &area.writeSlot;
  t.Feed(LoginReply(0x20, 0));
  CNetManage& l = t.link;
  EXPECT_EQ(l.loginLevel, 0x20);
  EXPECT_EQ(l.videoState, 5);
  EXPECT_EQ(l.firmwareVersion, 0x0205);
  EXPECT_EQ(t.recorder->AudioModule, 1);
  EXPECT_EQ(t.video.maxfrmrate, 15);
  EXPECT_EQ(t.video.maxbitrate, 300);
  EXPECT_EQ(t.video.intvlintra, 30);
  EXPECT_EQ(t.video.maxq, 25);
  EXPECT_EQ(t.video.minq, 3);
  EXPECT_EQ(l.gpioIn, 2);
  EXPECT_EQ(t.recorder->videoStandard, 1);
  EXPECT_EQ(t.audio.codec, 0u);
  EXPECT_EQ(t.audio.frameSize, 120u);
  EXPECT_EQ(l.cameraId, 0x1234);
  EXPECT_EQ(t.video.EncMode, 7);
  EXPECT_EQ(t.video.motionsen, 500);
  EXPECT_EQ(t.audio.audmode, 4);
  EXPECT_EQ(t.audio.audsen, 10);
  EXPECT_EQ(t.video.MotionGridMask, 0x07654321u);
  EXPECT_FLOAT_EQ(l.audioTicksPerVideoTick, 4.0f / 3.0f);
  EXPECT_EQ(l.talkReadSlot, 42);
  EXPECT_EQ(t.messages.Numbered(), (decltype(t.messages.Numbered()){{32, "login as admin"}}));
}

TEST(LoginReplyHandling, UserPermissionsGiveTheCountInTheText) {
  struct Case {
    uint8_t gpio, sio;
    const char* text;
  } cases[] = {{0, 0, "0:login as user"}, {0, 1, "1:login as user"}, {1, 0, "2:login as user"}, {1, 1, "3:login as user"}};
  for (auto c : cases) {
    IdleLink t;
    auto m = LoginReply(0x30, 0);
    m[12 + 8] = c.gpio;
    m[12 + 9] = c.sio;
    m[12 + 5] = 1;  // G.723.1
    t.Feed(m);
    EXPECT_EQ(t.link.videoState, 10);
    EXPECT_EQ(t.link.gpioAllowed, c.gpio);
    EXPECT_EQ(t.link.sioAllowed, c.sio);
    EXPECT_EQ(t.audio.frameSize, 24u);
    EXPECT_EQ(t.link.talkReadSlot, 0) << "only an administrator takes the talk index";
    EXPECT_EQ(t.messages.Numbered(), (decltype(t.messages.Numbered()){{33, c.text}}));
  }
}

TEST(LoginReplyHandling, RefusalsNameTheReasonThenFail) {
  struct Case {
    uint8_t reason;
    int number;
    const char* text;
  } cases[] = {{0x10, 34, "invalid userid or password"},
               {0x20, 34, "invalid userid or password"},
               {0x30, 35, "admin already logined"},
               {0x40, 36, "too many user logined"},
               {0x50, 37, "over max user"}};
  for (auto c : cases) {
    IdleLink t;
    t.Feed(LoginReply(0x10, c.reason));
    EXPECT_EQ(t.link.videoState, 4);
    EXPECT_EQ(t.link.audioState, 4);
    EXPECT_EQ(t.messages.Numbered(), (decltype(t.messages.Numbered()){{c.number, c.text}, {38, "login fail"}}));
  }
  IdleLink t;
  t.Feed(LoginReply(0x10, 0x60));
  EXPECT_EQ(t.messages.Numbered(), (decltype(t.messages.Numbered()){{38, "login fail"}}));
  EXPECT_EQ(t.link.videoState, 4);
}

TEST(LoginReplyHandling, ShortReplyReadsMissingFieldsAsZeroAndOtherLevelOnlyStores) {
  IdleLink t;
  t.link.gpioIn = 3;
  t.Feed(LoginReply(0x20, 0, 3));
  EXPECT_EQ(t.video.maxq, 25);
  EXPECT_EQ(t.link.gpioIn, 0);
  EXPECT_EQ(t.link.cameraId, 0);
  EXPECT_EQ(t.video.MotionGridMask, 0u);

  IdleLink o;
  o.Feed(LoginReply(0x44, 0));
  EXPECT_EQ(o.link.loginLevel, 0x44);
  EXPECT_EQ(o.link.videoState, 0);
  EXPECT_TRUE(o.messages.Numbered().empty());
}

TEST(LoginReplyHandling, AudioLoginReplyMovesNoState) {
  IdleLink t;
  t.link.videoState = 100;
  std::vector<uint8_t> p(20, 0);
  p[8] = 1;
  t.Feed(Message(0x10, 0xA0, 0x30, 0, p));
  EXPECT_EQ(t.link.loginLevel, 0x30);
  EXPECT_EQ(t.link.gpioAllowed, 1);
  t.Feed(Message(0x10, 0xA0, 0x10, 0x40, p));
  EXPECT_EQ(t.link.loginLevel, 0x30);
  EXPECT_EQ(t.link.videoState, 100);
  EXPECT_EQ(t.messages.Numbered(), (decltype(t.messages.Numbered()){
                                       {33, "2:login as user"}, {36, "too many user logined"}, {38, "login fail"}}));
}

TEST(VideoFrameHandling, TypeUsersTagAndDisplayBytes) {
  IdleLink t;
  t.link.prerecord = 1000;
  auto m = VideoFrame(0x11223344, 2, 5, 0x30000ABCu);
  m[2] = 0x85;
  m[3] = 4;
  t.Feed(m);
  EXPECT_EQ(t.link.curruser, 5);
  EXPECT_EQ(t.link.lastVideoTimestamp, 0x11223344u);
  EXPECT_EQ(t.video.newestTimestamp, 0x11223344u);
  EXPECT_EQ(t.video.motionoccur, 4);
  EXPECT_EQ(t.link.vidchannel, 3);
  EXPECT_EQ(t.messages.CountText(80, "motion occur"), 1u);
  EXPECT_EQ(t.link.framesThisSecond, 1);

  std::vector<uint8_t> shown(m.size());
  int32_t size = 0, tag = 0;
  t.video.frameQueue->PopFrame(shown.data(), &size, &tag);
  ASSERT_EQ(size, static_cast<int32_t>(m.size()));
  EXPECT_EQ(tag, 0xABC);
  EXPECT_EQ(std::vector<uint8_t>(shown.begin() + 12, shown.begin() + 16), std::vector<uint8_t>(4, 0xFF));

  t.link.preRecordVideo.PopFrameTagged(shown.data(), &size, &tag);
  EXPECT_EQ(wire::ReadLe32(&shown[12]), 0xB0000ABCu) << "type 2 in bits 30-31, channel bits kept";
}

TEST(VideoFrameHandling, DisabledDisplayStillRecords) {
  IdleLink t;
  t.link.VidEnable = 0;
  t.recorder->videoRecording = 1;
  t.Feed(VideoFrame(9, 2, 1, 0x1FFFFFF, 40, 1));
  EXPECT_EQ(t.video.frameQueue->FrameCount(), 0);
  EXPECT_EQ(t.recorder->VideoCount(), 1u);
  EXPECT_EQ(t.link.lastVideoTimestamp, 9u);
  EXPECT_EQ(t.link.curruser, 1);
  EXPECT_EQ(t.video.motionoccur, 1);
}

TEST(VideoFrameHandling, PayloadShorterThanTheTagIsDroppedWithATrace) {
  IdleLink t;
  t.recorder->videoRecording = 1;
  for (size_t n = 0; n < 4; ++n) t.Feed(VideoFrame(5, 2, 1, 0, n));
  EXPECT_EQ(t.video.frameQueue->FrameCount(), 0);
  EXPECT_EQ(t.link.framesThisSecond, 0);
  EXPECT_EQ(t.recorder->VideoCount(), 0u);
  ASSERT_EQ(t.messages.Count(255), 4u);
  EXPECT_EQ(t.messages.Texts(255)[2], "---vid:frame of 2 payload bytes skipped, shorter than its tag");
  t.Feed(VideoFrame(5, 2, 1, 0, 4));
  EXPECT_EQ(t.video.frameQueue->FrameCount(), 1);
}

TEST(VideoFrameHandling, BackedUpRingSkips17DroppableFrames) {
  IdleLink t;
  std::vector<uint8_t> filler(120001, 0);
  ASSERT_TRUE(t.link.vidRing.PutBytes(filler.data(), static_cast<uint32_t>(filler.size())));
  t.Feed(VideoFrame(1, 1));  // starts the skip, not shown
  EXPECT_EQ(CNetManage::DisplaySkipCount, 16);
  t.link.vidRing.ClearBytes();
  for (int i = 0; i < 8; ++i) t.Feed(VideoFrame(2 + i, 1));
  t.Feed(VideoFrame(20, 2));  // a key frame is shown and does not shorten the run
  EXPECT_EQ(t.video.frameQueue->FrameCount(), 1);
  for (int i = 0; i < 8; ++i) t.Feed(VideoFrame(30 + i, 1));
  EXPECT_EQ(t.video.frameQueue->FrameCount(), 1);
  EXPECT_EQ(CNetManage::DisplaySkipCount, 0);
  t.Feed(VideoFrame(40, 1));
  EXPECT_EQ(t.video.frameQueue->FrameCount(), 2);
  EXPECT_EQ(t.link.framesThisSecond, 19);
}

TEST(AudioFrameHandling, TimestampGapsResetThePlayer) {
  IdleLink t;
  t.Feed(AudioFrame(100));
  t.Feed(AudioFrame(105));
  EXPECT_EQ(t.audio.resets, 0);
  t.Feed(AudioFrame(115));
  EXPECT_EQ(t.audio.resets, 1);
  t.Feed(AudioFrame(114));
  EXPECT_EQ(t.audio.resets, 2) << "a step backwards is a gap too";
  EXPECT_EQ(t.messages.CountText(82, "Reset audio"), 2u);
  EXPECT_EQ(t.audio.lastTimestamp, 114u);
}

TEST(AudioFrameHandling, StartStateAndPayloadReachThePlayer) {
  IdleLink t;
  t.Feed(AudioFrame(1, 120, -2, 42));
  EXPECT_EQ(t.audio.lastPredictor, -2);
  EXPECT_EQ(t.audio.lastStepIndex, 42);
  EXPECT_EQ(t.audio.codedAudioRing.Count(), 120u);
  t.audio.codec = 1;
  t.Feed(AudioFrame(2, 24));
  EXPECT_EQ(t.audio.startStates, 1) << "G.723.1 frames carry no ADPCM state";
  EXPECT_EQ(t.audio.codedAudioRing.Count(), 144u);
}

TEST(AudioFrameHandling, BackedUpRingOrDisabledAudioStillRecords) {
  IdleLink t;
  t.recorder->AudioModule = 1;
  t.link.prerecord = 5000;
  std::vector<uint8_t> filler(120001, 0);
  t.link.audRing.PutBytes(filler.data(), static_cast<uint32_t>(filler.size()));
  t.Feed(AudioFrame(1));
  EXPECT_EQ(t.audio.codedAudioRing.Count(), 0u);
  EXPECT_EQ(t.link.preRecordAudio.FrameCount(), 1);
  t.link.audRing.ClearBytes();
  t.link.AudEnable = 0;
  t.recorder->audioRecording = 1;
  t.Feed(AudioFrame(2));
  EXPECT_EQ(t.audio.codedAudioRing.Count(), 0u);
  EXPECT_EQ(t.recorder->AudioCount(), 1u);
  EXPECT_EQ(t.audio.lastTimestamp, 2u);
}

TEST(SmallMessages, GpioSerialTextMaskModeValue) {
  IdleLink t;
  t.Feed(Message(0x01, 0x05, 0, 0, {}, 0, 0xFE));
  EXPECT_EQ(t.link.gpioIn, 2);
  t.Feed(Message(0x01, 0x05, 0, 0, {}, 0, 0x02));
  EXPECT_EQ(t.messages.CountText(64, "GPIO chanaged"), 1u) << "only a change is reported";

  t.Feed(Message(0x01, 0x04, 1, 0, {1, 2, 3, 4, 5, 6}, 0, 5));
  EXPECT_EQ(t.link.sioRx[1].Count(), 5u);
  t.Feed(Message(0x01, 0x04, 2, 0, {1, 2}, 0, 2));
  t.Feed(Message(0x01, 0x04, 0, 0, {9, 9}, 0, 200));
  EXPECT_EQ(t.link.sioRx[0].Count(), 2u) << "the count is capped at the payload";

  t.Feed(Message(0x01, 0x03, 1, 0, {'h', 'i', 0, 'x'}));
  t.Feed(Message(0x01, 0x03, 1, 0, {'a', 'b', 'c'}));
  EXPECT_EQ(t.messages.Texts(240), (std::vector<std::string>{"hi", "abc"}));

  auto mask = Message(0x01, 0x07, 0, 0, {});
  wire::WriteLe32(&mask[8], 0x01FFFFFF);
  t.Feed(mask);
  EXPECT_EQ(t.video.MotionGridMask, 0x01FFFFFFu);
  t.Feed(Message(0x01, 0x09, 3, 0, {}));
  EXPECT_EQ(t.video.EncMode, 3);

  auto value = Message(0x01, 0x08, 0, 0, {});
  wire::WriteLe32(&value[8], static_cast<uint32_t>(-1234));
  t.Feed(value);
  wire::WriteLe32(&value[8], 77);
  t.Feed(value);
  ASSERT_TRUE(t.messages.WaitFor(81, "", 5000, 2));
  auto texts = t.messages.Texts(81);
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{"-1234", "77"})) << "each thread reports its own value";
  EXPECT_EQ(t.link.reportedValue, 77);
}

TEST(SmallMessages, InvalidStreamStopsBothConnections) {
  IdleLink t;
  t.link.videoState = 100;
  t.link.audioState = 100;
  t.Feed(Message(0x02, 0, 0, 0, {}, 0x1D, 0xDE));
  EXPECT_EQ(t.link.videoState, 100);
  t.Feed(Message(0x02, 0, 0, 0, {}));
  EXPECT_EQ(t.link.videoState, 2);
  EXPECT_EQ(t.link.audioState, 2);
  EXPECT_EQ(t.messages.Numbered(), (decltype(t.messages.Numbered()){{23, "invalid stream"}}));
}

TEST(ParseMessage, LengthLimitAndIncompleteMessages) {
  IdleLink t;
  CManage1DBUF& ring = t.link.vidRing;
  auto big = Message(0x01, 0x06, 0, 0, std::vector<uint8_t>(60000, 1));
  ring.PutBytes(big.data(), static_cast<uint32_t>(big.size()));
  EXPECT_EQ(t.link.ParseOne(ring), ParseResult::Handled);
  EXPECT_EQ(ring.Count(), 0u);

  auto over = Message(0x01, 0x06, 0, 0, {});
  over[4] = 0xEA;
  over[5] = 0x61;  // 60001
  ring.PutBytes(over.data(), 12);
  ring.PutBytes(big.data(), 500);
  EXPECT_EQ(t.link.ParseOne(ring), ParseResult::Cleared);
  EXPECT_EQ(ring.Count(), 0u);

  auto text = Message(0x01, 0x03, 1, 0, {'o', 'k', 0});
  ring.PutBytes(text.data(), 12);
  EXPECT_EQ(t.link.ParseOne(ring), ParseResult::Incomplete);
  EXPECT_EQ(ring.Count(), 12u) << "the header waits for its payload";
  ring.PutBytes(text.data() + 12, 3);
  EXPECT_EQ(t.link.ParseOne(ring), ParseResult::Handled);
  EXPECT_EQ(t.messages.Texts(240), std::vector<std::string>{"ok"});
}

// A parsed message frees its bytes at once: with 239987 bytes stored, the
// ring takes 60012 more right after one 60012-byte message is handled.
TEST(ParseMessage, AHandledMessageLeavesNoReservationBehind) {
  IdleLink t;
  CManage1DBUF& ring = t.link.vidRing;
  auto big = Message(0x01, 0x06, 0, 0, std::vector<uint8_t>(60000, 1));
  for (int i = 0; i < 3; ++i) ring.PutBytes(big.data(), static_cast<uint32_t>(big.size()));
  auto rest = std::vector<uint8_t>(239987 - 3 * big.size(), 0);
  ASSERT_EQ(ring.PutBytes(rest.data(), static_cast<uint32_t>(rest.size())), 1);
  ASSERT_EQ(ring.Count(), 239987u);
  ASSERT_EQ(t.link.ParseOne(ring), ParseResult::Handled);
  EXPECT_EQ(ring.PutBytes(big.data(), static_cast<uint32_t>(big.size())), 1);
  EXPECT_EQ(ring.PutBytes(big.data(), 1), 1);
}

TEST(TrimPreRecord, KeepsThePrerecordSpanBehindTheNewestFrame) {
  IdleLink t;
  t.link.prerecord = 3000;
  t.recorder->AudioModule = 1;
  for (uint32_t s : {100u, 101u, 102u}) t.Feed(VideoFrame(s));
  t.Feed(VideoFrame(192));
  t.link.TrimPreRecord();
  EXPECT_EQ(t.link.preRecordVideo.FrameCount(), 2) << "91 ticks (3003 ms) go, 90 ticks (2970 ms) stay";
  uint8_t stamp[4];
  t.link.preRecordVideo.PeekFrame(stamp, 8, 4);
  EXPECT_EQ(wire::ReadLe32(stamp), 102u);
}

TEST(TrimPreRecord, LargeTimestampsAndTheAudioLimitAreExact) {
  IdleLink t;
  t.link.prerecord = 25000;
  t.recorder->AudioModule = 1;
  t.Feed(LoginReply(0x20, 0));  // 4/3 audio ticks per video tick
  const uint32_t base = 0xF0000000u;
  t.Feed(VideoFrame(base));
  t.Feed(VideoFrame(base + 700));
  t.link.TrimPreRecord();
  EXPECT_EQ(t.link.preRecordVideo.FrameCount(), 2) << "700 ticks are 23100 ms, inside 25000";
  t.Feed(VideoFrame(base + 760));
  t.link.TrimPreRecord();
  EXPECT_EQ(t.link.preRecordVideo.FrameCount(), 2) << "760 ticks are 25080 ms";

  // Oldest kept video: base + 700; the audio limit is (base + 700) * 4 / 3.
  const uint64_t limit = (uint64_t{base} + 700) * 4 / 3;
  ASSERT_GT(limit, 0xFFFFFFFFull);
  t.Feed(AudioFrame(0xFFFFFFF0u));
  t.link.TrimPreRecord();
  EXPECT_EQ(t.link.preRecordAudio.FrameCount(), 0) << "before a limit that wrapped past 32 bits";
  // Audio timestamps wrap too: one just past the wrapped limit is kept, pass after pass.
  t.Feed(AudioFrame(static_cast<uint32_t>(limit) + 10));
  t.link.TrimPreRecord();
  t.link.TrimPreRecord();
  EXPECT_EQ(t.link.preRecordAudio.FrameCount(), 1) << "after the wrapped limit";

  IdleLink s;
  s.link.prerecord = 1000;
  s.recorder->AudioModule = 1;
  s.Feed(LoginReply(0x20, 0));
  s.Feed(VideoFrame(90));  // limit 120
  for (uint32_t a : {118u, 119u, 120u, 121u}) s.Feed(AudioFrame(a));
  s.link.TrimPreRecord();
  EXPECT_EQ(s.link.preRecordAudio.FrameCount(), 2);
  s.link.preRecordVideo.ClearFrames();
  s.link.TrimPreRecord();
  EXPECT_EQ(s.link.preRecordAudio.FrameCount(), 0) << "no video kept, no audio kept";
}

}  // namespace
