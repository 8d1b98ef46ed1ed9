// The capture server with what it meets: a real X display (or an Xvfb of the
// test's own), real ALSA through a file plugin, and a whole talk road from
// the server through velmora-engine to the camera simulator.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/own_display.h"
#include "shared/shared_area.h"
#include "talk_test_support.h"
#include "talkserver/audio_in.h"
#include "tests/support/child_process.h"
#include "tests/support/runtime_files.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ChildProcess;
using namespace talktest;

const std::string kBin = VELMORA_BIN_DIR;

bool WaitFor(const std::function<bool()>& done, int timeoutMs = 20000) {
  return testing_support::WaitUntil(done, timeoutMs, 1);
}

class TalkSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    ns_ = "gs" + std::to_string(getpid()) + info->name();
    setenv("VELMORA_NS", ns_.c_str(), 1);
    dir_ = fs::temp_directory_path() / ("velmora-talk-" + ns_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    EXPECT_NE(access(("/dev/shm" + SharedAreaAttachment::ShmName()).c_str(), F_OK), 0);
    fs::remove_all(dir_);
    testing_support::RemoveRuntimeFiles(ns_);
    unsetenv("VELMORA_NS");
  }
  std::string ns_;
  fs::path dir_;
};

// ---------------------------------------------------------------- X11 --

struct WindowSeen {
  bool found = false;
  bool viewable = false;
  int width = 0, height = 0;
};

WindowSeen FindStatusWindow(Display* d, pid_t) {
  WindowSeen seen;
  Window root = DefaultRootWindow(d), parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(d, root, &root, &parent, &children, &count)) return seen;
  for (unsigned i = 0; i < count; ++i) {
    char* name = nullptr;
    if (XFetchName(d, children[i], &name) && name) {
      if (std::string(name) == "Ostrane") {
        XWindowAttributes a;
        if (XGetWindowAttributes(d, children[i], &a)) {
          seen.found = true;
          seen.viewable = a.map_state == IsViewable;
          seen.width = a.width;
          seen.height = a.height;
        }
      }
      XFree(name);
    }
  }
  if (children) XFree(children);
  return seen;
}

