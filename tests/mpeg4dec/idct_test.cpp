// Inverse DCT: worked values, IEEE 1180 accuracy against a double-precision
// transform, and the packed versions bit for bit against the plain one.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "dsp.h"
#include "idct.h"

using namespace quenda;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__OPTIMIZE__) == 0
constexpr int kAccuracyBlocks = 10000;
constexpr int kRandomBlocks = 20000;
#else
constexpr int kAccuracyBlocks = 50000;
constexpr int kRandomBlocks = 200000;
#endif

using Block = std::array<int16_t, 64>;

Block Transform(Block b) {
  alignas(16) int16_t tmp[64];
  std::memcpy(tmp, b.data(), sizeof tmp);
  InverseDct8x8(tmp);
  std::memcpy(b.data(), tmp, sizeof tmp);
  return b;
}

Block Only(int index, int value) {
  Block b{};
  b[size_t(index)] = int16_t(value);
  return b;
}

TEST(InverseDct, WorkedValues) {
  EXPECT_EQ(Transform(Block{}), Block{});
  for (auto [dc, out] : {std::pair{1024, 128}, {8, 1}, {-8, -1}}) {
    const Block r = Transform(Only(0, dc));
    for (int v : r) EXPECT_EQ(v, out) << "dc " << dc;
  }
  const int ramp[8] = {11, 9, 6, 2, -2, -6, -9, -11};
  const Block h = Transform(Only(1, 64));
  const Block v = Transform(Only(8, 64));
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      EXPECT_EQ(h[size_t(8 * y + x)], ramp[x]);
      EXPECT_EQ(v[size_t(8 * y + x)], ramp[y]);
    }
}

TEST(InverseDct, HugeCoefficientsSaturateWithoutFault) {
  Block b;
  b.fill(32767);
  b[0] = -32768;
  const Block r = Transform(b);  // must not trap; values are whatever the integers give
  alignas(16) int16_t packed[64];
  std::memcpy(packed, b.data(), sizeof packed);
  InverseDct8x8Sse2(packed);
  EXPECT_EQ(0, std::memcmp(packed, r.data(), sizeof packed));
}

// IEEE 1180-1990: random spatial blocks, forward DCT in double precision,
// rounded and clipped coefficients, then the integer IDCT against the exact
// inverse rounded to integers.
class Ieee1180 {
 public:
  Ieee1180() {
    for (int k = 0; k < 8; ++k)
      for (int n = 0; n < 8; ++n)
        c_[k][n] = (k == 0 ? std::sqrt(0.125) : 0.5) * std::cos((2 * n + 1) * k * M_PI / 16.0);
  }

  void Forward(const double in[64], double out[64]) const { Separable(in, out, false); }
  void Inverse(const double in[64], double out[64]) const { Separable(in, out, true); }

 private:
  void Separable(const double in[64], double out[64], bool inverse) const {
    double tmp[64];
    for (int r = 0; r < 8; ++r)
      for (int k = 0; k < 8; ++k) {
        double s = 0;
        for (int n = 0; n < 8; ++n) s += in[8 * r + n] * (inverse ? c_[n][k] : c_[k][n]);
        tmp[8 * r + k] = s;
      }
    for (int c = 0; c < 8; ++c)
      for (int k = 0; k < 8; ++k) {
        double s = 0;
        for (int n = 0; n < 8; ++n) s += tmp[8 * n + c] * (inverse ? c_[n][k] : c_[k][n]);
        out[8 * k + c] = s;
      }
  }
  double c_[8][8];
};

void RunIeee1180(int low, int high, int sign) {
  Ieee1180 dct;
  std::mt19937 rng(unsigned(low * 7 + high * 13 + sign + 5));
  std::uniform_int_distribution<int> pixel(-low, high);
  double sumErr[64] = {}, sumSq[64] = {};
  int peak = 0;
  for (int n = 0; n < kAccuracyBlocks; ++n) {
    double spatial[64], coef[64], exact[64];
    for (double& v : spatial) v = sign * pixel(rng);
    dct.Forward(spatial, coef);
    alignas(16) int16_t block[64];
    for (int i = 0; i < 64; ++i) {
      coef[i] = std::clamp(std::round(coef[i]), -2048.0, 2047.0);
      block[i] = int16_t(coef[i]);
    }
    dct.Inverse(coef, exact);
    InverseDct8x8(block);
    for (int i = 0; i < 64; ++i) {
      const double ref = std::clamp(std::round(exact[i]), -256.0, 255.0);
      const int err = std::clamp(int(block[i]), -256, 255) - int(ref);
      peak = std::max(peak, std::abs(err));
      sumErr[i] += err;
      sumSq[i] += err * err;
    }
  }
  double totalErr = 0, totalSq = 0;
  for (int i = 0; i < 64; ++i) {
    EXPECT_LE(std::abs(sumErr[i]) / kAccuracyBlocks, 0.015) << "mean error at " << i;
    EXPECT_LE(sumSq[i] / kAccuracyBlocks, 0.06) << "mean square error at " << i;
    totalErr += sumErr[i];
    totalSq += sumSq[i];
  }
  EXPECT_LE(peak, 1);
  EXPECT_LE(std::abs(totalErr) / (64.0 * kAccuracyBlocks), 0.0015);
  EXPECT_LE(totalSq / (64.0 * kAccuracyBlocks), 0.02);
}

