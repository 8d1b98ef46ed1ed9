// Saturation edges of the basic operators and how they record and clear the
// object's overflow flag.
#include <gtest/gtest.h>

#include "g7231/basic_ops.h"

namespace {

using namespace g7231;

class BasicOps : public ::testing::Test {
 protected:
  CG723 c;
  // Value of the flag after an operation, then cleared for the next check.
  int Flag() {
    const int f = c.overflow;
    c.overflow = 0;
    return f;
  }
};

TEST_F(BasicOps, AddSubSaturateAndClear) {
  EXPECT_EQ(add_s(c, 32767, 1), 32767);
  EXPECT_EQ(c.overflow, 1);
  EXPECT_EQ(add_s(c, 1, 1), 2);  // in range: the 16-bit saturation clears the flag
  EXPECT_EQ(c.overflow, 0);
  EXPECT_EQ(sub_s(c, -32768, 1), -32768);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(sub_s(c, 0, -32768), 32767);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(sat_s(c, 40000), 32767);
  EXPECT_EQ(sat_s(c, -40000), -32768);
  EXPECT_EQ(Flag(), 1);
}

TEST_F(BasicOps, AbsNegWithoutFlag) {
  EXPECT_EQ(absval_s(c, -32768), 32767);
  EXPECT_EQ(neg_s(c, -32768), 32767);
  EXPECT_EQ(neg_l(c, INT32_MIN), INT32_MAX);
  EXPECT_EQ(absval_l(c, INT32_MIN), INT32_MAX);
  EXPECT_EQ(absval_l(c, -5), 5);
  EXPECT_EQ(Flag(), 0);
}

TEST_F(BasicOps, ShortShifts) {
  EXPECT_EQ(shl_s(c, 16384, 1), 32767);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(shl_s(c, -16384, 1), -32768);
  EXPECT_EQ(Flag(), 0);
  EXPECT_EQ(shl_s(c, 0, 20), 0);
  EXPECT_EQ(shl_s(c, 1, 16), 32767);
  EXPECT_EQ(shl_s(c, -1, 40), -32768);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(shl_s(c, -1, 15), -32768);
  EXPECT_EQ(Flag(), 0);
  EXPECT_EQ(shl_s(c, 7, -2), 1);
  EXPECT_EQ(shr_s(c, -1, 3), -1);
  EXPECT_EQ(shr_s(c, 5, 20), 0);
  EXPECT_EQ(shr_s(c, -5, 32767), -1);
  EXPECT_EQ(shr_s(c, -5, 1), -3);
  EXPECT_EQ(shr_s(c, 3, -2), 12);
  EXPECT_EQ(shr_s(c, 3, -32767), 32767);
  EXPECT_EQ(Flag(), 1);
}

TEST_F(BasicOps, Multiplies) {
  EXPECT_EQ(mul_l(c, -32768, -32768), INT32_MAX);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(mul_l(c, -32768, 32767), -2147418112);
  EXPECT_EQ(Flag(), 0);
  EXPECT_EQ(mul_s(c, -32768, -32768), 32767);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(mul_s(c, -1, 1), -1);  // arithmetic shift rounds down
  EXPECT_EQ(mulr_s(c, 16384, 1), 1);
  EXPECT_EQ(mulr_s(c, -32768, -32768), 32767);
  EXPECT_EQ(Flag(), 1);
}

TEST_F(BasicOps, LongAddSubAndRounding) {
  EXPECT_EQ(add_l(c, INT32_MAX, 1), INT32_MAX);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(add_l(c, INT32_MIN, -1), INT32_MIN);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(add_l(c, INT32_MAX, INT32_MIN), -1);
  EXPECT_EQ(sub_l(c, INT32_MIN, 1), INT32_MIN);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(sub_l(c, 0, INT32_MIN), INT32_MAX);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(sub_l(c, -1, INT32_MIN), INT32_MAX);
  EXPECT_EQ(Flag(), 0);
  EXPECT_EQ(rnd_s(c, 0x7fff8000), 32767);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(rnd_s(c, 0x00018000), 2);
  EXPECT_EQ(rnd_s(c, -0x8001), -1);
  EXPECT_EQ(mac_l(c, INT32_MAX - 1, 1, 1), INT32_MAX);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(msu_l(c, INT32_MIN + 1, 1, 1), INT32_MIN);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(high_s(c, -65536), -1);
  EXPECT_EQ(low_s(c, 0x12348765), static_cast<int16_t>(0x8765));
  EXPECT_EQ(dephigh_l(c, -2), -131072);
  EXPECT_EQ(deplow_l(c, -2), -2);
}

TEST_F(BasicOps, LongShifts) {
  EXPECT_EQ(shl_l(c, 0x3fffffff, 1), 0x7ffffffe);
  EXPECT_EQ(Flag(), 0);
  EXPECT_EQ(shl_l(c, 0x40000000, 1), INT32_MAX);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(shl_l(c, -0x40000000, 1), INT32_MIN);
  EXPECT_EQ(Flag(), 0);
  EXPECT_EQ(shl_l(c, -0x40000001, 1), INT32_MIN);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(shl_l(c, 1, 31), INT32_MAX);
  EXPECT_EQ(shl_l(c, -1, 31), INT32_MIN);
  EXPECT_EQ(shl_l(c, 3, 32767), INT32_MAX);
  EXPECT_EQ(Flag(), 1);
  EXPECT_EQ(shl_l(c, 0, 40), 0);
  EXPECT_EQ(shl_l(c, -8, -2), -2);
  EXPECT_EQ(shr_l(c, -8, 2), -2);
  EXPECT_EQ(shr_l(c, -8, 31), -1);
  EXPECT_EQ(shr_l(c, 8, 100), 0);
  EXPECT_EQ(shr_l(c, 1, -30), 0x40000000);
  EXPECT_EQ(shr_l(c, 1, -32767), INT32_MAX);
  EXPECT_EQ(Flag(), 1);
}

TEST_F(BasicOps, Mul32x16) {
  EXPECT_EQ(mul32x16_l(c, 0x10000000, 16384), 0x08000000);
  EXPECT_EQ(mul32x16_l(c, -0x10000000, 16384), -0x08000000);
  EXPECT_EQ(mul32x16_l(c, 0x0000ffff, 32767), 65533);
  EXPECT_EQ(Flag(), 0);
  EXPECT_EQ(mul32x16_l(c, INT32_MIN, -32768), INT32_MAX);
  EXPECT_EQ(Flag(), 1);
}

TEST_F(BasicOps, NormCounts) {
  EXPECT_EQ(normcnt_s(c, 0), 0);
  EXPECT_EQ(normcnt_s(c, -1), 15);
  EXPECT_EQ(normcnt_s(c, 1), 14);
  EXPECT_EQ(normcnt_s(c, -32768), 0);
  EXPECT_EQ(normcnt_s(c, 0x4000), 0);
  EXPECT_EQ(normcnt_s(c, -16385), 0);
  EXPECT_EQ(normcnt_s(c, -16384), 1);
  EXPECT_EQ(normcnt_l(c, 0), 0);
  EXPECT_EQ(normcnt_l(c, -1), 31);
  EXPECT_EQ(normcnt_l(c, 1), 30);
  EXPECT_EQ(normcnt_l(c, INT32_MIN), 0);
}

TEST_F(BasicOps, Divisions) {
  EXPECT_EQ(divide_s(c, 1, 2), 16384);
  EXPECT_EQ(divide_s(c, 0, 5), 0);
  EXPECT_EQ(divide_s(c, 7, 7), 32767);
  EXPECT_EQ(divide_s(c, 1, 3), 10922);
  EXPECT_EQ(div_l(c, 0x4000, 1), 8192);
  EXPECT_EQ(div_l(c, 0x10000, 1), 32767);
  EXPECT_EQ(div_l(c, 0x20000000, 0x4000), 16384);
}

// Broken preconditions give 0 and the process goes on.
TEST_F(BasicOps, DivisionPreconditionsReturnZero) {
  EXPECT_EQ(divide_s(c, 3, 2), 0);
  EXPECT_EQ(divide_s(c, -1, 2), 0);
  EXPECT_EQ(divide_s(c, 0, 0), 0);
  EXPECT_EQ(div_l(c, 5, 0), 0);
  EXPECT_EQ(div_l(c, -5, 3), 0);
  EXPECT_EQ(div_l(c, 5, -3), 0);
}

}  // namespace
