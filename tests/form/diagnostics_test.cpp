// The form's hidden diagnostics: pages, the status switch, the console and
// the motion-grid click.
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <atomic>
#include <chrono>
#include <functional>

#include <gtest/gtest.h>

#include "control/velmora_form.h"
#include "platform/console.h"
#include "platform/message_queue.h"
#include "platform/sound.h"
#include "shared/command_codes.h"
#include "tests/support/loopback.h"
#include "tools/camsim/camsim.h"

namespace fs = std::filesystem;
using control::FormSeams;
using control::TVelmoraX;
using platform::MouseButton;
using platform::ShiftState;

namespace {

constexpr ShiftState kCtrlAlt{false, true, true};
constexpr ShiftState kCtrlShift{true, true, false};
constexpr ShiftState kAltShift{true, false, true};
constexpr ShiftState kAll{true, true, true};

FormSeams Quiet() {
  setenv("VELMORA_AUDIO", "null", 1);
  setenv("VELMORA_VIDEO", "headless", 1);
  setenv("VELMORA_OSTRANE", "", 1);
  FormSeams s;
  s.attachArea = [](std::string*) { return std::unique_ptr<SharedAreaAttachment>(); };
  return s;
}

std::string Panel(const TVelmoraX& f, int i) { return f.StatusBar1.panels[i].text; }

TEST(Diagnostics, NineCtrlAltRightClicksCycleThePagesBackToNone) {
  TVelmoraX form(Quiet());
  for (int page = 1; page <= 8; ++page) {
    form.ActiveFormMouseDown(MouseButton::Right, kCtrlAlt, 5, 5);
    EXPECT_EQ(form.DiagnosticPage, page);
    EXPECT_TRUE(form.StatusBar1.visible);
    EXPECT_TRUE(form.Timer1.Enabled());
    EXPECT_EQ(Panel(form, 0), std::to_string(page));
    EXPECT_EQ(Panel(form, 1), "");
  }
  form.ActiveFormMouseDown(MouseButton::Right, kCtrlAlt, 5, 5);
  EXPECT_EQ(form.DiagnosticPage, 0);
  EXPECT_FALSE(form.StatusBar1.visible);
  EXPECT_FALSE(form.Timer1.Enabled());
  // Middle and plain right clicks do nothing.
  form.ActiveFormMouseDown(MouseButton::Middle, kAll, 5, 5);
  form.ActiveFormMouseDown(MouseButton::Right, {}, 5, 5);
  EXPECT_EQ(form.DiagnosticPage, 0);
}

TEST(Diagnostics, OneClickWithEveryKeyDoesAllThree) {
  const fs::path path = fs::temp_directory_path() / ("velmora-console-" + std::to_string(getpid()));
  setenv("VELMORA_CONSOLE", path.c_str(), 1);
  TVelmoraX form(Quiet());
  ASSERT_FALSE(platform::DebugConsoleIsOpen());
  form.ActiveFormMouseDown(MouseButton::Right, kAll, 1, 1);
  EXPECT_EQ(form.DiagnosticPage, 1);
  EXPECT_EQ(form.sharedArea->showStatus, 1);
  EXPECT_TRUE(platform::DebugConsoleIsOpen());
  form.ActiveFormMouseDown(MouseButton::Right, kCtrlShift, 1, 1);
  EXPECT_EQ(form.sharedArea->showStatus, 0);
  EXPECT_TRUE(platform::WriteDebugConsole("03-line\r\n"));
  // A new form closes the console; the next Alt+Shift click opens it again.
  {
    TVelmoraX other(Quiet());
    EXPECT_FALSE(platform::DebugConsoleIsOpen());
    EXPECT_FALSE(platform::WriteDebugConsole("lost\r\n"));
    other.ActiveFormMouseDown(MouseButton::Right, kAltShift, 1, 1);
    EXPECT_TRUE(platform::DebugConsoleIsOpen());
    other.ActiveFormMouseDown(MouseButton::Right, kAltShift, 1, 1);
    EXPECT_FALSE(platform::DebugConsoleIsOpen());
  }
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "03-line\r\n");
  unsetenv("VELMORA_CONSOLE");
  fs::remove(path);
}

