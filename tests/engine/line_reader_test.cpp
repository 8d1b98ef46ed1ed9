// The engine host's stdin reader: bounded work per turn, whole lines only,
// over-long lines skipped, and the host program ends on time under a flood.
#include "tools/common/line_reader.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

using cli::LineReader;

// A source that always has more of a repeated text ready.
struct Endless {
  std::string text;
  size_t at = 0;
  size_t handedOut = 0;
  long operator()(char* buffer, size_t size) {
    for (size_t i = 0; i < size; ++i) buffer[i] = text[at++ % text.size()];
    handedOut += size;
    return static_cast<long>(size);
  }
};

TEST(LineReader, AnEndlessWriterGetsOnlyATurnsWorth) {
  Endless source{"y\n"};
  LineReader reader([&](char* b, size_t n) { return source(b, n); });
  const auto turn = reader.Turn();
  EXPECT_EQ(source.handedOut, LineReader::kBytesPerTurn);
  EXPECT_EQ(turn.lines.size(), LineReader::kBytesPerTurn / 2);
  EXPECT_EQ(turn.lines.front(), "y");
}

TEST(LineReader, LinesSplitAcrossReadsComeOutWholeAndOverlongOnesAreSkipped) {
  std::string input = "gpio 1\nsio 0 ab";
  input += "c\n" + std::string(LineReader::kMaxLine + 10, 'x') + "\n";
  input += std::string(LineReader::kMaxLine, 'z') + "\nquit";
  size_t at = 0;
  LineReader reader([&](char* b, size_t n) -> long {
    if (at == input.size()) return -1;
    const size_t k = std::min<size_t>({n, 7, input.size() - at});  // small reads split lines
    input.copy(b, k, at);
    at += k;
    return static_cast<long>(k);
  });
  std::vector<std::string> lines;
  size_t overlong = 0;
  for (int i = 0; i < 10; ++i) {
    auto turn = reader.Turn();
    lines.insert(lines.end(), turn.lines.begin(), turn.lines.end());
    overlong += turn.overlong;
  }
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "gpio 1");
  EXPECT_EQ(lines[1], "sio 0 abc");
  EXPECT_EQ(lines[2], std::string(LineReader::kMaxLine, 'z')) << "a line of exactly the cap is kept";
  EXPECT_EQ(overlong, 1u);
  EXPECT_FALSE(reader.AtEnd()) << "an unfinished last line waits";
}

// Input that ends without a newline still ends its last line; an over-long
// one is skipped and counted as any other.
TEST(LineReader, AtEndOfInputAPendingPartialLineIsALine) {
  for (const std::string& last : {std::string("get port"), std::string(LineReader::kMaxLine + 1, 'x')}) {
    std::string input = "get Caption\n" + last;
    LineReader reader([&](char* b, size_t n) -> long {
      const size_t k = std::min(n, input.size());
      input.copy(b, k);
      input.erase(0, k);
      return static_cast<long>(k);
    });
    const auto turn = reader.Turn();
    const bool overlong = last.size() > LineReader::kMaxLine;
    std::vector<std::string> expected{"get Caption"};
    if (!overlong) expected.push_back(last);
    EXPECT_EQ(turn.lines, expected);
    EXPECT_EQ(turn.overlong, overlong ? 1u : 0u);
    EXPECT_TRUE(reader.AtEnd());
  }
}

TEST(LineReader, EndOfInputIsRemembered) {
  int calls = 0;
  LineReader reader([&](char*, size_t) -> long {
    ++calls;
    return 0;
  });
  reader.Turn();
  reader.Turn();
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_EQ(calls, 1);
}

// Asked for, the usage goes to stdout with success; a usage error keeps 2.
TEST(EngineHostProgram, HelpIsUsageOnStdoutAndSuccess) {
  const std::string engine = std::string(VELMORA_BIN_DIR) + "/velmora-engine";
  EXPECT_EQ(std::system((engine + " --help 2>/dev/null | grep -q '^usage: velmora-engine HOST'").c_str()), 0);
  EXPECT_EQ(std::system((engine + " --help >/dev/null 2>&1").c_str()), 0);
  EXPECT_EQ(WEXITSTATUS(std::system((engine + " --frobnicate >/dev/null 2>&1").c_str())), 2);
}

// The other programs as well; ostrane, in a runtime directory of its own, makes nothing there.
TEST(ToolPrograms, HelpIsUsageOnStdoutAndABadOptionUsageOnStderr) {
  char dir[] = "/tmp/velmora-usage-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string env = "XDG_RUNTIME_DIR=" + std::string(dir) + " VELMORA_NS=" + std::string(dir + 5) +
                          " OSTRANE_CAPTURE=none DISPLAY= timeout -k 2 5 " VELMORA_BIN_DIR "/";
  for (const std::string name :
       {"velmora-view", "velmora-recinfo", "quenda-decode", "g7231-decode", "velmora-regsvr", "ostrane"})
    for (const std::string arg : {" --help", " -h", " --frobnicate"}) {
      const bool bad = arg == " --frobnicate";
      FILE* p = popen((env + name + arg + (bad ? " 2>&1 >/dev/null" : " 2>/dev/null")).c_str(), "r");
      std::string out(4096, '\0');
      out.resize(std::fread(out.data(), 1, out.size(), p));
      EXPECT_EQ(WEXITSTATUS(pclose(p)), bad ? 2 : 0) << name << arg;
      EXPECT_EQ(out.rfind("usage: " + name, 0), 0u) << name << arg << ": " << out;
    }
  EXPECT_EQ(std::filesystem::remove_all(dir), 1u);  // the directory alone: no lock, no area
}

TEST(EngineHostProgram, AFloodOnStdinDoesNotHoldItPastItsDeadline) {
  // Port 1 on loopback refuses; the host keeps retrying until its deadline.
  // A loop frozen by the endless input is killed by timeout (status 124).
  const std::string command = "timeout -k 5 60 sh -c \"yes '' | " + std::string(VELMORA_BIN_DIR) +
                              "/velmora-engine 127.0.0.1 1 admin admin --seconds 2\" >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
