// The shared library through its exports only: reference streams to their
// MD5s, calls before initialisation, the input bound, two private copies
// loaded side by side, and the exported symbol set.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "frame_store.h"
#include "frames.h"
#include "quenda.h"

namespace {

const std::string kMpeg4Dir = std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/";
const std::string kLibrary = std::string(VELMORA_LIB_DIR) + "/libquenda.so";
const size_t kStoreBytes = quenda::CallerStoreBytes(320, 240);

std::vector<std::string> ExpectedMd5s(const std::string& stream) {
  return quenda_tools::ReadFrameMd5s(kMpeg4Dir + stream + ".framemd5");
}

std::vector<std::vector<uint8_t>> Pictures(const std::string& stream) {
  std::vector<std::vector<uint8_t>> pictures;
  EXPECT_TRUE(quenda_tools::ReadFramesFile(kMpeg4Dir + stream + ".frames", pictures)) << stream;
  return pictures;
}

class ReferenceStream : public ::testing::TestWithParam<const char*> {};

TEST_P(ReferenceStream, EveryPictureDecodesToItsMd5) {
  const std::string stream = GetParam();
  const auto pictures = Pictures(stream);
  const auto expected = ExpectedMd5s(stream);
  ASSERT_EQ(pictures.size(), expected.size());
  int matched[2] = {}, total[2] = {};
  ASSERT_TRUE(quenda_tools::DecodeCapture(pictures, [&](const quenda_tools::DecodedPicture& p) {
    const int kind = p.codingType == 0 ? 0 : 1;
    ++total[kind];
    const bool ok = quenda_tools::PlanarMd5(p.store) == expected[size_t(p.index)];
    matched[kind] += ok;
    EXPECT_TRUE(ok) << stream << " picture " << p.index << (kind ? " (P)" : " (I)");
  }));
  std::printf("%s: I %d/%d, P %d/%d\n", stream.c_str(), matched[0], total[0], matched[1], total[1]);
  EXPECT_GT(total[0], 0);
  EXPECT_GT(total[1], 0);
}

INSTANTIATE_TEST_SUITE_P(Quenda, ReferenceStream,
                         ::testing::Values("ts_q5", "mb_q5", "ts_q31", "ts_scroll_q4", "dq"),
                         [](const auto& info) { return std::string(info.param); });

TEST(Exports, DecodeBeforeInitialisationDoesNothing) {
  DecoderClose();  // whatever an earlier test left
  const auto pictures = Pictures("ts_q31");
  std::vector<uint8_t> a(kStoreBytes), b(kStoreBytes), rgb(320 * 240 * 4, 0x11);
  int32_t type = -7;
  EXPECT_EQ(DecoderFrame(pictures[0].data(), 32, rgb.data()), 0);
  EXPECT_EQ(DecoderFrame_old(pictures[0].data()), 0);
  EXPECT_EQ(DecoderFrame2(pictures[0].data(), 32, rgb.data(), a.data(), b.data()), 0);
  EXPECT_EQ(DecoderOnly(pictures[0].data(), a.data(), b.data(), &type), 0);
  EXPECT_EQ(type, -7);
  EXPECT_EQ(YUV2RGB(rgb.data(), 32, a.data()), 0);
  EXPECT_EQ(ReDisplay(rgb.data(), 32), 0);
  EXPECT_EQ(rgb, std::vector<uint8_t>(rgb.size(), 0x11));
  DecoderClose();
}

TEST(Exports, ConsumedBytesAndCodingType) {
  ASSERT_EQ(Decoder_Init(), 0);
  // A group-of-VOP start code: the search stops after B3 with 32 bits read.
  const uint8_t gov[16] = {0x00, 0x00, 0x01, 0xB3, 0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(DecoderFrame_old(gov), 8);
  const auto pictures = Pictures("ts_q31");
  std::vector<uint8_t> a(kStoreBytes), b(kStoreBytes);
  int32_t type = -1;
  DecoderSetInputSize(uint32_t(pictures[0].size()));
  const int32_t consumed = DecoderOnly(pictures[0].data(), a.data(), b.data(), &type);
  EXPECT_EQ(type, 0);
  EXPECT_GT(consumed, int32_t(pictures[0].size()) - 4);
  EXPECT_LE(consumed, int32_t(pictures[0].size()) + 4);
  DecoderSetInputSize(uint32_t(pictures[1].size()));
  DecoderOnly(pictures[1].data(), b.data(), a.data(), &type);
  EXPECT_EQ(type, 1);
  // No picture header: the type of the last header read.
  DecoderSetInputSize(sizeof gov);
  DecoderOnly(gov, a.data(), b.data(), &type);
  EXPECT_EQ(type, 1);
  DecoderClose();
}

// Expected 32-bit pixel of planar picture p (Y, then U, then V) at (x, y).
std::array<uint8_t, 3> ExpectedBgr(const std::vector<uint8_t>& p, int x, int y) {
  const int Y = p[size_t(y * 320 + x)];
  const int U = p[size_t(76800 + (y / 2) * 160 + x / 2)] - 128;
  const int V = p[size_t(76800 + 19200 + (y / 2) * 160 + x / 2)] - 128;
  auto h = [](int v, int c) { return (v * c) >> 13; };
  const int l = h(std::max(Y - 16, 0), 9576);
  auto clamp = [](int v) { return uint8_t(std::clamp(v, 0, 255)); };
  return {clamp(l + h(U, 16591)), clamp(l + h(U, -3218) + h(V, -6686)), clamp(l + h(V, 13123))};
}

// DecoderFrame converts the picture it decodes, ReDisplay the same picture
// again in another format, each into every row of the output.
TEST(Exports, DecodedPicturesReachTheOutput) {
  const auto pictures = Pictures("ts_q31");
  ASSERT_EQ(Decoder_Init(), 0);
  std::vector<uint8_t> a(kStoreBytes), b(kStoreBytes), rgb32(320 * 240 * 4), rgb24(320 * 240 * 3);
  uint8_t* ref = a.data();
  uint8_t* cur = b.data();
  for (size_t i = 0; i < 3; ++i) {
    DecoderSetInputSize(uint32_t(pictures[i].size()));
    int32_t type;
    DecoderOnly(pictures[i].data(), ref, cur, &type);
    std::swap(ref, cur);
  }
  const std::vector<uint8_t> planar = quenda_tools::PlanarPicture(ref);
  DecoderClose();

  ASSERT_EQ(Decoder_Init(), 0);
  for (size_t i = 0; i < 3; ++i) {
    DecoderSetInputSize(uint32_t(pictures[i].size()));
    DecoderFrame(pictures[i].data(), 32, rgb32.data());
  }
  ReDisplay(rgb24.data(), 0);  // 24-bit bottom-up
  DecoderClose();
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 320; ++x) {
      const auto bgr = ExpectedBgr(planar, x, y);
      const uint8_t* p32 = &rgb32[size_t(4 * (y * 320 + x))];
      const uint8_t* p24 = &rgb24[size_t(3 * ((239 - y) * 320 + x))];
      ASSERT_TRUE(p32[0] == bgr[0] && p32[1] == bgr[1] && p32[2] == bgr[2] && p32[3] == 0) << x << "," << y;
      ASSERT_TRUE(p24[0] == bgr[0] && p24[1] == bgr[1] && p24[2] == bgr[2]) << x << "," << y;
    }
}

// A picture cut short and placed against an unmapped page: with the bound
// the reader sees 1 bits past the end and never touches the guard page.
TEST(Exports, InputBoundKeepsTheReaderInsideTheBuffer) {
  const long page = sysconf(_SC_PAGESIZE);
  auto* map = static_cast<uint8_t*>(mmap(nullptr, size_t(page) * 3, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_EQ(mprotect(map + 2 * page, size_t(page), PROT_NONE), 0);
  uint8_t* end = map + 2 * page;
  const auto pictures = Pictures("mb_q5");
  ASSERT_EQ(Decoder_Init(), 0);
  std::vector<uint8_t> a(kStoreBytes), b(kStoreBytes), rgb(320 * 240 * 4);
  for (size_t cut : {size_t(4), size_t(9), size_t(40), size_t(700), size_t(2000)}) {
    for (size_t i : {size_t(0), size_t(1)}) {
      const size_t n = std::min(cut, pictures[i].size());
      std::memcpy(end - n, pictures[i].data(), n);
      DecoderSetInputSize(uint32_t(n));
      DecoderFrame(end - n, 32, rgb.data());
      DecoderSetInputSize(uint32_t(n));
      int32_t type;
      DecoderOnly(end - n, a.data(), b.data(), &type);
    }
  }
  // Nothing but filler: the start-code search ends with the input.
  std::memset(end - 64, 0xFF, 64);
  DecoderSetInputSize(64);
  EXPECT_LE(DecoderFrame(end - 64, 32, rgb.data()), 64 + 8);
  DecoderClose();
  munmap(map, size_t(page) * 3);
}

// ---- two private copies ----

struct LoadedCopy {
  void* handle = nullptr;
  decltype(&Decoder_Init) init = nullptr;
  decltype(&DecoderOnly) only = nullptr;
  decltype(&DecoderSetInputSize) bound = nullptr;
  decltype(&DecoderClose) close = nullptr;

  explicit LoadedCopy(const std::string& path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return;
    init = reinterpret_cast<decltype(init)>(dlsym(handle, "Decoder_Init"));
    only = reinterpret_cast<decltype(only)>(dlsym(handle, "DecoderOnly"));
    bound = reinterpret_cast<decltype(bound)>(dlsym(handle, "DecoderSetInputSize"));
    close = reinterpret_cast<decltype(close)>(dlsym(handle, "DecoderClose"));
  }
  ~LoadedCopy() {
    if (handle) dlclose(handle);
  }
};

struct CopyRun {
  LoadedCopy& lib;
  std::vector<std::vector<uint8_t>> pictures;
  std::vector<std::string> expected;
  std::vector<uint8_t> a = std::vector<uint8_t>(kStoreBytes), b = std::vector<uint8_t>(kStoreBytes);
  uint8_t* ref = a.data();
  uint8_t* cur = b.data();

  bool Step(size_t i) {
    lib.bound(uint32_t(pictures[i].size()));
    int32_t type;
    lib.only(pictures[i].data(), ref, cur, &type);
    const bool ok = quenda_tools::PlanarMd5(cur) == expected[i];
    std::swap(ref, cur);
    return ok;
  }
};

TEST(TwoCopies, DecodeDifferentStreamsWithoutSharingState) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("quenda-copies-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const auto first = dir / "Quenda0010.so", second = dir / "Quenda0011.so";
  std::filesystem::copy_file(kLibrary, first, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(kLibrary, second, std::filesystem::copy_options::overwrite_existing);
  {
    LoadedCopy x(first.string()), y(second.string());
    ASSERT_TRUE(x.handle && y.handle) << dlerror();
    ASSERT_NE(x.only, y.only);
    ASSERT_TRUE(x.init && x.only && x.bound && x.close && y.init && y.only && y.bound && y.close);
    ASSERT_EQ(x.init(), 0);
    ASSERT_EQ(y.init(), 0);
    CopyRun runX{x, Pictures("ts_q5"), ExpectedMd5s("ts_q5")};
    CopyRun runY{y, Pictures("mb_q5"), ExpectedMd5s("mb_q5")};
    for (size_t i = 0; i < 45; ++i) {
      ASSERT_TRUE(runX.Step(i)) << "ts_q5 picture " << i;
      ASSERT_TRUE(runY.Step(i)) << "mb_q5 picture " << i;
    }
    x.close();
    y.close();
  }
  std::filesystem::remove_all(dir);
}

// ---- exported symbols ----

std::set<std::string> DefinedDynamicSymbols(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::set<std::string> names;
  if (file.size() < sizeof(Elf64_Ehdr)) return names;
  const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(file.data());
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(file.data() + eh->e_shoff);
  for (int i = 0; i < eh->e_shnum; ++i) {
    if (sections[i].sh_type != SHT_DYNSYM) continue;
    const Elf64_Shdr& strtab = sections[sections[i].sh_link];
    const auto* syms = reinterpret_cast<const Elf64_Sym*>(file.data() + sections[i].sh_offset);
    for (size_t k = 0; k < sections[i].sh_size / sizeof(Elf64_Sym); ++k) {
      const int bind = ELF64_ST_BIND(syms[k].st_info);
      if (syms[k].st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK)) continue;
      names.insert(file.data() + strtab.sh_offset + syms[k].st_name);
    }
  }
  return names;
}

TEST(Exports, OnlyTheInterfaceIsExported) {
  const std::set<std::string> expected = {"Decoder_Init", "Decoder_Init_old", "DecoderFrame", "DecoderFrame_old",
                                          "DecoderFrame2", "DecoderOnly", "YUV2RGB", "ReDisplay",
                                          "DecoderClose", "DecoderSetInputSize"};
  EXPECT_EQ(DefinedDynamicSymbols(kLibrary), expected);
}

}  // namespace
