// The server's form in-process: the area as the server sees it, the status
// model, and the heartbeat watchdog tick by tick.
#include "talkserver/ostrane.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "talk_test_support.h"
#include "tests/support/runtime_files.h"

namespace {

using namespace talktest;

// Keeps every state the form shows.
class RecordingWindow : public platform::StatusWindow {
 public:
  explicit RecordingWindow(std::vector<platform::StatusWindowState>* log) : log_(log) {}
  void Update(const platform::StatusWindowState& state) override { log_->push_back(state); }
  void ProcessEvents() override {}

 private:
  std::vector<platform::StatusWindowState>* log_;
};

template <typename T>
T Load(T& field) {
  return std::atomic_ref<T>(field).load();
}
template <typename T>
void Store(T& field, T value) {
  std::atomic_ref<T>(field).store(value);
}

class FormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    ns_ = "gf" + std::to_string(getpid()) + info->name();
    setenv("VELMORA_NS", ns_.c_str(), 1);
    std::string error;
    viewer_ = SharedAreaAttachment::Attach(SharedAreaAttachment::Role::Viewer, &error);
    ASSERT_TRUE(viewer_) << error;
  }
  void TearDown() override {
    form_.reset();
    viewer_.reset();
    testing_support::RemoveRuntimeFiles(ns_);
    unsetenv("VELMORA_NS");
  }
  TOstrane& Create(const char* source = "test:silence") {
    TOstrane::Options options;
    const std::string s = source;
    options.captureOpener = [s] { return platform::OpenCaptureDevice(s); };
    options.window = std::make_unique<RecordingWindow>(&shown_);
    form_ = std::make_unique<TOstrane>(std::move(options));
    std::string error;
    EXPECT_TRUE(form_->FormCreate(&error)) << error;
    return *form_;
  }
  SharedAudioArea& Area() { return *viewer_->area(); }

  std::string ns_;
  std::unique_ptr<SharedAreaAttachment> viewer_;
  std::unique_ptr<TOstrane> form_;
  std::vector<platform::StatusWindowState> shown_;
};

TEST_F(FormTest, WithoutHeartbeatItClosesAtTheThirtiethTick) {
  TOstrane& form = Create();
  for (int tick = 1; tick < 30; ++tick) {
    form.Timer1Timer();
    ASSERT_FALSE(form.closeRequested()) << tick;
  }
  form.Timer1Timer();
  EXPECT_TRUE(form.closeRequested());
}

TEST_F(FormTest, BeatsKeepItUpAndItClosesThirtyToSixtyTicksAfterTheLast) {
  TOstrane& form = Create();
  for (int tick = 1; tick <= 100; ++tick) {
    std::atomic_ref<uint16_t>(Area().heartbeat).fetch_add(1);
    form.Timer1Timer();
    ASSERT_FALSE(form.closeRequested()) << tick;
  }
  int ticks = 0;
  while (!form.closeRequested() && ticks < 100) {
    form.Timer1Timer();
    ++ticks;
  }
  EXPECT_GE(ticks, 30);
  EXPECT_LE(ticks, 60);
}

TEST_F(FormTest, AHeartbeatThatComesBackToTheSameValueStillCounts) {
  TOstrane& form = Create();
  for (int tick = 1; tick <= 30; ++tick) {
    // Advanced by 65536 between two checks: seen on the way.
    Store<uint16_t>(Area().heartbeat, tick == 10 ? 1 : 0);
    form.Timer1Timer();
  }
  EXPECT_FALSE(form.closeRequested());
  for (int tick = 1; tick <= 30; ++tick) form.Timer1Timer();
  EXPECT_TRUE(form.closeRequested());
}

TEST_F(FormTest, StartZeroesSwitchAndHeartbeatButKeepsRingAndViewers) {
  Store<int32_t>(Area().writeSlot, 42);
  Store<int16_t>(Area().showStatus, 1);
  Store<uint16_t>(Area().heartbeat, 999);
  Create();
  EXPECT_EQ(Load(Area().showStatus), 0);
  EXPECT_EQ(Load(Area().heartbeat), 0);
  EXPECT_EQ(Load(Area().writeSlot), 42);
  EXPECT_EQ(Load(Area().viewerCount), 1);
  EXPECT_EQ(form_->capture() != nullptr, true);
  ASSERT_FALSE(shown_.empty());
  EXPECT_FALSE(shown_.back().shown);  // hidden at start
}

TEST_F(FormTest, StatusShowsFourPanelsAtEightyPixelsAndHidesAgain) {
  TOstrane& form = Create();
  Store<uint8_t>(Area().viewerCount, 200);  // shown signed
  Store<uint16_t>(Area().heartbeat, 65535);
  Store<int16_t>(Area().showStatus, 1);
  form.Timer1Timer();
  EXPECT_TRUE(form.shown());
  EXPECT_EQ(form.height(), 80);
  EXPECT_TRUE(form.statusBar().visible);
  EXPECT_EQ(form.statusBar().panels[0], "#u:-56");
  EXPECT_EQ(form.statusBar().panels[1], "p:" + std::to_string(Load(Area().writeSlot)));
  EXPECT_EQ(form.statusBar().panels[3], "rc:65535");
  const auto& state = shown_.back();
  EXPECT_TRUE(state.shown);
  EXPECT_EQ(state.width, 317);
  EXPECT_EQ(state.height, 80);
  EXPECT_EQ(state.label, "Audio Server Start....");
  EXPECT_EQ(state.panels.size(), 4u);

  Store<int16_t>(Area().showStatus, 0);
  form.Timer1Timer();
  EXPECT_FALSE(form.shown());
  EXPECT_EQ(form.height(), 74);
  EXPECT_FALSE(form.statusBar().visible);
  EXPECT_FALSE(shown_.back().shown);
}

TEST_F(FormTest, LoopCountIsTakenAndZeroedEachTick) {
  TOstrane& form = Create();
  Store<int16_t>(Area().showStatus, 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (form.capture()->loopCount.load() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  form.Timer1Timer();
  EXPECT_GE(std::stoul(form.statusBar().panels[2]), 3u);
  EXPECT_LT(form.capture()->loopCount.load(), 1000u);
}

TEST_F(FormTest, CloseStopsCaptureThenDetachesAndLeavesTheViewerCount) {
  TOstrane& form = Create("test:sine:440");
  form.FormClose();
  EXPECT_EQ(form.capture(), nullptr);
  EXPECT_EQ(form.area(), nullptr);
  EXPECT_EQ(Load(Area().viewerCount), 1);
  form.Timer1Timer();  // after close: nothing
  form.FormClose();    // twice: harmless
}

TEST(TickInterval, BadValuesGiveOneSecond) {
  const char* cases[][2] = {{"20", "20"}, {"", "1000"}, {"abc", "1000"}, {"0", "1000"},
                            {"-5", "1000"}, {"20ms", "1000"}, {"99999999999", "1000"}};
  for (auto& c : cases) {
    setenv("OSTRANE_TICK_MS", c[0], 1);
    EXPECT_EQ(TickIntervalFromEnvironment(), uint32_t(std::stoul(c[1]))) << c[0];
  }
  unsetenv("OSTRANE_TICK_MS");
  EXPECT_EQ(TickIntervalFromEnvironment(), 1000u);
}

}  // namespace