TEST(Diagnostics, PagesShowTheEngineFigures) {
  TVelmoraX form(Quiet());
  form.link->cameraId = 0xABCD;
  form.link->firmwareVersion = 0x0105;
  form.video->framesDecoded = 7;
  form.DiagnosticPage = 3;
  form.Timer1Timer();
  EXPECT_EQ(Panel(form, 0), "3");
  EXPECT_EQ(Panel(form, 2), "fr:7");
  EXPECT_EQ(Panel(form, 3), "abcd");
  EXPECT_EQ(Panel(form, 4), " 1.05");
  EXPECT_EQ(Panel(form, 5), form.link->version);
  // "fr:" changes on every second tick only.
  form.video->framesDecoded = 9;
  form.Timer1Timer();
  EXPECT_EQ(Panel(form, 2), "fr:7");
  form.Timer1Timer();
  EXPECT_EQ(Panel(form, 2), "fr:9");


  form.DiagnosticPage = 8;
  form.link->vidconnected = 1;
  form.Timer1Timer();
  EXPECT_EQ(Panel(form, 1), "vc:1");
  EXPECT_EQ(Panel(form, 2), "ac:0");
  form.DiagnosticPage = 7;
  form.Timer1Timer();
  EXPECT_EQ(Panel(form, 2), "#:0");
  EXPECT_EQ(Panel(form, 3), "w:0");
}

// The null device, with the write cursor where the test puts it.
class CursorBuffer final : public platform::SoundBuffer {
 public:
  CursorBuffer(std::unique_ptr<platform::SoundBuffer> inner, const std::atomic<uint32_t>& cursor)
      : inner_(std::move(inner)), cursor_(cursor) {}
  bool Lock(uint32_t offset, uint32_t bytes, void** r1, uint32_t* b1, void** r2, uint32_t* b2, bool all) override {
    return inner_->Lock(offset, bytes, r1, b1, r2, b2, all);
  }
  bool Unlock(void* r1, uint32_t b1, void* r2, uint32_t b2) override { return inner_->Unlock(r1, b1, r2, b2); }
  bool Play() override { return inner_->Play(); }
  bool Stop() override { return inner_->Stop(); }
  bool SetCurrentPosition(uint32_t p) override { return inner_->SetCurrentPosition(p); }
  bool GetCurrentPosition(uint32_t* play, uint32_t* write) override {
    const bool ok = inner_->GetCurrentPosition(play, write);
    if (write) *write = cursor_.load();
    return ok;
  }
  bool SetVolume(int32_t v) override { return inner_->SetVolume(v); }
  bool GetVolume(int32_t* v) override { return inner_->GetVolume(v); }
  uint32_t Size() const override { return inner_->Size(); }

 private:
  std::unique_ptr<platform::SoundBuffer> inner_;
  const std::atomic<uint32_t>& cursor_;
};

TEST(Diagnostics, PageSixCountsFromTheWriteCursorRoundTheBuffer) {
  static std::atomic<uint32_t> cursor{0};
  class Device final : public platform::SoundDevice {
    std::unique_ptr<platform::SoundBuffer> CreateSoundBuffer(const platform::SoundFormat& f, uint32_t n) override {
      auto inner = null_->CreateSoundBuffer(f, n);
      return inner ? std::make_unique<CursorBuffer>(std::move(inner), cursor) : nullptr;
    }
    std::unique_ptr<platform::SoundDevice> null_ = platform::OpenNullSoundDevice();
  };
  platform::SetSoundDeviceOpener([] { return std::make_unique<Device>(); });
  {
    TVelmoraX form(Quiet());
    // The player opens its device on its own thread.
    ASSERT_TRUE(testing_support::PumpUntil([&] { return form.audio->soundReady == 1; }, 10000));
    form.DiagnosticPage = 6;
    form.audio->writePos = 1000;  // samples: 2000 bytes
    form.Timer1Timer();
    EXPECT_EQ(Panel(form, 1), "2000");
    EXPECT_EQ(Panel(form, 2), "0");
    EXPECT_EQ(Panel(form, 4), "2000");
    cursor = 2100;  // the device is 100 bytes ahead of the player
    form.Timer1Timer();
    EXPECT_EQ(Panel(form, 2), "2100");
    EXPECT_EQ(Panel(form, 4), "191900");
  }
  platform::SetSoundDeviceOpener(nullptr);
}