TEST_F(TalkSystem, StatusWindowMapsAtEightyPixelsAndUnmaps) {
  testing_support::OwnDisplay display;
  std::string why;
  if (!display.Start(&why)) GTEST_SKIP() << why;
  Display* d = XOpenDisplay(nullptr);
  ASSERT_NE(d, nullptr);
  std::string error;
  auto viewer = SharedAreaAttachment::Attach(SharedAreaAttachment::Role::Viewer, &error);
  ASSERT_TRUE(viewer) << error;
  SharedAudioArea& area = *viewer->area();
  std::atomic<bool> beating{true};
  std::thread beater([&] {
    while (beating) {
      std::atomic_ref<uint16_t>(area.heartbeat).fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  {
    ChildProcess server({kBin + "/ostrane"},
                        {"OSTRANE_CAPTURE=test:silence", "OSTRANE_TICK_MS=20", std::string("DISPLAY=") + getenv("DISPLAY")},
                        false);
    WindowSeen seen;
    ASSERT_TRUE(WaitFor([&] { return (seen = FindStatusWindow(d, server.pid())).found; }));
    EXPECT_FALSE(seen.viewable);  // hidden at start
    std::atomic_ref<int16_t>(area.showStatus).store(1);
    ASSERT_TRUE(WaitFor([&] {
      seen = FindStatusWindow(d, server.pid());
      return seen.viewable;
    }));
    EXPECT_EQ(seen.width, 317);
    EXPECT_EQ(seen.height, 80);
    std::atomic_ref<int16_t>(area.showStatus).store(0);
    ASSERT_TRUE(WaitFor([&] { return !FindStatusWindow(d, server.pid()).viewable; }));
    server.Kill(SIGTERM);
    EXPECT_EQ(server.WaitExitCode(), 0);
  }
  beating = false;
  beater.join();
  XCloseDisplay(d);
}

// --------------------------------------------------------------- ALSA --

TEST_F(TalkSystem, AlsaSlotsCarryTheFilesAudioAtTheSampleRate) {
  // Ten seconds of a tone with noise, fed by ALSA's file plugin.
  std::vector<int16_t> input(80000);
  std::mt19937 random(5);
  std::normal_distribution<double> noise(0, 3000);
  for (size_t i = 0; i < input.size(); ++i)
    input[i] = int16_t(std::clamp(9000 * std::sin(i * 2 * M_PI * 300 / 8000) + noise(random), -32768.0, 32767.0));
  const fs::path raw = dir_ / "in.raw";
  {
    std::ofstream out(raw, std::ios::binary);
    out.write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size() * 2));
  }
  const fs::path conf = dir_ / "asound.conf";
  std::ofstream(conf) << "pcm.!default {\n  type file\n  slave.pcm { type null }\n  file \"/dev/null\"\n  infile \""
                      << raw.string() << "\"\n  format \"raw\"\n}\n";
  setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
  if (!platform::OpenAlsaCaptureDevice("default")) GTEST_SKIP() << "ALSA cannot be opened here";

  auto area = std::make_unique<SharedAudioArea>();
  for (int i = 0; i < kTalkSlotCount; ++i) slotTable[i] = &area->slots[i];
  slotTable[kTalkSlotCount] = &area->writeSlot;
  frameSequence.store(0);
  auto writeSlot = [&] { return std::atomic_ref<int32_t>(area->writeSlot).load(std::memory_order_acquire); };
  {
    CAudioIn in(8000, [] { return platform::OpenCaptureDevice("alsa"); });
    const auto start = std::chrono::steady_clock::now();
    in.StartCaptureThread();
    constexpr int kSlots = 26;  // 7.8 s
    std::vector<double> seen(kSlots + 1);  // when each slot was first seen, in s
    for (int k = 1; k <= kSlots; ++k) {
      ASSERT_TRUE(WaitFor([&] { return writeSlot() >= k; }, 60000));
      seen[k] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    // Slot k is due k x 300 ms after the device's clock starts, and load can
    // only make it (or our look at it) later. The least late of the first
    // six and of the last six show that clock, whatever the start cost; the
    // rate is measured between them.
    auto leastLate = [&](int from) {
      int best = from;
      for (int k = from; k < from + 6; ++k)
        if (seen[k] - k * 0.3 < seen[best] - best * 0.3) best = k;
      return best;
    };
    const int first = leastLate(1), last = leastLate(kSlots - 5);
    const double rate = (last - first) * 2400 / (seen[last] - seen[first]);
    EXPECT_NEAR(rate, 8000, 160) << "slots " << first << " and " << last;
  }
  CADPCM codec;
  uint32_t sequence = 0;
  for (int s = 0; s < 26; ++s) {
    const TalkSlot expected = ExpectedSlot(input.data() + 2400 * s, codec, sequence);
    ASSERT_EQ(std::memcmp(&expected, &area->slots[s], sizeof expected), 0) << "slot " << s;
  }
  for (auto& p : slotTable) p = nullptr;
  unsetenv("ALSA_CONFIG_PATH");
}

// --------------------------------------------------------- end to end --

// Reads lines as they come, so the child never blocks on a full pipe.
class LineReader {
 public:
  explicit LineReader(ChildProcess& child) : child_(child) {}
  bool WaitForLine(const std::function<bool(const std::string&)>& match, int timeoutMs = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      std::string line;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      if (!child_.ReadLine(&line, int(std::min<int64_t>(left.count(), 50)))) continue;
      lines.push_back(line);
      if (match(line)) return true;
    }
  }
  void Drain() {
    std::string line;
    while (child_.ReadLine(&line, 10)) lines.push_back(line);
  }
  std::vector<std::string> lines;

 private:
  ChildProcess& child_;
};

TEST_F(TalkSystem, TalkFlowsFromTheServerThroughTheEngineToTheCamera) {
  const fs::path talkOut = dir_ / "talk.raw";
  ChildProcess camsim({kBin + "/camsim", "--port", "0", "--talk-out", talkOut.string()});
  LineReader cam(camsim);
  std::string port;
  ASSERT_TRUE(cam.WaitForLine([&](const std::string& l) {
    const auto at = l.find("audio on 127.0.0.1:");
    if (at == std::string::npos) return false;
    port = l.substr(at + 19, l.find(',', at) - at - 19);
    return true;
  }));
  // The server's 30-tick watchdog window (3 s) must outlast the engine's
  // first second without heartbeats, with room for a late start under load.
  ChildProcess server({kBin + "/ostrane"}, {"OSTRANE_CAPTURE=test:sine:440", "OSTRANE_TICK_MS=100", "DISPLAY="},
                      false);
  ChildProcess engine({kBin + "/velmora-engine", "127.0.0.1", port, "tansy", "tansy", "--shared-area"},
                      {"VELMORA_AUDIO=null", "VELMORA_VIDEO=headless"});
  LineReader eng(engine);
  // Logged in as administrator and the audio connection up, in either order.
  bool admin = false, audio = false;
  ASSERT_TRUE(eng.WaitForLine([&](const std::string& l) {
    admin = admin || l.rfind("32 ", 0) == 0;
    audio = audio || l.rfind("19 ", 0) == 0;
    return admin && audio;
  }));
  // Talk waits for the camera's first audio frame; camsim streams it at once.
  const std::string on = "talk on\n";
  ASSERT_EQ(write(engine.stdinFd(), on.data(), on.size()), ssize_t(on.size()));
  int talkFrames = 0;
  ASSERT_TRUE(cam.WaitForLine([&](const std::string& l) {
    if (l.find("TalkFrame") != std::string::npos) ++talkFrames;
    return talkFrames >= 70;  // 2.1 s
  }, 60000));
  const std::string quit = "quit\n";
  ASSERT_EQ(write(engine.stdinFd(), quit.data(), quit.size()), ssize_t(quit.size()));
  cam.Drain();
  EXPECT_EQ(engine.WaitExitCode(), 0);
  // No viewer beats any more: the server ends by itself.
  EXPECT_EQ(server.WaitExitCode(30000), 0);
  cam.Drain();

  int frames = 0;
  for (const auto& l : cam.lines) {
    if (l.find("TalkFrame") == std::string::npos) continue;
    ++frames;
    EXPECT_NE(l.find("TalkFrame ok"), std::string::npos) << l;  // sequence and header checks passed
  }
  EXPECT_GE(frames, 70);
  std::ifstream in(talkOut, std::ios::binary);
  std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  ASSERT_GE(samples.size(), 70u * 240);
  EXPECT_GT(ToneShare(samples.data(), samples.size(), 440), 0.8);
  EXPECT_LT(ToneShare(samples.data(), samples.size(), 1000), 0.01);
}

}  // namespace
