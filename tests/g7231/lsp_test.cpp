// LSP decoding and interpolation.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "g7231/lsp.h"
#include "g7231/tables.h"

namespace {

using namespace g7231;

TEST(Lsp, ErasedFrameIgnoresTheIndexAndKeepsThePredictor) {
  CG723 c;
  int16_t prev[kLpcOrder];
  std::copy(std::begin(kLspDc), std::end(kLspDc), prev);
  int16_t lsp[kLpcOrder];
  DecodeLsp(c, lsp, prev, 0x123456, 1);
  // Index 0 in every band is all zero, so the DC vector comes back.
  EXPECT_TRUE(std::equal(lsp, lsp + kLpcOrder, kLspDc));
  EXPECT_TRUE(std::equal(prev, prev + kLpcOrder, kLspDc));

  DecodeLsp(c, lsp, prev, 0x010203, 0);
  for (int j = 0; j < kLpcOrder; ++j) {
    const int16_t band = j < 3 ? kLspBand0[1][j] : (j < 6 ? kLspBand1[2][j - 3] : kLspBand2[3][j - 6]);
    EXPECT_EQ(lsp[j], kLspDc[j] + band) << j;
  }
}

TEST(Lsp, OutputIsOrderedAndInRange) {
  CG723 c;
  int16_t prev[kLpcOrder];
  std::copy(std::begin(kLspDc), std::end(kLspDc), prev);
  for (int32_t index = 0; index < (1 << 24); index += 0x010101 * 7 + 13) {
    int16_t lsp[kLpcOrder];
    DecodeLsp(c, lsp, prev, index, 0);
    EXPECT_GE(lsp[0], 0x180 - 0x100);
    for (int j = 1; j < kLpcOrder; ++j) EXPECT_GT(lsp[j], lsp[j - 1]) << "index " << index;
    std::copy(lsp, lsp + kLpcOrder, prev);
  }
}

TEST(Lsp, InterpolationEndsAtTheCurrentVector) {
  CG723 c;
  int16_t prev[kLpcOrder];
  int16_t current[kLpcOrder];
  for (int j = 0; j < kLpcOrder; ++j) {
    prev[j] = kLspDc[j];
    current[j] = static_cast<int16_t>(kLspDc[j] + 600);
  }
  int16_t lpc[kSubframes * kLpcOrder];
  InterpolateLsp(c, lpc, current, prev);
  int16_t direct[kLpcOrder];
  std::copy(current, current + kLpcOrder, direct);
  LspToLpc(c, direct);
  EXPECT_TRUE(std::equal(direct, direct + kLpcOrder, lpc + 3 * kLpcOrder));
  EXPECT_FALSE(std::equal(direct, direct + kLpcOrder, lpc));
}

}  // namespace