TEST(Diagnostics, EveryTickClearsThePassCountersUnlessThePageFails) {
  bool fail = false;
  FormSeams seams = Quiet();
  seams.onPage = [&](int32_t) {
    if (fail) throw std::runtime_error("injected");
  };
  TVelmoraX form(seams);
  form.link->linkPasses = 5;
  form.video->loopCount = 6;
  form.audio->passCount = 7;
  form.Timer1Timer();  // page 0 clears too
  EXPECT_EQ(form.link->linkPasses, 0);
  EXPECT_EQ(form.video->loopCount, 0);
  EXPECT_EQ(form.audio->passCount, 0u);
  form.ActiveFormMouseDown(MouseButton::Right, kCtrlAlt, 0, 0);
  ASSERT_TRUE(form.Timer1.Enabled());
  form.link->linkPasses = 5;
  fail = true;
  form.Timer1Timer();
  EXPECT_FALSE(form.Timer1.Enabled());
  EXPECT_EQ(form.link->linkPasses, 5);
  EXPECT_EQ(form.DiagnosticPage, 1);
  // The next click onto a page starts it again.
  fail = false;
  form.ActiveFormMouseDown(MouseButton::Right, kCtrlAlt, 0, 0);
  EXPECT_TRUE(form.Timer1.Enabled());
}

TEST(Diagnostics, LeftClickEditsTheGridOnlyForTheAdministrator) {
  TVelmoraX form(Quiet());
  CMy_Draw* draw = form.video->draw.get();
  if (!draw) GTEST_SKIP() << "no drawing device before the video thread has made it";
  draw->MotionGrid = 1;
  form.video->EncMode = 2;
  form.link->loginLevel = 0x30;
  const uint32_t before = draw->MotionGridMask;
  form.ActiveFormMouseDown(MouseButton::Left, {}, 10, 10);
  EXPECT_EQ(draw->MotionGridMask, before);
  form.link->loginLevel = 0x20;
  form.ActiveFormMouseDown(MouseButton::Left, kAll, 70, 10);  // column 1, row 0
  EXPECT_EQ(draw->MotionGridMask, before ^ 2u);
  form.video->EncMode = 1;
  form.ActiveFormMouseDown(MouseButton::Left, {}, 70, 10);
  EXPECT_EQ(draw->MotionGridMask, before ^ 2u);
}

TEST(Diagnostics, FormatCount) {
  EXPECT_EQ(control::FormatCount(-5), "-5");
  EXPECT_EQ(control::FormatCount8(0x1FF), "255");
}

TEST(Diagnostics, AConsoleWhoseReaderWentClosesAndTheProcessLives) {
  const fs::path fifo = fs::temp_directory_path() / ("velmora-console-fifo-" + std::to_string(getpid()));
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  setenv("VELMORA_CONSOLE", fifo.c_str(), 1);
  TVelmoraX form(Quiet());
  form.ActiveFormMouseDown(MouseButton::Right, kAltShift, 1, 1);
  ASSERT_TRUE(platform::DebugConsoleIsOpen());
  EXPECT_TRUE(platform::WriteDebugConsole("00-first\r\n"));
  char got[32] = {};
  EXPECT_EQ(read(reader, got, sizeof got), 10);
  close(reader);
  EXPECT_FALSE(platform::WriteDebugConsole("00-nobody reads\r\n"));  // no SIGPIPE ends the test
  EXPECT_FALSE(platform::DebugConsoleIsOpen());
  unsetenv("VELMORA_CONSOLE");
  fs::remove(fifo);
}


TEST(Diagnostics, LivePagesShowTheConnectionsAndTheViewers) {
  camsim::CameraSimulator cam;
  ASSERT_TRUE(cam.Start()) << cam.error();
  FormSeams seams = Quiet();
  seams.attachArea = nullptr;  // the machine's area, as a viewer
  seams.linkStartDelayMs = 0;
  setenv("VELMORA_NS", ("diagnostics" + std::to_string(getpid()) + ".").c_str(), 1);
  TVelmoraX form(seams);
  ASSERT_FALSE(form.privateArea());
  form.link->SetText(form.link->ipaddr, "127.0.0.1");
  form.link->port = static_cast<int16_t>(cam.port());
  form.link->PostCommand(CmdConnectVideo);
  form.link->PostCommand(CmdConnectAudio);
  ASSERT_TRUE(testing_support::PumpUntil(
      [&] { return form.link->videoState == 100 && form.link->audioState == 100; }, 15000));
  form.DiagnosticPage = 8;
  form.Timer1Timer();
  EXPECT_EQ(Panel(form, 1), "vc:1");
  EXPECT_EQ(Panel(form, 2), "ac:1");
  EXPECT_EQ(Panel(form, 3), "vs:100");
  EXPECT_EQ(Panel(form, 4), "as:100");
  form.DiagnosticPage = 7;
  form.Timer1Timer();
  EXPECT_EQ(Panel(form, 2), "#:1");
}

}  // namespace
