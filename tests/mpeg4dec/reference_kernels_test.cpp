// Whole streams decoded with the plain kernels and with the SSE2 ones (the
// library picks AVX2 where it can): every kernel set must give the exact
// pictures, not only match the others on random input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decoder.h"
#include "dsp.h"
#include "frames.h"
#include "md5.h"

using namespace quenda;

namespace {

std::string PlanesMd5(const DecoderState& s, const FramePlanes& p) {
  quenda_tools::Md5 md5;
  for (int y = 0; y < s.height; ++y) md5.Update(p.y + y * p.lumaStride, size_t(s.width));
  for (const uint8_t* plane : {p.u, p.v})
    for (int y = 0; y < s.height / 2; ++y) md5.Update(plane + y * p.chromaStride, size_t(s.width / 2));
  return md5.HexDigest();
}

struct KernelRun {
  const char* kernels;
  const DspFunctions* table;
  const char* stream;
};

void PrintTo(const KernelRun& run, std::ostream* os) { *os << run.kernels << " " << run.stream; }

class PlainKernels : public ::testing::TestWithParam<KernelRun> {
 protected:
  void TearDown() override {
    g_dsp = kDspOptimised;
    DecoderRelease(g_decoder);
  }
};

TEST_P(PlainKernels, DecodeEveryPictureExactly) {
  const std::string base = std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/" + GetParam().stream;
  std::vector<std::vector<uint8_t>> pictures;
  ASSERT_TRUE(quenda_tools::ReadFramesFile(base + ".frames", pictures));
  const std::vector<std::string> expected = quenda_tools::ReadFrameMd5s(base + ".framemd5");
  ASSERT_EQ(expected.size(), pictures.size());

  g_dsp = *GetParam().table;
  DecoderState& s = g_decoder;
  ASSERT_EQ(DecoderSetup(s, 320, 240), kSetupOk);
  ResetBitReader(s.reader);
  for (size_t i = 0; i < pictures.size(); ++i) {
    StartBuffer(s.reader, pictures[i].data(), pictures[i].size());
    DecodeVop(s, nullptr, 1);
    ASSERT_TRUE(s.haveLast);
    ASSERT_EQ(PlanesMd5(s, s.last), expected[i]) << GetParam().stream << " picture " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Quenda, PlainKernels,
                         ::testing::Values(KernelRun{"plain", &kDspReference, "ts_q31"},
                                           KernelRun{"plain", &kDspReference, "ts_scroll_q4"},
                                           KernelRun{"sse2", &kDspSse2, "ts_scroll_q4"},
                                           KernelRun{"sse2", &kDspSse2, "mb_q5"}),
                         [](const auto& info) { return std::string(info.param.kernels) + "_" + info.param.stream; });

}  // namespace
