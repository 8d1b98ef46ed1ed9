#include "shared/shared_area.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/file_lock.h"
#include "tests/support/child_process.h"
#include "tests/support/runtime_files.h"

namespace {

using Role = SharedAreaAttachment::Role;
using testing_support::ChildProcess;

const std::string kHolder = std::string(VELMORA_BIN_DIR) + "/shared_area_holder";

bool ShmExists() { return access(("/dev/shm" + SharedAreaAttachment::ShmName()).c_str(), F_OK) == 0; }

uint8_t Count(const SharedAreaAttachment& a) {
  return std::atomic_ref<uint8_t>(a.area()->viewerCount).load();
}

// Every test gets a namespace of its own, so parallel runs never meet.
class SharedAreaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    ns_ = "gt" + std::to_string(getpid()) + info->name();
    setenv("VELMORA_NS", ns_.c_str(), 1);
  }
  void TearDown() override {
    EXPECT_FALSE(ShmExists()) << "left behind: " << SharedAreaAttachment::ShmName();
    shm_unlink(SharedAreaAttachment::ShmName().c_str());
    testing_support::RemoveRuntimeFiles(ns_);
    unsetenv("VELMORA_NS");
  }
  std::unique_ptr<SharedAreaAttachment> AttachOrFail(Role role) {
    std::string error;
    auto a = SharedAreaAttachment::Attach(role, &error);
    EXPECT_NE(a, nullptr) << error;
    return a;
  }
  std::string ns_;
};

TEST_F(SharedAreaTest, ViewersCountThemselvesAndTheLastOneOutUnlinks) {
  auto first = AttachOrFail(Role::Viewer);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->zeroFilled());
  EXPECT_EQ(first->viewerCountBefore(), 0);
  EXPECT_EQ(Count(*first), 1);
  EXPECT_TRUE(ShmExists());
  EXPECT_EQ(SharedAreaAttachment::ShmName(), "/velmora." + std::to_string(getuid()) + "." + ns_ + "MEMSHAREMAPPING");

  auto second = AttachOrFail(Role::Viewer);
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->zeroFilled());
  EXPECT_EQ(second->viewerCountBefore(), 1);
  EXPECT_EQ(Count(*first), 2);
  EXPECT_NE(first->area(), second->area());  // separate views of one area

  auto server = AttachOrFail(Role::Server);
  ASSERT_TRUE(server);
  EXPECT_EQ(Count(*server), 2);
  server.reset();
  EXPECT_EQ(Count(*first), 2);

  second.reset();
  EXPECT_EQ(Count(*first), 1);
  EXPECT_TRUE(ShmExists());
  first.reset();
  EXPECT_FALSE(ShmExists());
}

TEST_F(SharedAreaTest, ContentsAreSharedUntilEveryoneLeavesThenStartZeroed) {
  auto server = AttachOrFail(Role::Server);
  ASSERT_TRUE(server);
  server->area()->writeSlot = 42;
  server->area()->slots[99].frames[9].bytes[131] = 0x5A;
  auto viewer = AttachOrFail(Role::Viewer);
  ASSERT_TRUE(viewer);
  EXPECT_EQ(viewer->area()->writeSlot, 42);
  EXPECT_EQ(viewer->area()->slots[99].frames[9].bytes[131], 0x5A);
  server.reset();
  viewer.reset();

  auto again = AttachOrFail(Role::Server);
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->zeroFilled());
  EXPECT_EQ(again->area()->writeSlot, 0);
  EXPECT_EQ(again->area()->slots[99].frames[9].bytes[131], 0);
}

TEST_F(SharedAreaTest, KilledViewerLeavesNoStaleCount) {
  auto mine = AttachOrFail(Role::Viewer);
  ASSERT_TRUE(mine);
  {
    ChildProcess child({kHolder, "viewer"});
    ASSERT_TRUE(child.started());
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line));
    EXPECT_EQ(line, "attached 1");
    EXPECT_EQ(Count(*mine), 2);
    child.Kill(SIGKILL);
    child.Wait();
  }
  EXPECT_EQ(Count(*mine), 2);  // nobody noticed yet
  auto next = AttachOrFail(Role::Viewer);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->viewerCountBefore(), 1);
  EXPECT_EQ(Count(*mine), 2);
  next.reset();
  EXPECT_EQ(Count(*mine), 1);
}

TEST_F(SharedAreaTest, ViewerThatDetachesNormallyLowersTheCount) {
  auto mine = AttachOrFail(Role::Viewer);
  ASSERT_TRUE(mine);
  ChildProcess child({kHolder, "viewer"});
  std::string line;
  ASSERT_TRUE(child.ReadLine(&line));
  EXPECT_EQ(line, "attached 1");
  child.CloseStdin();
  EXPECT_EQ(child.WaitExitCode(), 0);
  EXPECT_EQ(Count(*mine), 1);
}

TEST_F(SharedAreaTest, AreaLeftByKilledLoneHolderIsZeroFilledByTheNext) {
  {
    ChildProcess child({kHolder, "server", "777"});
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line));
    EXPECT_EQ(line, "attached 0");
    child.Kill(SIGKILL);
    child.Wait();
  }
  EXPECT_TRUE(ShmExists());  // nobody unlinked it
  auto next = AttachOrFail(Role::Viewer);
  ASSERT_TRUE(next);
  EXPECT_TRUE(next->zeroFilled());
  EXPECT_EQ(next->area()->heartbeat, 0);
  EXPECT_EQ(next->viewerCountBefore(), 0);
}

TEST_F(SharedAreaTest, HeldAreaOfAnotherSizeIsRefused) {
  const std::string name = SharedAreaAttachment::ShmName();
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  ASSERT_EQ(flock(fd, LOCK_SH), 0);  // a live holder of the wrong area
  std::string error;
  auto a = SharedAreaAttachment::Attach(Role::Viewer, &error);
  EXPECT_EQ(a, nullptr);
  EXPECT_NE(error.find("size 4096"), std::string::npos) << error;
  EXPECT_EQ(platform::CountHeldLockFiles(platform::RuntimeDirectory(), SharedAreaAttachment::Key() + ".viewer."), 0);
  close(fd);
  shm_unlink(name.c_str());
}

TEST_F(SharedAreaTest, NoRuntimeDirectoryIsAnError) {
  const char* old = getenv("XDG_RUNTIME_DIR");
  const std::string saved = old ? old : "";
  setenv("XDG_RUNTIME_DIR", "/proc/self/no-such-dir", 1);
  std::string error;
  auto a = SharedAreaAttachment::Attach(Role::Server, &error);
  EXPECT_EQ(a, nullptr);
  EXPECT_FALSE(error.empty());
  if (old) {
    setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
}

TEST(FileLockTest, SecondHolderIsRefusedUntilTheFirstLetsGo) {
  const std::string path = platform::RuntimeDirectory() + "gt" + std::to_string(getpid()) + "lock";
  auto first = platform::FileLock::TryAcquire(path);
  ASSERT_TRUE(first);
  EXPECT_FALSE(platform::FileLock::TryAcquire(path));
  first.reset();
  auto second = platform::FileLock::TryAcquire(path);
  ASSERT_TRUE(second);
  second->RemoveAndRelease();
  EXPECT_NE(access(path.c_str(), F_OK), 0);
}

}  // namespace
