// The ostrane program, spawned with a namespace of its own, a 20 ms tick and
// a tone source; the test plays the viewer through the shared area.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_lock.h"
#include "shared/shared_area.h"
#include "tests/support/child_process.h"
#include "tests/support/runtime_files.h"
#include "tests/support/wait.h"

namespace {

using testing_support::ChildProcess;

const std::string kOstrane = std::string(VELMORA_BIN_DIR) + "/ostrane";

bool WaitFor(const std::function<bool()>& done, int timeoutMs = 20000) {
  return testing_support::WaitUntil(done, timeoutMs);
}

bool ShmExists() { return access(("/dev/shm" + SharedAreaAttachment::ShmName()).c_str(), F_OK) == 0; }

std::string LockPath() { return platform::RuntimeDirectory() + platform::VelmoraNamespace() + "MyProgram.lock"; }

bool LockIsFree() { return platform::FileLock::TryAcquire(LockPath()) != nullptr; }

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    ns_ = "gp" + std::to_string(getpid()) + info->name();
    setenv("VELMORA_NS", ns_.c_str(), 1);
  }
  void TearDown() override {
    StopBeating();
    viewer_.reset();
    EXPECT_FALSE(ShmExists());
    testing_support::RemoveRuntimeFiles(ns_);
    unsetenv("VELMORA_NS");
  }

  std::unique_ptr<ChildProcess> Spawn(const std::string& capture = "test:sine:440", bool mergeStderr = false,
                                      const std::string& display = "") {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{kOstrane},
        std::vector<std::string>{"OSTRANE_CAPTURE=" + capture, "OSTRANE_TICK_MS=20", "DISPLAY=" + display}, false,
        mergeStderr);
  }

  SharedAudioArea& Viewer() {
    if (!viewer_) {
      std::string error;
      viewer_ = SharedAreaAttachment::Attach(SharedAreaAttachment::Role::Viewer, &error);
      EXPECT_TRUE(viewer_) << error;
    }
    return *viewer_->area();
  }
  void StartBeating() {
    SharedAudioArea& area = Viewer();
    beating_ = true;
    beater_ = std::thread([this, &area] {
      while (beating_) {
        std::atomic_ref<uint16_t>(area.heartbeat).fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  void StopBeating() {
    beating_ = false;
    if (beater_.joinable()) beater_.join();
  }
  int32_t WriteSlot() { return std::atomic_ref<int32_t>(Viewer().writeSlot).load(std::memory_order_acquire); }
  // Waits until writeSlot has moved n times; false on timeout.
  bool SlotsWritten(int n) {
    int32_t last = WriteSlot();
    for (int i = 0; i < n; ++i) {
      if (!WaitFor([&] { return WriteSlot() != last; })) return false;
      last = WriteSlot();
    }
    return true;
  }
  template <typename T>
  void Store(T& field, T value) {
    std::atomic_ref<T>(field).store(value);
  }

  std::string ns_;
  std::unique_ptr<SharedAreaAttachment> viewer_;
  std::atomic<bool> beating_{false};
  std::thread beater_;
};

TEST_F(ProgramTest, WithoutHeartbeatItEndsByItselfAndFreesAreaAndLock) {
  auto server = Spawn();
  ASSERT_TRUE(server->started());
  EXPECT_EQ(server->WaitExitCode(30000), 0);
  EXPECT_FALSE(ShmExists());
  EXPECT_TRUE(LockIsFree());
}

TEST_F(ProgramTest, BeatsKeepItUpAndItEndsOnceTheyStop) {
  StartBeating();
  auto server = Spawn();
  ASSERT_TRUE(SlotsWritten(6));  // 1.8 s: three watchdog windows
  EXPECT_TRUE(server->Running());
  StopBeating();
  EXPECT_EQ(server->WaitExitCode(30000), 0);
  EXPECT_TRUE(LockIsFree());
  EXPECT_EQ(std::atomic_ref<uint8_t>(Viewer().viewerCount).load(), 1);
  viewer_.reset();
  EXPECT_FALSE(ShmExists());
}

TEST_F(ProgramTest, ASecondInstanceLeavesAtOnceAndTheFirstKeepsWriting) {
  StartBeating();
  auto first = Spawn();
  ASSERT_TRUE(SlotsWritten(1));
  auto second = Spawn();
  EXPECT_EQ(second->WaitExitCode(), 0);
  EXPECT_TRUE(SlotsWritten(2));
  EXPECT_TRUE(first->Running());
  first->Kill(SIGTERM);
  EXPECT_EQ(first->WaitExitCode(), 0);
}

TEST_F(ProgramTest, OfTenStartedAtOnceOneStays) {
  StartBeating();
  std::vector<std::unique_ptr<ChildProcess>> servers;
  for (int i = 0; i < 10; ++i) servers.push_back(Spawn());
  ASSERT_TRUE(WaitFor([&] {
    int done = 0;
    for (auto& s : servers) done += s->Running() ? 0 : 1;
    return done == 9;
  }));
  ASSERT_TRUE(SlotsWritten(2));
  int running = 0;
  for (auto& s : servers) {
    if (s->Running()) {
      ++running;
      s->Kill(SIGTERM);
    }
    EXPECT_EQ(s->WaitExitCode(), 0);
  }
  EXPECT_EQ(running, 1);
}

TEST_F(ProgramTest, EachStopSignalClosesItCleanly) {
  StartBeating();
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    auto server = Spawn();
    ASSERT_TRUE(SlotsWritten(1));
    server->Kill(sig);
    EXPECT_EQ(server->WaitExitCode(), 0) << sig;
    EXPECT_TRUE(LockIsFree()) << sig;
  }
}

TEST_F(ProgramTest, ARestartKeepsRingAndViewersAndZeroesTheOtherTwo) {
  StartBeating();
  auto server = Spawn();
  ASSERT_TRUE(SlotsWritten(2));
  server->Kill(SIGTERM);
  ASSERT_EQ(server->WaitExitCode(), 0);
  StopBeating();
  const int32_t before = WriteSlot();
  Store<int16_t>(Viewer().showStatus, 1);
  Store<uint16_t>(Viewer().heartbeat, 500);
  auto again = Spawn();
  ASSERT_TRUE(WaitFor([&] {
    return std::atomic_ref<uint16_t>(Viewer().heartbeat).load() == 0 &&
           std::atomic_ref<int16_t>(Viewer().showStatus).load() == 0;
  }));
  EXPECT_EQ(std::atomic_ref<uint8_t>(Viewer().viewerCount).load(), 1);
  StartBeating();
  ASSERT_TRUE(SlotsWritten(1));
  EXPECT_EQ(WriteSlot(), (before + 1) % kTalkSlotCount);
  again->Kill(SIGTERM);
  EXPECT_EQ(again->WaitExitCode(), 0);
}

TEST_F(ProgramTest, AScribbledWriteSlotIsReplacedByTheRightNextValue) {
  StartBeating();
  auto server = Spawn();
  ASSERT_TRUE(SlotsWritten(1));
  const int32_t seen = WriteSlot();
  const int32_t scribble = (seen + 50) % kTalkSlotCount;
  Store<int32_t>(Viewer().writeSlot, scribble);
  ASSERT_TRUE(WaitFor([&] { return WriteSlot() != scribble; }));
  const int32_t next = WriteSlot();
  // Its own index runs on; one more slot may have come between our read and
  // our scribble.
  EXPECT_TRUE(next == (seen + 1) % kTalkSlotCount || next == (seen + 2) % kTalkSlotCount) << seen << " " << next;
  server->Kill(SIGTERM);
  EXPECT_EQ(server->WaitExitCode(), 0);
}

TEST_F(ProgramTest, StatusLineComesAndGoes) {
  StartBeating();
  auto server = Spawn("test:sine:440", true);
  ASSERT_TRUE(SlotsWritten(1));
  Store<int16_t>(Viewer().showStatus, 1);
  std::string line;
  ASSERT_TRUE(server->ReadLine(&line));
  EXPECT_EQ(line.rfind("Ostrane: [#u:1] [p:", 0), 0u) << line;
  EXPECT_NE(line.find("] [rc:"), std::string::npos) << line;
  Store<int16_t>(Viewer().showStatus, 0);
  ASSERT_TRUE(SlotsWritten(2));  // 30 ticks
  while (server->ReadLine(&line, 100)) {
  }
  ASSERT_TRUE(SlotsWritten(2));
  EXPECT_FALSE(server->ReadLine(&line, 100)) << line;
  server->Kill(SIGTERM);
  EXPECT_EQ(server->WaitExitCode(), 0);
}

TEST_F(ProgramTest, AnAreaOfTheWrongSizeEndsItWithOneLine) {
  const std::string name = SharedAreaAttachment::ShmName();
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 1000), 0);
  ASSERT_EQ(flock(fd, LOCK_SH), 0);
  auto server = Spawn("test:sine:440", true);
  std::string line, extra;
  ASSERT_TRUE(server->ReadLine(&line));
  EXPECT_EQ(line.rfind("ostrane: ", 0), 0u) << line;
  EXPECT_EQ(server->WaitExitCode(), 1);
  EXPECT_FALSE(server->ReadLine(&extra, 100)) << extra;
  void* p = mmap(nullptr, 1000, PROT_READ, MAP_SHARED, fd, 0);
  ASSERT_NE(p, MAP_FAILED);
  const auto* bytes = static_cast<const uint8_t*>(p);
  EXPECT_TRUE(std::all_of(bytes, bytes + 1000, [](uint8_t b) { return b == 0; }));
  munmap(p, 1000);
  close(fd);
  shm_unlink(name.c_str());
  EXPECT_TRUE(LockIsFree());
}

TEST_F(ProgramTest, AnUnknownSourceIsLoggedOnceAndTheServerStaysForTheWatchdog) {
  StartBeating();
  auto server = Spawn("microphone-of-nowhere", true);
  std::string line;
  ASSERT_TRUE(server->ReadLine(&line));
  EXPECT_EQ(line, "[Stop] Diduzuv create Error!");
  EXPECT_TRUE(server->Running());
  StopBeating();
  EXPECT_EQ(server->WaitExitCode(30000), 0);
  EXPECT_FALSE(server->ReadLine(&line, 100)) << line;
  EXPECT_EQ(WriteSlot(), 0);
}

}  // namespace
