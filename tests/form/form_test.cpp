// The viewer form: engine wiring, statistics timer, talk area, teardown.
#include "control/velmora_form.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/message_queue.h"
#include "shared/command_codes.h"
#include "tools/camsim/camsim.h"
#include "tests/link/link_doubles.h"
#include "tests/support/loopback.h"
#include "tests/support/process_counts.h"

namespace fs = std::filesystem;
using control::FormSeams;
using control::TVelmoraX;

namespace {

using testing_support::DescriptorCount;
using testing_support::PumpUntil;
using testing_support::ThreadCount;

struct HeadlessEnv : ::testing::Environment {
  void SetUp() override {
    setenv("VELMORA_AUDIO", "null", 1);
    setenv("VELMORA_VIDEO", "headless", 1);
    setenv("VELMORA_MESSAGE_BOX", "stderr", 1);
    setenv("VELMORA_OSTRANE", "", 1);
    setenv("VELMORA_NS", ("formtest" + std::to_string(getpid()) + ".").c_str(), 1);
  }
};
const auto* env = ::testing::AddGlobalTestEnvironment(new HeadlessEnv);


// A form on a private area, its link starting at once.
FormSeams Quick() {
  FormSeams s;
  s.attachArea = [](std::string* error) {
    *error = "test";
    return std::unique_ptr<SharedAreaAttachment>();
  };
  s.linkStartDelayMs = 0;
  return s;
}

// File mappings (the decoder library's copies among them); anonymous ones
// come and go with the allocator.
size_t FileMappings() {
  std::ifstream in("/proc/self/maps");
  size_t n = 0;
  for (std::string line; std::getline(in, line);) n += line.find(" /") != std::string::npos;
  return n;
}

TEST(FormTimer, TicksEverySecondAndOnceAfterALatePump) {
  platform::ControlledClock clock;
  platform::ScopedClock use(&clock);
  int ticks = 0;
  platform::Timer timer(1000, true, [&] { ++ticks; });
  platform::PumpMessages();
  EXPECT_EQ(ticks, 0);
  clock.Advance(999);
  platform::PumpMessages();
  EXPECT_EQ(ticks, 0);
  clock.Advance(1);
  platform::PumpMessages();
  EXPECT_EQ(ticks, 1);
  clock.Advance(5500);  // five intervals missed: one tick
  platform::PumpMessages();
  platform::PumpMessages();
  EXPECT_EQ(ticks, 2);
  timer.SetEnabled(false);
  clock.Advance(2000);
  platform::PumpMessages();
  EXPECT_EQ(ticks, 2);
}

TEST(Form, CreationWiresTheEngineAndNumbersTheInstance) {
  const uint32_t before = TVelmoraX::InstanceCounter();
  auto form = std::make_unique<TVelmoraX>(Quick());
  EXPECT_EQ(form->instanceNumber, before);
  EXPECT_EQ(TVelmoraX::InstanceCounter(), before + 1);
  EXPECT_EQ(form->link->recorder->RecordName(), "c:\\live" + std::to_string(before));
  EXPECT_EQ(form->link->video, form->video.get());
  EXPECT_EQ(form->link->audio, form->audio.get());
  EXPECT_EQ(form->link->vidSock, &form->VidSock);
  EXPECT_EQ(form->audio->instanceNumber, before);
  EXPECT_EQ(form->audio->talkSlots[99], &form->sharedArea->slots[99]);
  EXPECT_EQ(form->audio->writeSlotRef, &form->sharedArea->writeSlot);
  EXPECT_EQ(form->link->heartbeatRef, &form->sharedArea->heartbeat);
  EXPECT_EQ(form->link->showStatusRef, &form->sharedArea->showStatus);
  EXPECT_GE(std::atomic_ref<uint16_t>(form->sharedArea->heartbeat).load(), 1);
  EXPECT_TRUE(form->privateArea());
  EXPECT_TRUE(form->Statistic.Enabled());
  EXPECT_EQ(form->Statistic.Interval(), 1000u);
  EXPECT_FALSE(form->Timer1.Enabled());
  EXPECT_EQ(form->Timer1.Interval(), 500u);
  EXPECT_FALSE(form->StatusBar1.visible);
  EXPECT_EQ(form->StatusBar1.panels[0].width, 20);
  EXPECT_EQ(form->StatusBar1.panels[5].width, 55);
  EXPECT_TRUE(PumpUntil([&] { return form->link->running == 1 && form->video->running == 1; }, 10000));
  // Numbers are never given back.
  for (int i = 0; i < 4; ++i) form = std::make_unique<TVelmoraX>(Quick());
  form.reset();
  TVelmoraX fifth(Quick());
  EXPECT_EQ(fifth.instanceNumber, before + 5);
  EXPECT_EQ(fifth.link->recorder->RecordName(), "c:\\live" + std::to_string(before + 5));
}

TEST(Form, StatisticsRollOverAndAThrowingWatchdogStopsTheTimerForGood) {
  int watchdogs = 0;
  bool fail = false;
  FormSeams seams = Quick();
  seams.onWatchdog = [&] {
    ++watchdogs;
    if (fail) throw std::runtime_error("injected");
  };
  TVelmoraX form(seams);
  form.link->framesThisSecond = 25;
  form.link->videoBitsThisSecond = 10240 * 8;
  form.StatisticTimer();
  EXPECT_EQ(watchdogs, 1);
  EXPECT_EQ(form.link->frmrate, 25);
  EXPECT_EQ(form.link->avbitrate, 80);
  EXPECT_EQ(form.video->frameRate, 25);
  EXPECT_EQ(form.link->framesThisSecond, 0);
  EXPECT_TRUE(form.Statistic.Enabled());
  fail = true;
  form.StatisticTimer();
  EXPECT_EQ(watchdogs, 2);
  EXPECT_FALSE(form.Statistic.Enabled());
  // The pump no longer runs it.
  VelmoraPumpMessages(1200);
  EXPECT_EQ(watchdogs, 2);
}

TEST(Form, TheStatisticTimerRunsOnTheOwnersPump) {
  int watchdogs = 0;
  FormSeams seams = Quick();
  seams.onWatchdog = [&] { ++watchdogs; };
  TVelmoraX form(seams);
  ASSERT_TRUE(PumpUntil([&] { return watchdogs >= 2; }, 10000));
}

TEST(Form, StreamsFromTheCameraAndStopsItInOrder) {
  camsim::SimConfig config;
  config.video.fps = 15;
  camsim::CameraSimulator cam(config);
  ASSERT_TRUE(cam.Start()) << cam.error();
  link_test::Messages messages;
  auto form = std::make_unique<TVelmoraX>(Quick());
  messages.Attach(form->link->passMessage);
  form->link->SetText(form->link->ipaddr, "127.0.0.1");
  form->link->port = static_cast<int16_t>(cam.port());
  form->link->loginLevel = 0;
  form->link->PostCommand(CmdConnectVideo);
  form->link->PostCommand(CmdConnectAudio);
  ASSERT_TRUE(PumpUntil([&] { return form->link->videoState == 100 && form->link->audconnected == 1; }, 15000));
  ASSERT_TRUE(cam.WaitForFramesSent(45, std::chrono::seconds(15)));
  // The timer's roll-over runs on this thread's pump.
  ASSERT_TRUE(PumpUntil([&] { return form->link->frmrate >= 13 && form->link->frmrate <= 17; }, 15000))
      << form->link->frmrate;
  EXPECT_GT(form->link->avbitrate, 0);
  const uint64_t mark = cam.LogMark();
  const auto started = std::chrono::steady_clock::now();
  form.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3500));
  auto stopAudio = cam.WaitForInbound(camsim::InboundKind::StopAudio, std::chrono::seconds(5), mark);
  auto stopVideo = cam.WaitForInbound(camsim::InboundKind::StopVideo, std::chrono::seconds(5), mark);
  ASSERT_TRUE(stopAudio && stopVideo);
  EXPECT_TRUE(stopAudio->ok() && stopVideo->ok()) << stopAudio->problem << stopVideo->problem;
  // The camera reads its two connections in whatever order they become
  // ready; the link's own trace gives its order across them.
  const int audioStop = messages.IndexOf(255, "###aud:end-enc...");
  ASSERT_GE(audioStop, 0);
  EXPECT_LT(audioStop, messages.IndexOf(255, "---vid:end-enc..."));
}