TEST(InverseDct, Ieee1180Accuracy) {
  for (auto [low, high] : {std::pair{256, 255}, {5, 5}, {300, 300}})
    for (int sign : {1, -1}) {
      SCOPED_TRACE(testing::Message() << "range " << -low << ".." << high << " sign " << sign);
      RunIeee1180(low, high, sign);
    }
}

// Mostly sparse blocks like real ones (DC alone, a few rows), plus
// full-range values.
void RandomBlock(std::mt19937& rng, int16_t* b) {
  std::uniform_int_distribution<int> kind(0, 4), pos(0, 63), small(-300, 300), any(-32768, 32767), count(0, 64);
  std::memset(b, 0, 128);
  const int k = kind(rng);
  if (k == 4) {
    b[0] = int16_t(rng() % 2 ? any(rng) : small(rng));
    return;
  }
  const int n = k == 0 ? 1 : count(rng);
  const int limit = 1 + int(rng() % 64);  // confined to the first positions
  for (int i = 0; i < n; ++i) b[pos(rng) % limit] = int16_t(k == 3 ? any(rng) : small(rng));
}

// The extent a caller may give for the block: its own or anything wider.
int RandomExtent(std::mt19937& rng, const int16_t* b) {
  int rows = kIdctDcOnly;
  for (int i = 1; i < 64; ++i)
    if (b[i]) rows = i / 8 + 1;
  if (rows == kIdctDcOnly && rng() % 2) return kIdctDcOnly;
  return std::max(rows, 1) + int(rng() % unsigned(9 - std::max(rows, 1)));
}

// The packed versions this processor can run.
struct PackedIdct {
  const char* name;
  void (*transform)(int16_t*, int);
  void (*put)(int16_t*, uint8_t*, int, int);
  void (*add)(int16_t*, uint8_t*, int, int);
};
std::vector<PackedIdct> PackedVersions() {
  std::vector<PackedIdct> v = {{"sse2", InverseDct8x8Sse2, IdctPutSse2, IdctAddSse2}};
  if (ProcessorHasAvx2()) v.push_back({"avx2", InverseDct8x8Avx2, IdctPutAvx2, IdctAddAvx2});
  return v;
}

TEST(InverseDct, PackedMatchesPlainBitForBit) {
  std::mt19937 rng(1180);
  std::uniform_int_distribution<int> byte(0, 255);
  const std::vector<PackedIdct> versions = PackedVersions();
  for (int n = 0; n < kRandomBlocks; ++n) {
    alignas(16) int16_t block[64], plain[64], packed[64];
    RandomBlock(rng, block);
    const int rows = RandomExtent(rng, block);
    std::memcpy(plain, block, sizeof block);
    InverseDct8x8(plain);
    uint8_t base[8 * 16], put1[8 * 16], put2[8 * 16], add1[8 * 16], add2[8 * 16];
    for (uint8_t& b : base) b = uint8_t(byte(rng));
    std::memcpy(put1, base, sizeof base);
    std::memcpy(add1, base, sizeof base);
    std::memcpy(packed, block, sizeof block);
    IdctPutReference(packed, put1, 16, 8);
    std::memcpy(packed, block, sizeof block);
    IdctAddReference(packed, add1, 16, 8);
    for (const PackedIdct& v : versions) {
      std::memcpy(packed, block, sizeof block);
      v.transform(packed, rows);
      ASSERT_EQ(0, std::memcmp(plain, packed, sizeof plain)) << v.name << " block " << n << " rows " << rows;
      std::memcpy(put2, base, sizeof base);
      std::memcpy(packed, block, sizeof block);
      v.put(packed, put2, 16, rows);
      ASSERT_EQ(0, std::memcmp(put1, put2, sizeof put1)) << v.name << " put, block " << n;
      std::memcpy(add2, base, sizeof base);
      std::memcpy(packed, block, sizeof block);
      v.add(packed, add2, 16, rows);
      ASSERT_EQ(0, std::memcmp(add1, add2, sizeof add1)) << v.name << " add, block " << n;
    }
  }
}

// Every DC value through the DC-only shortcut.
TEST(InverseDct, DcOnlyShortcutCoversEveryValue) {
  const std::vector<PackedIdct> versions = PackedVersions();
  for (int dc = -32768; dc <= 32767; ++dc) {
    alignas(16) int16_t plain[64] = {};
    plain[0] = int16_t(dc);
    InverseDct8x8(plain);
    for (const PackedIdct& v : versions) {
      alignas(16) int16_t packed[64] = {};
      packed[0] = int16_t(dc);
      v.transform(packed, kIdctDcOnly);
      ASSERT_EQ(0, std::memcmp(plain, packed, sizeof plain)) << v.name << " " << dc;
    }
  }
}

TEST(PixelWriters, ClampAndSaturate) {
  alignas(16) int16_t block[64] = {};
  block[0] = -5;
  block[1] = 300;
  block[2] = 100;
  block[3] = 32767;
  block[4] = -32768;
  uint8_t dst[8 * 8];
  std::memset(dst, 200, sizeof dst);
  PutBlockClamp(block, dst, 8);
  EXPECT_EQ(dst[0], 0);
  EXPECT_EQ(dst[1], 255);
  EXPECT_EQ(dst[2], 100);
  std::memset(dst, 200, sizeof dst);
  AddResidualClamp(block, dst, 8);
  EXPECT_EQ(dst[0], 195);
  EXPECT_EQ(dst[1], 255);
  EXPECT_EQ(dst[2], 255);
  EXPECT_EQ(dst[3], 255);
  EXPECT_EQ(dst[4], 0);
  EXPECT_EQ(dst[5], 200);
}

}  // namespace
