// velmora-view meets bad input: unknown names, values the control cannot
// take, a control not registered or not loadable, and a camera that is not
// there. Each gets a clear message and the documented exit code.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/com/typelib_format.h"
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

// Reads the child's lines until one starts with prefix; the line, or empty.
std::string WaitForLine(ChildProcess& child, const std::string& prefix, std::string* seen, int timeoutMs = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (std::string line; std::chrono::steady_clock::now() < deadline;) {
    if (!child.ReadLine(&line, 50)) continue;
    *seen += line + "\n";
    if (line.rfind(prefix, 0) == 0) return line;
  }
  return "";
}

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

// Logged in as administrator, every member is fed numbers, texts and nothing:
// each line is answered or refused, and none ends the view. The serial data
// goes through velmora-view's own memory, never through a typed address.
TEST_F(ViewInput, NoLineTypedOnStdinEndsIt) {
  ChildProcess camsim({kBin + "/camsim", "--port", "0", "--video", "none", "--audio", "none", "--quiet"});
  std::string seen;
  const std::string ports = WaitForLine(camsim, "camsim: audio on 127.0.0.1:", &seen);
  ASSERT_FALSE(ports.empty()) << seen;
  const std::string port = ports.substr(27, ports.find(',') - 27);
  // Recordings the lines start land in the test's directory.
  ChildProcess view({"/bin/sh", "-c",
                     "cd '" + dir_.string() + "' && exec " + kBin + "/velmora-view --registry '" + registry_ +
                         "' --set ipaddr=127.0.0.1 --set port=" + port + " --connect"},
                    {"VELMORA_AUDIO=null", "VELMORA_VIDEO=headless", "DISPLAY=", "VELMORA_OSTRANE=",
                     "VELMORA_MESSAGE_BOX=stderr", "VELMORA_DRIVES=" + (dir_ / "drives").string()},
                    true, true);
  const auto send = [&](const std::string& line) {
    const std::string l = line + "\n";
    ASSERT_EQ(write(view.stdinFd(), l.data(), l.size()), ssize_t(l.size()));
  };
  ASSERT_FALSE(WaitForLine(view, "32 ", &seen).empty()) << seen;

  send("call PutSIOData 0 hello there");
  ASSERT_FALSE(WaitForLine(view, "48 ", &seen).empty()) << "the camera echoes serial data: " << seen;
  send("call GetSIOData 0");
  EXPECT_EQ(WaitForLine(view, "GetSIOData", &seen), "GetSIOData -> 11 hello there") << seen;
  send("call PutSIOData 0 4096 8");
  EXPECT_FALSE(WaitForLine(view, "velmora-view: usage: call PutSIOData PORT TEXT", &seen).empty()) << seen;

  // Numbers and texts that name no other machine, should one become the address.
  const auto library = platform::typelib::LoadTypeLibData(kLib + "/libvelmora.so");
  ASSERT_TRUE(library);
  std::string lines;
  for (const auto& type : library->types) {
    if (type.name != "IVelmoraX") continue;
    for (const auto& f : type.funcs)
      for (const char* form : {"get %", "set %", "set % 0", "set % x.invalid", "call %", "call % 0 0 0 0 0",
                               "call % x.invalid x.invalid x.invalid x.invalid x.invalid"}) {
        std::string line = form;
        lines += line.replace(line.find('%'), 1, f.name) + "\n";
      }
  }
  ASSERT_GT(lines.size(), 1000u);
  ASSERT_EQ(write(view.stdinFd(), lines.data(), lines.size()), ssize_t(lines.size()));
  send("get idnum");
  EXPECT_FALSE(WaitForLine(view, "idnum = ", &seen).empty()) << "every line was taken";
  send("quit");
  EXPECT_EQ(view.WaitExitCode(20000), 0) << seen.substr(seen.size() > 4000 ? seen.size() - 4000 : 0);
}

}  // namespace