// A stub capture server that records its pid.
std::string StubServer(const fs::path& dir) {
  const fs::path script = dir / "ostrane-stub";
  std::ofstream(script) << "#!/bin/sh\nls -l /proc/$$/fd > " << (dir / "fds").string() << "\necho $$ >> "
                         << (dir / "started").string() << "\n";
  fs::permissions(script, fs::perms::owner_all);
  return script.string();
}

TEST(FormArea, TwoViewersCountTwoAndStartTheServerOnce) {
  const fs::path dir = fs::temp_directory_path() / ("velmora-form-" + std::to_string(getpid()));
  fs::create_directories(dir);
  setenv("VELMORA_OSTRANE", StubServer(dir).c_str(), 1);
  setenv("VELMORA_NS", ("formarea" + std::to_string(getpid()) + ".").c_str(), 1);
  const std::string shm = "/dev/shm" + SharedAreaAttachment::ShmName();
  {
    FormSeams seams;
    seams.linkStartDelayMs = 0;
    TVelmoraX first(seams);
    ASSERT_FALSE(first.privateArea());
    EXPECT_EQ(first.sharedArea->viewerCount, 1);
    TVelmoraX second(seams);
    EXPECT_EQ(first.sharedArea->viewerCount, 2);
    EXPECT_TRUE(fs::exists(shm));
    ASSERT_TRUE(PumpUntil([&] { return fs::exists(dir / "started"); }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::ifstream in(dir / "started");
    int lines = 0;
    std::string pid;
    for (std::string l; std::getline(in, l);) {
      ++lines;
      pid = l;
    }
    EXPECT_EQ(lines, 1);
    // The server holds nothing of the viewer: no area, no lock, no socket.
    std::ifstream fds(dir / "fds");
    const std::string held((std::istreambuf_iterator<char>(fds)), std::istreambuf_iterator<char>());
    EXPECT_EQ(held.find("/dev/shm"), std::string::npos) << held;
    EXPECT_EQ(held.find("MEMSHAREMAPPING"), std::string::npos) << held;
    EXPECT_EQ(held.find("socket:"), std::string::npos) << held;
    // Ended, it is reaped: no zombie is left under the host.
    EXPECT_TRUE(PumpUntil([&] { return !fs::exists("/proc/" + pid); }, 10000)) << "server " << pid << " not reaped";
  }
  EXPECT_FALSE(fs::exists(shm));
  setenv("VELMORA_OSTRANE", "", 1);
  fs::remove_all(dir);
}

TEST(Form, HundredFormsLeaveNoDescriptorThreadOrMapping) {
  { TVelmoraX warm(Quick()); }
  const size_t fds = DescriptorCount();
  const size_t threads = ThreadCount();
  const size_t maps = FileMappings();
  for (int i = 0; i < 100; ++i) TVelmoraX form(Quick());
  EXPECT_EQ(DescriptorCount(), fds);
  EXPECT_EQ(ThreadCount(), threads);
  EXPECT_EQ(FileMappings(), maps);
}

}  // namespace
