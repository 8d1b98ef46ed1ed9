#include "platform/com/typelib_format.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "tests/support/typelib_checksum.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::typelib;

TypeLibData Sample() {
  TypeLibData d;
  d.libid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  d.name = "Velmora";
  d.helpString = "Velmora Library";
  TypeInfoData iface;
  iface.kind = TypeKind::Dispatch;
  iface.guid[0] = 0xAA;
  iface.name = "IThing";
  iface.helpString = "Dispatch interface";
  iface.typeFlags = kTypeFlagDual | kTypeFlagOleAutomation | kTypeFlagDispatchable;
  iface.funcs.push_back({18, kInvokePropertyGet, 0, 25, "port", {{"Value", 0x4003, kParamOut | kParamRetval}}});
  iface.funcs.push_back({18, kInvokePropertyPut, 0, 25, "port", {{"Value", 3, kParamIn}}});
  iface.funcs.push_back({51, kInvokeFunc, kFuncFlagHidden, 25, "SetSIOInit", {{"Ch", 3}, {"baudrate", 3}}});
  TypeInfoData events;
  events.kind = TypeKind::Dispatch;
  events.name = "IThingEvents";
  events.funcs.push_back({4, kInvokeFunc, 0, 24, "OnPassMessage", {{"MsgNum", 3}, {"MsgStr", 8}}});
  TypeInfoData coclass;
  coclass.kind = TypeKind::CoClass;
  coclass.name = "Thing";
  coclass.helpString = "Thing Control";
  coclass.typeFlags = kTypeFlagCanCreate | kTypeFlagControl;
  coclass.impls = {{0, kImplDefault}, {1, kImplDefault | kImplSource}};
  d.types = {iface, events, coclass};
  return d;
}

TEST(TypeLibFormat, RoundTrips) {
  std::vector<uint8_t> image = Serialize(Sample());
  ASSERT_FALSE(image.empty());
  EXPECT_EQ(std::string(image.begin(), image.begin() + 4), "VTLB");
  auto back = Parse(image.data(), image.size());
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, Sample());
}

TEST(TypeLibFormat, EveryTruncationAndEveryFlippedByteIsRefused) {
  std::vector<uint8_t> image = Serialize(Sample());
  for (size_t n = 0; n < image.size(); ++n) {
    std::string error;
    EXPECT_FALSE(Parse(image.data(), n, &error)) << n;
    EXPECT_FALSE(error.empty());
  }
  for (size_t i = 0; i < image.size(); ++i) {
    std::vector<uint8_t> bad = image;
    bad[i] ^= 0x40;
    EXPECT_FALSE(Parse(bad.data(), bad.size())) << "byte " << i;
  }
}

TEST(TypeLibFormat, HugeCountsAndBadIndexesFailWithAValidChecksum) {
  std::vector<uint8_t> image = Serialize(Sample());
  // The type count follows libid, versions, lcid, flags and the two strings.
  size_t typeCount = 16 + 16 + 2 + 2 + 4 + 2 + 4 + 7 + 4 + 15;
  ASSERT_EQ(image[typeCount], 3);
  for (uint8_t v : {0xFF, 4, 2}) {
    std::vector<uint8_t> bad = image;
    bad[typeCount] = v;
    bad[typeCount + 3] = v == 0xFF ? 0xFF : 0;
    testing_support::SetTypeLibChecksum(bad);
    std::string error;
    EXPECT_FALSE(Parse(bad.data(), bad.size(), &error)) << int(v);
    EXPECT_NE(error.find("corrupt"), std::string::npos) << error;
  }
  TypeLibData d = Sample();
  d.types[2].impls[0].typeIndex = 7;
  EXPECT_TRUE(Serialize(d).empty()) << "the writer refuses what a reader would";
  std::vector<uint8_t> bad = image;
  bad[bad.size() - 8] = 7;  // first implemented type index of the coclass
  testing_support::SetTypeLibChecksum(bad);
  EXPECT_FALSE(Parse(bad.data(), bad.size()));
}

class TypeLibFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-typelib-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    image_ = Serialize(Sample());
    std::ofstream(dir_ / "image.bin", std::ios::binary).write(reinterpret_cast<const char*>(image_.data()),
                                                              std::streamsize(image_.size()));
    // Any ELF file will do as the carrier: the platform library.
    fs::copy_file(fs::path(VELMORA_LIB_DIR) / "libvelmora-platform.so", dir_ / "libthing.so");
  }
  void TearDown() override { fs::remove_all(dir_); }
  int Objcopy(const std::string& args) {
    return system(("objcopy " + args + " " + (dir_ / "libthing.so").string()).c_str());
  }

  fs::path dir_;
  std::vector<uint8_t> image_;
};

TEST_F(TypeLibFiles, LoadsFromTheSectionElseTheTlbOfTheSameStem) {
  std::string lib = (dir_ / "libthing.so").string();
  std::string error;
  EXPECT_FALSE(LoadTypeLibData(lib, &error)) << "neither section nor .tlb";
  EXPECT_NE(error.find("libthing.tlb"), std::string::npos) << error;

  fs::copy_file(dir_ / "image.bin", dir_ / "libthing.tlb");
  auto fromTlb = LoadTypeLibData(lib, &error);
  ASSERT_TRUE(fromTlb) << error;
  EXPECT_EQ(*fromTlb, Sample());

  ASSERT_EQ(Objcopy("--add-section .velmora_typelib=" + (dir_ / "image.bin").string()), 0);
  fs::remove(dir_ / "libthing.tlb");
  auto section = ReadElfSection(lib, kSectionName, &error);
  ASSERT_TRUE(section) << error;
  EXPECT_EQ(*section, image_);
  auto fromSection = LoadTypeLibData(lib, &error);
  ASSERT_TRUE(fromSection) << error;
  EXPECT_EQ(*fromSection, Sample());
}

TEST_F(TypeLibFiles, ACorruptSectionFallsBackAndACorruptTlbFailsCleanly) {
  std::vector<uint8_t> bad = image_;
  bad[40] ^= 1;
  std::ofstream(dir_ / "bad.bin", std::ios::binary).write(reinterpret_cast<const char*>(bad.data()),
                                                          std::streamsize(bad.size()));
  ASSERT_EQ(Objcopy("--add-section .velmora_typelib=" + (dir_ / "bad.bin").string()), 0);
  std::string lib = (dir_ / "libthing.so").string();
  std::string error;
  EXPECT_FALSE(LoadTypeLibData(lib, &error));
  EXPECT_NE(error.find("checksum"), std::string::npos) << error;
  fs::copy_file(dir_ / "bad.bin", dir_ / "libthing.tlb");
  EXPECT_FALSE(LoadTypeLibData(lib, &error));
  fs::remove(dir_ / "libthing.tlb");
  fs::copy_file(dir_ / "image.bin", dir_ / "libthing.tlb");
  EXPECT_TRUE(LoadTypeLibData(lib, &error)) << error;
}

TEST_F(TypeLibFiles, NonElfAndTruncatedElfFilesAreRefused) {
  std::ofstream(dir_ / "text.so") << "not an ELF file at all";
  std::string error;
  EXPECT_FALSE(ReadElfSection((dir_ / "text.so").string(), kSectionName, &error));
  EXPECT_NE(error.find("not a 64-bit"), std::string::npos) << error;
  fs::resize_file(dir_ / "libthing.so", 4096);
  EXPECT_FALSE(ReadElfSection((dir_ / "libthing.so").string(), kSectionName, &error));
  EXPECT_FALSE(ReadElfSection((dir_ / "missing.so").string(), kSectionName, &error));
}

}  // namespace
