// Generator, normalisation and square root.
#include <gtest/gtest.h>

#include "g7231/vector_math.h"

namespace {

using namespace g7231;

TEST(VectorMath, Generator) {
  int16_t seed = 12345;
  EXPECT_EQ(NextRandom(&seed), 9476);  // 12345 x 521 + 259 mod 2^16
  EXPECT_EQ(seed, 9476);
  seed = -1;  // read as 65535
  EXPECT_EQ(NextRandom(&seed), static_cast<int16_t>((65535u * 521u + 259u) & 0xffff));
  CG723 c;
  for (int i = 0; i < 1000; ++i) {
    const int16_t r = RandomBelow(c, 21, &seed);
    ASSERT_GE(r, 0);
    ASSERT_LT(r, 21);
  }
}

TEST(VectorMath, NormalizePutsThePeakBelow4096) {
  CG723 c;
  int16_t small[3] = {100, -50, 3};
  EXPECT_EQ(NormalizeVector(c, small, 3), 5);
  EXPECT_EQ(small[0], 3200);
  EXPECT_EQ(small[1], -1600);
  int16_t large[3] = {20000, -3, -32768};
  EXPECT_EQ(NormalizeVector(c, large, 3), -3);
  EXPECT_EQ(large[0], 2500);
  EXPECT_EQ(large[1], -1);  // rounds down
  EXPECT_EQ(large[2], -4096);
  int16_t zero[2] = {0, 0};
  EXPECT_EQ(NormalizeVector(c, zero, 2), -3);
}

TEST(VectorMath, SquareRootIsEvenAndBelow) {
  CG723 c;
  EXPECT_EQ(SqrtFixed(c, 20000), 100);
  EXPECT_EQ(SqrtFixed(c, 20402), 100);  // 101 is odd: the last step is bit 1
  EXPECT_EQ(SqrtFixed(c, 0), 0);
  for (int32_t x : {1, 7, 99999, 1 << 20, 123456789, INT32_MAX}) {
    const int64_t r = SqrtFixed(c, x);
    EXPECT_EQ(r % 2, 0);
    EXPECT_LE(2 * r * r, x);
    EXPECT_GT(2 * (r + 2) * (r + 2), x);
  }
}

}  // namespace
