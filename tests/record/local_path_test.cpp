#include <sys/stat.h>
#include <unistd.h>

#include "record_support.h"

namespace record_test {
namespace {

using LocalPaths = RecordingFixture;

std::string Map(const std::string& name) {
  std::string path, reason;
  if (!platform::LocalPath(name, &path, &reason)) return "refused: " + reason;
  return path;
}

TEST_F(LocalPaths, DriveLettersMapUnderTheDrivesDirectory) {
  EXPECT_EQ(Map("c:\\live0"), drives + "/c/live0");
  EXPECT_EQ(Map("C:/a/b"), drives + "/c/a/b");
  EXPECT_EQ(Map("d:a"), drives + "/d/a");
  EXPECT_EQ(Map("X:\\a\\.\\b\\..\\c"), drives + "/x/a/c");
  EXPECT_EQ(Map("\\rec\\x"), drives + "/c/rec/x");
  EXPECT_EQ(Map("/var/tmp/x"), "/var/tmp/x");
  EXPECT_EQ(Map("sub\\x"), "sub/x");
  // The drive directory is made, nothing below it.
  struct stat st {};
  EXPECT_EQ(stat((drives + "/x").c_str(), &st), 0);
  EXPECT_NE(stat((drives + "/x/a").c_str(), &st), 0);
}

TEST_F(LocalPaths, NetworkNamesAndClimbingAboveTheDriveAreRefused) {
  EXPECT_EQ(Map("\\\\server\\share\\x").rfind("refused", 0), 0u);
  EXPECT_EQ(Map("c:\\..\\x").rfind("refused", 0), 0u);
  EXPECT_EQ(Map("c:\\a\\..\\..\\x").rfind("refused", 0), 0u);
  EXPECT_EQ(Map("c:\\a\\..\\x"), drives + "/c/x");
  // The recorder's box shows the name as given.
  recorder->SetRecordName("c:\\..\\up");
  Start();
  ASSERT_FALSE(Boxes().empty());
  EXPECT_EQ(Boxes()[0].first, "Fail to open file(c:\\..\\up.sdi)");
  EXPECT_NE(TraceTexts()[0].find("climbs above the drive"), std::string::npos);
}

TEST_F(LocalPaths, ANameEndsAtItsFirstNul) {
  using namespace std::string_literals;
  EXPECT_EQ(Map("c:\\rec\0.sdi"s), drives + "/c/rec");
  EXPECT_EQ(Map("c:\\a\\..\0\\x"s), drives + "/c");
  EXPECT_EQ(Map("c:\\..\0x"s).rfind("refused", 0), 0u);
}

TEST_F(LocalPaths, TheDrivesDirectoryFallsBackToTheDataHome) {
  unsetenv("VELMORA_DRIVES");
  const std::string xdg = root + "/xdg", home = root + "/home";
  const char* oldXdg = std::getenv("XDG_DATA_HOME");
  const std::string savedXdg = oldXdg ? oldXdg : "";
  const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("XDG_DATA_HOME", xdg.c_str(), 1);
  EXPECT_EQ(Map("c:\\x"), xdg + "/velmora/drives/c/x");
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", home.c_str(), 1);
  EXPECT_EQ(Map("e:\\x"), home + "/.local/share/velmora/drives/e/x");
  setenv("HOME", savedHome.c_str(), 1);
  if (oldXdg) setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
}

}  // namespace
}  // namespace record_test
