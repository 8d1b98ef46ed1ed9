// The decoder copy's file handling and module loading.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "platform/files.h"
#include "platform/module.h"
#include "video_test_support.h"

namespace {

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(DecoderCopyFiles, ReplacingACopyLeavesAMappedOldCopyIntact) {
  video_test::SystemDir dir("");
  const std::string src = dir.Path() + "/src", dst = dir.Path() + "/dst";
  WriteFile(src, std::string(8192, 'a'));
  ASSERT_TRUE(platform::CopyFileReplacing(src, dst));
  const int fd = open(dst.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  void* mapped = mmap(nullptr, 8192, PROT_READ, MAP_PRIVATE, fd, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  struct stat before {};
  fstat(fd, &before);

  WriteFile(src, std::string(100, 'b'));
  ASSERT_TRUE(platform::CopyFileReplacing(src, dst));
  EXPECT_EQ(static_cast<const char*>(mapped)[8191], 'a') << "the old file was not truncated";
  struct stat after {};
  ASSERT_EQ(lstat(dst.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_TRUE(S_ISREG(after.st_mode));
  EXPECT_EQ(after.st_size, 100);
  munmap(mapped, 8192);
  close(fd);
}

TEST(DecoderCopyFiles, AFailedCopyLeavesNothingBehind) {
  video_test::SystemDir dir("");
  const std::string dst = dir.Path() + "/dst";
  WriteFile(dst, "old");
  EXPECT_FALSE(platform::CopyFileReplacing(dir.Path() + "/missing", dst));
  EXPECT_FALSE(platform::CopyFileReplacing(dir.Path(), dst)) << "a directory is no library";
  std::ifstream in(dst);
  std::string text;
  in >> text;
  EXPECT_EQ(text, "old");
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) entries += e.is_regular_file();
  EXPECT_EQ(entries, 1) << "no temporary file left";
}

TEST(DecoderCopyFiles, SystemDirectoryFromTheEnvironmentOrWhereTheCodeWasLoaded) {
  {
    video_test::SystemDir dir("");
    EXPECT_EQ(platform::SystemDirectory(), dir.Path());
  }
  // This test program lives in build/bin; its libraries in build/lib.
  const std::string found = platform::SystemDirectory();
  EXPECT_EQ(std::filesystem::canonical(found), std::filesystem::canonical(VELMORA_LIB_DIR));
}

TEST(Modules, LoadingByPathAndLookingUpExports) {
  const std::string path = video_test::FakeLibrary();
  platform::ModuleHandle module = platform::LoadModule(path);
  ASSERT_NE(module, nullptr) << platform::ModuleError();
  EXPECT_NE(platform::ModuleSymbol(module, "DecoderFrame"), nullptr);
  EXPECT_EQ(platform::ModuleSymbol(module, "NoSuchExport"), nullptr);
  EXPECT_EQ(platform::ModulePathOf(platform::ModuleSymbol(module, "DecoderFrame")), path);
  EXPECT_TRUE(platform::FreeModule(module));
  EXPECT_EQ(platform::LoadModule("/nonexistent/libquenda.so"), nullptr);
  EXPECT_FALSE(platform::ModuleError().empty());
}

}  // namespace
