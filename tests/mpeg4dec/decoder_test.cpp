// Set-up and release, the option dispatcher and the post-processing levels.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <memory>

#include "decoder.h"

using namespace quenda;

namespace {

struct DispatcherTest : ::testing::Test {
  void TearDown() override {
    g_allocate = std::malloc;
    DecoderDispatch(1, kOptionRelease, nullptr, nullptr, nullptr);
  }
  static int32_t Setup(int w, int h) {
    DecoderParams p{w, h, 32};
    return DecoderDispatch(1, kOptionSetup, &p, &p, nullptr);
  }
};

TEST_F(DispatcherTest, RejectsSizesTheStaticStoresCannotHold) {
  EXPECT_EQ(Setup(320, 240), kSetupOk);
  EXPECT_TRUE(g_decoder.initialised);
  for (auto [w, h] : {std::pair{736, 240}, {320, 592}, {0, 240}, {-16, 240}, {320, 0}, {328, 240}, {100000, 100000}}) {
    EXPECT_EQ(Setup(w, h), kSetupBadSize) << w << "x" << h;
    EXPECT_FALSE(g_decoder.initialised);
  }
  EXPECT_EQ(Setup(720, 576), kSetupOk);
  EXPECT_EQ(g_decoder.mbCount, 45 * 36);
  EXPECT_EQ(g_decoder.lumaStride, 784);
}

int g_allocationsLeft = 0;
void* FailingAllocate(size_t n) { return g_allocationsLeft-- > 0 ? std::malloc(n) : nullptr; }

TEST_F(DispatcherTest, AllocationFailureReturnsAnError) {
  for (int allowed = 0; allowed < 9; ++allowed) {
    g_allocationsLeft = allowed;
    g_allocate = FailingAllocate;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Setup(320, 240), kSetupNoMemory) << allowed;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "malloc failed\n");
    EXPECT_FALSE(g_decoder.initialised);
    EXPECT_EQ(g_decoder.cur.y, nullptr);
    // A decode request on the failed decoder does nothing.
    DecoderFrameRequest request{nullptr, 1};
    EXPECT_EQ(DecoderDispatch(1, 0, &request, &request, nullptr), 0);
  }
  g_allocate = std::malloc;
  EXPECT_EQ(Setup(320, 240), kSetupOk);
}

TEST_F(DispatcherTest, RepeatedSetupDoesNotLeak) {
  ASSERT_EQ(Setup(320, 240), kSetupOk);
  const size_t before = mallinfo2().uordblks;
  for (int i = 0; i < 50; ++i) ASSERT_EQ(Setup(320, 240), kSetupOk);
  // 50 leaked set-ups would hold over 14 MB.
  EXPECT_LT(mallinfo2().uordblks, before + 1000000);
}

TEST_F(DispatcherTest, PostProcessingLevels) {
  DecoderState& s = g_decoder;
  auto level = [](int32_t l) {
    DecoderPostProcSetting p{l};
    return DecoderDispatch(1, kOptionPostProc, &p, &p, nullptr);
  };
  s.postProcFlags = 0x0F;
  EXPECT_EQ(level(0), 0);
  EXPECT_EQ(s.postProc, 0);
  EXPECT_EQ(s.postProcFlags, 0x0Fu);  // level 0 leaves the flags
  const std::pair<int, uint32_t> table[] = {{1, 0x01}, {9, 0x01}, {10, 0x03}, {25, 0x13}, {30, 0x17}, {45, 0x1F}, {59, 0x3F}};
  for (auto [l, flags] : table) {
    EXPECT_EQ(level(l), 0);
    EXPECT_EQ(s.postProc, 1);
    EXPECT_EQ(s.postProcFlags, flags) << l;
  }
  EXPECT_EQ(level(100), 0);
  EXPECT_EQ(s.postProcFlags, 0x3Fu);  // 60..100 leave the flags
  EXPECT_EQ(level(101), kPostProcBadLevel);
  EXPECT_EQ(level(-1), kPostProcBadLevel);
  EXPECT_EQ(s.postProcFlags, 0x3Fu);

  // From a mode word: level 25, then 65 keeps 0x13; level 0 is off with 0x01.
  ApplyModeLevel(s, 25);
  ApplyModeLevel(s, 65);
  EXPECT_EQ(s.postProc, 1);
  EXPECT_EQ(s.postProcFlags, 0x13u);
  ApplyModeLevel(s, 5000);
  EXPECT_EQ(s.postProcFlags, 0x13u);
  ApplyModeLevel(s, 0);
  EXPECT_EQ(s.postProc, 0);
  EXPECT_EQ(s.postProcFlags, 0x01u);
}

}  // namespace
