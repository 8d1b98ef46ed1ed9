// Motion compensation: kernels, chroma vectors, border extension, clamping of
// far vectors, and the packed kernels against the plain ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "mc.h"

using namespace quenda;

namespace {

// A bordered plane of picture size w x h.
struct Plane {
  int w, h, border, stride, rows;
  std::vector<uint8_t> data;
  Plane(int w_, int h_, int border_)
      : w(w_), h(h_), border(border_), stride(w_ + 2 * border_), rows(h_ + 2 * border_),
        data(size_t(stride) * size_t(rows)) {}
  uint8_t* origin() { return data.data() + border * stride + border; }
  uint8_t& at(int x, int y) { return origin()[y * stride + x]; }
};

TEST(McKernels, WorkedValues) {
  alignas(16) uint8_t src[32 * 17] = {}, dst[32 * 17];
  // Horizontal half-sample between 1 and 2.
  src[0] = 1;
  src[1] = 2;
  kMcReference.k[McKernelIndex(8, 0, 1, 0)](src, dst, 32);
  EXPECT_EQ(dst[0], 2);
  kMcReference.k[McKernelIndex(8, 1, 1, 0)](src, dst, 32);
  EXPECT_EQ(dst[0], 1);
  // Two-way average of 1, 2, 1, 2 and of 1, 2, 2, 2.
  src[32] = 1;
  src[33] = 2;
  kMcReference.k[McKernelIndex(8, 0, 1, 1)](src, dst, 32);
  EXPECT_EQ(dst[0], 2);
  kMcReference.k[McKernelIndex(8, 1, 1, 1)](src, dst, 32);
  EXPECT_EQ(dst[0], 1);
  src[32] = 2;
  for (int rnd : {0, 1}) {
    kMcReference.k[McKernelIndex(16, rnd, -1, -1)](src, dst, 32);
    EXPECT_EQ(dst[0], 2);
  }
  // Full-sample positions copy, whatever the rounding type.
  EXPECT_EQ(kMcReference.k[McKernelIndex(8, 0, 2, -4)], kMcReference.k[McKernelIndex(8, 1, 0, 0)]);
}

TEST(ChromaVectors, OneAndFourVectorRounding) {
  const std::pair<int, int> one[] = {{1, 1}, {2, 1}, {3, 1}, {4, 2}, {5, 3}, {-1, -1}, {-2, -1}, {-3, -1}, {-4, -2}, {-5, -3}, {0, 0}};
  for (auto [luma, chroma] : one) EXPECT_EQ(ChromaVectorOne(luma), chroma) << luma;
  const std::pair<int, int> four[] = {{0, 0}, {1, 0}, {2, 0}, {3, 1}, {13, 1}, {14, 2}, {15, 2}, {16, 2}, {31, 4}, {-3, -1}, {-14, -2}};
  for (auto [sum, chroma] : four) EXPECT_EQ(ChromaVectorFour(sum), chroma) << sum;
}

TEST(BorderExtension, ReplicatesEdgesAndCorners) {
  Plane p(32, 16, 32);
  std::mt19937 rng(3);
  for (int y = 0; y < p.h; ++y)
    for (int x = 0; x < p.w; ++x) p.at(x, y) = uint8_t(rng());
  ExtendPlaneBorders(p.origin(), p.stride, p.rows, p.border);
  for (int y = -p.border; y < p.h + p.border; ++y)
    for (int x = -p.border; x < p.w + p.border; ++x)
      ASSERT_EQ(p.at(x, y), p.at(std::clamp(x, 0, p.w - 1), std::clamp(y, 0, p.h - 1))) << x << "," << y;
}

// The prediction of a block equals sampling the picture at clamped
// coordinates, for vectors inside the border and far beyond it.
TEST(MotionCompensateBlock, AnyVectorEqualsClampedSampling) {
  Plane ref(64, 48, 32), cur(64, 48, 32);
  std::mt19937 rng(11);
  for (int y = 0; y < ref.h; ++y)
    for (int x = 0; x < ref.w; ++x) ref.at(x, y) = uint8_t(rng());
  ExtendPlaneBorders(ref.origin(), ref.stride, ref.rows, ref.border);
  auto sample = [&](int x, int y) { return int(ref.at(std::clamp(x, 0, ref.w - 1), std::clamp(y, 0, ref.h - 1))); };
  std::uniform_int_distribution<int> vec(-700, 700), near(-70, 70);
  for (int n = 0; n < 400; ++n) {
    const int size = n % 2 ? 16 : 8, rnd = (n / 2) % 2;
    const int x = size * int(rng() % unsigned(ref.w / size)), y = size * int(rng() % unsigned(ref.h / size));
    const int dx = n % 3 ? near(rng) : vec(rng), dy = n % 5 ? near(rng) : vec(rng);
    for (const McKernelTable* k : {&kMcReference, &kMcSse2}) {
      MotionCompensateBlock(ref.origin(), cur.origin(), ref.stride, size, x, y, dx, dy, rnd, ref.w, ref.h,
                            ref.border, *k);
      for (int r = 0; r < size; ++r)
        for (int c = 0; c < size; ++c) {
          const int sx = x + c + (dx >> 1), sy = y + r + (dy >> 1);
          const int a = sample(sx, sy), b = sample(sx + (dx & 1), sy), cc = sample(sx, sy + (dy & 1)),
                    d = sample(sx + (dx & 1), sy + (dy & 1));
          const int expect = (a + b + cc + d + 2 - rnd) >> 2;
          ASSERT_EQ(cur.at(x + c, y + r), expect) << "vector " << dx << "," << dy << " size " << size;
        }
    }
  }
}

TEST(McKernels, PackedMatchPlainBitForBit) {
  constexpr int kStride = 48;
  std::mt19937 rng(42);
  std::vector<uint8_t> src(kStride * 18);
  for (int n = 0; n < 300; ++n) {
    for (uint8_t& v : src) v = uint8_t(n % 7 == 0 ? (rng() % 2) * 255 : rng());
    for (int i = 0; i < 16; ++i) {
      alignas(16) uint8_t a[kStride * 16], b[kStride * 16];
      std::memset(a, 0x5A, sizeof a);
      std::memset(b, 0x5A, sizeof b);
      kMcReference.k[i](src.data() + 1, a, kStride);
      kMcSse2.k[i](src.data() + 1, b, kStride);
      ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << "kernel " << i;
    }
  }
}

}  // namespace
