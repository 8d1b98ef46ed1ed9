// velmora-view meets bad input: unknown names, values the control cannot
// take, a control not registered or not loadable, and a camera that is not
// there. Each gets a clear message and the documented exit code.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ChildProcess;

const std::string kBin = VELMORA_BIN_DIR;
const std::string kLib = VELMORA_LIB_DIR;

struct Outcome {
  int exitCode = -1;
  std::string output;  // stdout and stderr together
};

class ViewInput : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velmora-view-input-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    registry_ = (dir_ / "registry").string();
    const std::string command =
        "VELMORA_REGISTRY='" + registry_ + "' " + kBin + "/velmora-regsvr " + kLib + "/libvelmora.so >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Outcome View(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), kBin + "/velmora-view");
    ChildProcess child(args, {"VELMORA_AUDIO=null", "VELMORA_VIDEO=headless", "DISPLAY=", "VELMORA_OSTRANE=",
                              "VELMORA_MESSAGE_BOX=stderr"},
                       true, true);
    if (!input.empty()) {
      EXPECT_EQ(write(child.stdinFd(), input.data(), input.size()), ssize_t(input.size()));
    }
    child.CloseStdin();
    Outcome o;
    for (std::string line; child.ReadLine(&line, 15000);) o.output += line + "\n";
    o.exitCode = child.WaitExitCode(15000);
    return o;
  }

  fs::path dir_;
  std::string registry_;
};

TEST_F(ViewInput, UnknownNamesAndBadValuesOnTheCommandLineEndIt) {
  Outcome o = View({"--registry", registry_, "--set", "bogus=1"});
  EXPECT_EQ(o.exitCode, 2);
  EXPECT_NE(o.output.find("no property or method bogus"), std::string::npos) << o.output;
  o = View({"--registry", registry_, "--set", "port=abc"});
  EXPECT_EQ(o.exitCode, 2);
  EXPECT_NE(o.output.find("bad value for port: abc"), std::string::npos) << o.output;
  o = View({"--registry", registry_, "--frobnicate"});
  EXPECT_EQ(o.exitCode, 2);
  EXPECT_NE(o.output.find("usage: velmora-view"), std::string::npos) << o.output;
}

TEST_F(ViewInput, OnStdinABadLineIsReportedAndTheNextOneRuns) {
  const Outcome o = View({"--registry", registry_}, "get bogus\nset port abc\nfly away\nget port\nquit\n");
  EXPECT_EQ(o.exitCode, 0) << o.output;
  EXPECT_NE(o.output.find("no property or method bogus"), std::string::npos) << o.output;
  EXPECT_NE(o.output.find("bad value for port: abc"), std::string::npos) << o.output;
  EXPECT_NE(o.output.find("unknown command: fly away"), std::string::npos) << o.output;
  EXPECT_NE(o.output.find("port = 700"), std::string::npos) << o.output;
}

TEST_F(ViewInput, AControlNotRegisteredOrNotLoadableIsNamed) {
  const std::string empty = (dir_ / "empty").string();
  Outcome o = View({"--registry", empty});
  EXPECT_EQ(o.exitCode, 3);
  EXPECT_NE(o.output.find(empty), std::string::npos) << o.output;
  EXPECT_NE(o.output.find("velmora-regsvr"), std::string::npos) << o.output;

  // The registered library is not a library.
  for (const auto& entry : fs::recursive_directory_iterator(registry_))
    if (entry.path().filename() == "@" && entry.path().parent_path().filename() == "InprocServer32") {
      const fs::path fake = dir_ / "not-a-library.so";
      std::ofstream(fake) << "text";
      std::ofstream(entry.path()) << fake.string();
    }
  o = View({"--registry", registry_});
  EXPECT_EQ(o.exitCode, 3);
  EXPECT_NE(o.output.find("not-a-library.so"), std::string::npos) << o.output;
}

TEST_F(ViewInput, AnUnreachableCameraIsReportedAndTheViewGoesOn) {
  // Port 1 on loopback refuses.
  const Outcome o = View({"--registry", registry_, "--set", "ipaddr=127.0.0.1", "--set", "port=1", "--connect",
                          "--seconds", "3"});
  EXPECT_EQ(o.exitCode, 0) << o.output;
  const std::string lines = "\n" + o.output;  // a message may come before the first statistics
  EXPECT_NE(lines.find("\n18 "), std::string::npos) << o.output;
  EXPECT_NE(lines.find("\n21 "), std::string::npos) << o.output;
  EXPECT_NE(o.output.find("stats "), std::string::npos) << "it kept running: " << o.output;
}

}  // namespace
