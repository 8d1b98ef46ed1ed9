// The socket handlers and the statistics steps, driven by hand.
#include "engine/link_events.h"

#include <sys/resource.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <gtest/gtest.h>

#include "link_doubles.h"
#include "shared/command_codes.h"
#include "shared/message_numbers.h"
#include "tests/support/loopback.h"

namespace {

using namespace link_test;
using testing_support::LoopbackServer;
using testing_support::PumpUntil;

std::vector<int32_t> TakeCommands(CNetManage& link) {
  std::vector<int32_t> out;
  int32_t code;
  while (link.commands.GetBytes(&code, 4)) out.push_back(code);
  return out;
}

struct EventsFixture : IdleLink {
  LinkEvents events{link};
};

TEST(StatisticTimer, RollsTheSecondOver) {
  EventsFixture t;
  t.link.videoBitsThisSecond = 10240 * 8;
  t.link.audioBitsThisSecond = 1023;
  t.link.framesThisSecond = 29;
  t.link.talkBitsThisSecond = 3 * 10560;
  t.events.StatisticTimer();
  EXPECT_EQ(t.link.avbitrate, 80);
  EXPECT_EQ(t.link.audbitrate, 0);
  EXPECT_EQ(t.link.frmrate, 29);
  EXPECT_EQ(t.video.frameRate, 29u);
  EXPECT_EQ(t.link.talkKbps, 31u);
  EXPECT_EQ(t.link.videoBitsThisSecond, 0u);
  EXPECT_EQ(t.link.framesThisSecond, 0);
  EXPECT_EQ(t.link.talkBitsThisSecond, 0u);
}

TEST(StatisticTimer, UnansweredConnectIsDroppedAtThe31stTick) {
  EventsFixture t;
  t.link.vidConnecting = 1;
  t.link.audConnecting = 1;
  for (int i = 0; i < 30; ++i) t.events.StatisticTimer();
  EXPECT_EQ(t.link.vidConnecting, 1);
  t.events.StatisticTimer();
  EXPECT_EQ(t.link.vidConnecting, 0);
  EXPECT_EQ(t.link.audConnecting, 0);
}

TEST(StatisticTimer, SilentVideoEndsBothOnceAtThe30thSecond) {
  EventsFixture t;
  t.link.vidconnected = 1;
  for (int i = 0; i < 29; ++i) {
    t.link.videoBitsThisSecond = 1000;  // under 1024 bits is silence
    t.events.StatisticTimer();
  }
  EXPECT_TRUE(TakeCommands(t.link).empty());
  t.events.StatisticTimer();
  EXPECT_EQ(TakeCommands(t.link), (std::vector<int32_t>{CmdDisconnectAudio, CmdDisconnectVideo}));
  t.events.StatisticTimer();
  EXPECT_TRUE(TakeCommands(t.link).empty());
  t.link.videoBitsThisSecond = 1024;
  t.events.StatisticTimer();
  EXPECT_EQ(t.link.secondsWithoutVideo, 0);
}

TEST(StatisticTimer, SilentAudioResetsAtThreeAndEndsAtThirty) {
  EventsFixture t;
  t.link.vidconnected = 1;
  t.link.audconnected = 1;
  for (int i = 0; i < 30; ++i) {
    t.link.videoBitsThisSecond = 100000;
    t.events.StatisticTimer();
    if (i == 1) {
      EXPECT_EQ(t.audio.resets, 0);
    }
    if (i == 2) {
      EXPECT_EQ(t.audio.resets, 1);
    }
  }
  EXPECT_EQ(t.audio.resets, 1);
  EXPECT_EQ(TakeCommands(t.link), std::vector<int32_t>{CmdDisconnectAudio});
}

TEST(StatisticTimer, AudioWithoutVideoIsEndedEveryTickFromTheSixth) {
  EventsFixture t;
  t.link.audconnected = 1;
  for (int i = 0; i < 5; ++i) {
    t.link.audioBitsThisSecond = 50000;
    t.events.StatisticTimer();
  }
  EXPECT_TRUE(TakeCommands(t.link).empty());
  t.link.audioBitsThisSecond = 50000;
  t.events.StatisticTimer();
  t.link.audioBitsThisSecond = 50000;
  t.events.StatisticTimer();
  EXPECT_EQ(TakeCommands(t.link), (std::vector<int32_t>{CmdDisconnectAudio, CmdDisconnectAudio}));
  t.link.audconnected = 0;
  t.events.StatisticTimer();
  EXPECT_EQ(t.link.secondsAudioOnly, 0);
}

// A client socket connected to a loopback listener, for the read handlers.
struct Connected {
  Connected() {
    socket.SetHost("127.0.0.1");
    socket.SetPort(server.port());
    socket.Open();
    peer = server.Accept();
    PumpUntil([&] { return socket.Connected(); });
  }
  void Send(size_t n, uint8_t value = 0x42) {
    std::vector<uint8_t> bytes(n, value);
    LoopbackServer::SendAll(peer, bytes.data(), n);
  }
  LoopbackServer server;
  platform::ClientSocket socket;
  int peer = -1;
};

void FillRing(CManage1DBUF& ring, uint32_t leaveFree) {
  std::vector<uint8_t> filler(CManage1DBUF::kCapacity - leaveFree, 0);
  ASSERT_TRUE(ring.PutBytes(filler.data(), static_cast<uint32_t>(filler.size())));
}

TEST(ReadHandlers, OneByteIsStoredAndCounted) {
  EventsFixture t;
  Connected c;
  c.Send(1);
  ASSERT_TRUE(PumpUntil([&] {
    t.events.VidSockRead(c.socket);
    return t.link.vidRing.Count() == 1;
  }));
  EXPECT_EQ(t.link.videoBitsThisSecond, 8u);
}

TEST(ReadHandlers, FullRingGivesOneOverCapacityResponse) {
  EventsFixture t;
  Connected c;
  t.link.vidconnected = 1;
  t.link.audconnected = 1;
  FillRing(t.link.vidRing, 10);
  c.Send(100);
  ASSERT_TRUE(PumpUntil([&] {
    t.events.VidSockRead(c.socket);
    return t.link.videoBitsThisSecond > 0;
  }));
  EXPECT_EQ(t.link.videoBitsThisSecond, 800u) << "refused bytes still count";
  EXPECT_EQ(t.link.vidconnected, 0);
  EXPECT_EQ(t.link.audconnected, 0);
  EXPECT_EQ(TakeCommands(t.link), (std::vector<int32_t>{CmdDisconnectAudio, CmdDisconnectVideo}));
  ASSERT_TRUE(t.messages.WaitFor(22, "over capacity"));

  c.Send(50);
  ASSERT_TRUE(PumpUntil([&] {
    t.events.VidSockRead(c.socket);
    return t.link.videoBitsThisSecond > 800;
  }));
  EXPECT_TRUE(TakeCommands(t.link).empty());
  EXPECT_EQ(t.messages.CountText(255, "over capacity: 50 bytes dropped"), 1u) << "later losses are still told";
  EXPECT_EQ(t.messages.Count(22), 1u);
  EXPECT_EQ(t.events.RefusedBytes(), 150u);
}

TEST(ReadHandlers, AudioRingOverflowWithoutVideoIsReportedToo) {
  EventsFixture t;
  Connected c;
  t.link.audconnected = 1;
  FillRing(t.link.audRing, 10);
  c.Send(100);
  ASSERT_TRUE(PumpUntil([&] {
    t.events.AudSockRead(c.socket);
    return t.link.audioBitsThisSecond > 0;
  }));
  EXPECT_EQ(TakeCommands(t.link), std::vector<int32_t>{CmdDisconnectAudio}) << "no video to disconnect";
  EXPECT_TRUE(t.messages.WaitFor(22, "over capacity"));
  EXPECT_EQ(t.link.audconnected, 0);
}

TEST(ConnectionHandlers, FlagsCommandsAndErrorCodes) {
  EventsFixture t;
  Connected c;
  t.link.vidConnecting = 1;
  t.events.VidSockConnect(c.socket);
  EXPECT_EQ(t.link.vidconnected, 1);
  EXPECT_EQ(t.link.vidConnecting, 0);
  t.events.AudSockConnect(c.socket);
  EXPECT_EQ(t.link.audconnected, 1);
  EXPECT_EQ(TakeCommands(t.link), (std::vector<int32_t>{CmdVideoConnected, CmdAudioConnected}));

  t.link.videoState = 100;
  int code = 10054;
  t.events.VidSockError(c.socket, code);
  EXPECT_EQ(code, 0) << "the handler deals with the error";
  EXPECT_EQ(t.link.vidSockError, 10054);
  EXPECT_EQ(t.link.videoState, 0);
  EXPECT_FALSE(c.socket.Connected());
  code = 10060;
  t.events.AudSockError(c.socket, code);
  EXPECT_EQ(t.link.audSockError, 10060);
  EXPECT_EQ(t.audio.resets, 1);
  t.events.VidSockDisconnect(c.socket);
  t.events.AudSockDisconnect(c.socket);
  EXPECT_EQ(TakeCommands(t.link),
            (std::vector<int32_t>{CmdVideoError, CmdAudioError, CmdVideoClosed, CmdAudioClosed}));
  EXPECT_EQ(t.link.audconnected, 0);
}

TEST(ReportThreads, TheLinkWaitsForItsReporters) {
  std::atomic<int> finished{0};
  {
    IdleLink t;
    for (int i = 0; i < 20; ++i)
      t.link.StartReportThread(
          [&finished] {
            platform::RealSleep(20);
            ++finished;
          },
          "test report");
  }
  EXPECT_EQ(finished, 20);
}

// The camera decides how many reports come; past the bound they are traced
// and dropped instead of piling up threads.
TEST(ReportThreads, ReportsPastTheBoundAreTracedAndDropped) {
  IdleLink t;
  std::atomic<bool> release{false};
  std::atomic<int> ran{0};
  const size_t extra = 5;
  for (size_t i = 0; i < ReportThreads::kMaxAlive + extra; ++i)
    t.link.StartReportThread(
        [&] {
          while (!release) platform::RealSleep(1);
          ++ran;
        },
        "value report");
  EXPECT_EQ(t.link.reporters.Pending(), ReportThreads::kMaxAlive);
  EXPECT_EQ(t.messages.Count(255), extra);
  EXPECT_EQ(t.messages.Texts(255)[0], "---value report dropped: no thread for it");
  release = true;
  t.link.reporters.JoinAll();
  EXPECT_EQ(ran, static_cast<int>(ReportThreads::kMaxAlive));
}

// Without a thread to be had (a small address-space limit), the report is
// lost with a trace line and the process lives on.
void ReportWithoutAddressSpace() {
  IdleLink t;
  size_t pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%zu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  const rlim_t room = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (24u << 20);
  rlimit small{room, room};
  setrlimit(RLIMIT_AS, &small);
  for (int i = 0; i < 50; ++i) t.link.StartReportThread([] { platform::RealSleep(5); }, "value report");
  t.link.reporters.JoinAll();
  const size_t traced = t.messages.Count(255);
  std::fprintf(stderr, "lived traced=%zu\n", traced);
  std::_Exit(traced > 0 ? 0 : 1);
}

TEST(ReportThreads, NoThreadToBeHadLosesOnlyThatReport) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory needs more address space than the limit leaves";
#endif
  EXPECT_EXIT(ReportWithoutAddressSpace(), ::testing::ExitedWithCode(0), "lived");
}

// A sink that destroys the link while a report is being delivered runs on
// the report's own thread: the link's teardown must neither join that thread
// nor end the process.
TEST(ReportThreads, TheLinkCanBeDestroyedFromInsideAReport) {
  VideoPeer video;
  FakeAudio audio;
  platform::ClientSocket vidSock, audSock;
  auto* link = new CNetManage(std::make_unique<FakeRecorder>(), 0);
  link->video = &video;
  link->audio = &audio;
  link->vidSock = &vidSock;
  link->audSock = &audSock;
  std::atomic<bool> destroyed{false};
  link->passMessage.Set([&](int32_t number, const char*) {
    if (number != 81) return;
    delete link;
    destroyed = true;
  });
  auto value = Message(0x01, 0x08, 0, 0, {});
  value[8] = 7;
  link->HandleMessage(value.data(), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!destroyed && std::chrono::steady_clock::now() < deadline) platform::RealSleep(1);
  EXPECT_TRUE(destroyed);
}

}  // namespace
