#include "platform/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Restores one environment variable at the end of a test.
class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    if (const char* v = getenv(name)) old_ = v;
  }
  ~EnvGuard() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-registry-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    root_ = dir_ / "root";
    setenv("VELMORA_REGISTRY", root_.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  EnvGuard guard_{"VELMORA_REGISTRY"};
  fs::path dir_, root_;
};

TEST_F(Registry, ValuesAreFilesInKeyDirectories) {
  ASSERT_TRUE(platform::RegistrySetValue("HKCR\\Velmora.VelmoraX\\CLSID", "", "{ABC}"));
  ASSERT_TRUE(platform::RegistrySetValue("HKCR\\CLSID\\{ABC}\\InprocServer32", "ThreadingModel", "Apartment"));
  ASSERT_TRUE(platform::RegistrySetValue("HKCR\\CLSID\\{ABC}\\Control", "", ""));
  EXPECT_EQ(ReadFile(root_ / "HKCR/Velmora.VelmoraX/CLSID/@"), "{ABC}") << "no trailing newline";
  EXPECT_EQ(ReadFile(root_ / "HKCR/CLSID/{ABC}/InprocServer32/=ThreadingModel"), "Apartment");
  EXPECT_TRUE(fs::is_regular_file(root_ / "HKCR/CLSID/{ABC}/Control/@"));
  EXPECT_EQ(fs::file_size(root_ / "HKCR/CLSID/{ABC}/Control/@"), 0u);

  EXPECT_EQ(platform::RegistryQueryValue("HKCR\\Velmora.VelmoraX\\CLSID"), "{ABC}");
  EXPECT_EQ(platform::RegistryQueryValue("HKCR\\CLSID\\{ABC}\\Control"), "");
  EXPECT_EQ(platform::RegistryQueryValue("HKCR\\CLSID\\{ABC}\\InprocServer32"), std::nullopt)
      << "a key without a default value has none";
  EXPECT_EQ(platform::RegistryQueryValue("HKCR\\Nowhere"), std::nullopt);
  EXPECT_EQ(platform::RegistryValueNames("HKCR\\CLSID\\{ABC}\\InprocServer32"),
            std::vector<std::string>{"ThreadingModel"});
  EXPECT_EQ(platform::RegistrySubKeys("HKCR\\CLSID\\{ABC}"), (std::vector<std::string>{"Control", "InprocServer32"}));

  // Overwriting leaves only the value file: the temporary file was renamed.
  ASSERT_TRUE(platform::RegistrySetValue("HKCR\\Velmora.VelmoraX\\CLSID", "", "{DEF}\nsecond line"));
  EXPECT_EQ(platform::RegistryQueryValue("HKCR\\Velmora.VelmoraX\\CLSID"), "{DEF}\nsecond line");
  int files = 0;
  for (auto& e : fs::directory_iterator(root_ / "HKCR/Velmora.VelmoraX/CLSID")) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST_F(Registry, LookupsIgnoreCaseAndWritesKeepTheStoredName) {
  ASSERT_TRUE(platform::RegistrySetValue("HKCR\\CLSID\\{abc}\\InprocServer32", "ThreadingModel", "Apartment"));
  EXPECT_TRUE(platform::RegistryKeyExists("hkcr\\clsid\\{ABC}\\INPROCSERVER32"));
  EXPECT_EQ(platform::RegistryQueryValue("HKCR\\CLSID\\{ABC}\\inprocserver32", "threadingmodel"), "Apartment");
  ASSERT_TRUE(platform::RegistrySetValue("hkcr\\CLSID\\{ABC}\\inprocserver32", "THREADINGMODEL", "Both"));
  EXPECT_EQ(platform::RegistrySubKeys("HKCR\\CLSID"), std::vector<std::string>{"{abc}"}) << "no second key";
  EXPECT_EQ(platform::RegistryValueNames("HKCR\\CLSID\\{abc}\\InprocServer32"),
            std::vector<std::string>{"ThreadingModel"});
  EXPECT_EQ(platform::RegistryQueryValue("HKCR\\CLSID\\{abc}\\InprocServer32", "ThreadingModel"), "Both");
}

TEST_F(Registry, DeletingAKeyDeletesItsTreeAndNothingElse) {
  ASSERT_TRUE(platform::RegistrySetValue("HKCR\\CLSID\\{A}\\Verb\\0", "", "Properties,0,2"));
  ASSERT_TRUE(platform::RegistrySetValue("HKCR\\CLSID\\{A}\\Verb", "", ""));
  ASSERT_TRUE(platform::RegistrySetValue("HKCR\\CLSID\\{B}", "", "other"));
  EXPECT_TRUE(platform::RegistryDeleteKey("HKCR\\clsid\\{a}"));
  EXPECT_FALSE(platform::RegistryKeyExists("HKCR\\CLSID\\{A}"));
  EXPECT_FALSE(platform::RegistryKeyExists("HKCR\\CLSID\\{A}\\Verb\\0"));
  EXPECT_EQ(platform::RegistryQueryValue("HKCR\\CLSID\\{B}"), "other");
  EXPECT_TRUE(platform::RegistryDeleteKey("HKCR\\CLSID\\{A}")) << "deleting a missing key succeeds";

  ASSERT_TRUE(platform::RegistrySetValue("HKCR\\K", "Name", "v"));
  EXPECT_TRUE(platform::RegistryDeleteValue("HKCR\\K", "name"));
  EXPECT_EQ(platform::RegistryQueryValue("HKCR\\K", "Name"), std::nullopt);
  EXPECT_TRUE(platform::RegistryKeyExists("HKCR\\K"));
}

TEST_F(Registry, MalformedKeyNamesAreRefused) {
  for (const char* bad : {"", "HKCR\\", "HKCR\\\\X", "HKCR\\a/b", "HKCR\\..", "HKCR\\@", "HKCR\\=x"}) {
    EXPECT_FALSE(platform::RegistryCreateKey(bad)) << bad;
    EXPECT_FALSE(platform::RegistrySetValue(bad, "", "v")) << bad;
    EXPECT_EQ(platform::RegistryQueryValue(bad), std::nullopt) << bad;
  }
  EXPECT_FALSE(platform::RegistrySetValue("HKCR\\K", "a/b", "v"));
  EXPECT_FALSE(fs::exists(root_ / "HKCR/a"));
  EXPECT_FALSE(fs::exists(dir_ / "b"));
}

TEST_F(Registry, DirectoriesNoKeyCanNameAreNotListedAsSubkeys) {
  ASSERT_TRUE(platform::RegistryCreateKey("HKCR\\K\\Sub"));
  for (const char* name : {"@", "=x"}) fs::create_directory(root_ / "HKCR/K" / name);
  EXPECT_EQ(platform::RegistrySubKeys("HKCR\\K"), std::vector<std::string>{"Sub"});
}

TEST_F(Registry, ARootThatCannotBeWrittenFailsTheWrite) {
  std::ofstream(dir_ / "plain-file") << "x";
  setenv("VELMORA_REGISTRY", (dir_ / "plain-file" / "registry").c_str(), 1);
  EXPECT_FALSE(platform::RegistryCreateKey("HKCR\\K"));
  EXPECT_FALSE(platform::RegistrySetValue("HKCR\\K", "", "v"));
  EXPECT_EQ(platform::RegistryQueryValue("HKCR\\K"), std::nullopt);
  EXPECT_EQ(ReadFile(dir_ / "plain-file"), "x");
}

TEST_F(Registry, RootFallsBackToTheConfigDirectory) {
  EnvGuard xdg("XDG_CONFIG_HOME"), home("HOME");
  EXPECT_EQ(platform::RegistryRoot(), root_.string());
  unsetenv("VELMORA_REGISTRY");
  setenv("XDG_CONFIG_HOME", "/somewhere/config", 1);
  EXPECT_EQ(platform::RegistryRoot(), "/somewhere/config/velmora/registry");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(platform::RegistryRoot(), "/home/someone/.config/velmora/registry");
}

}  // namespace
