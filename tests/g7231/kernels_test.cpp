// The fast kernels give the reference kernels' results and overflow flag,
// bit for bit, on random and on saturating input.
#include <gtest/gtest.h>

#include <random>

#include "g7231/kernels.h"

namespace {

using namespace g7231;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kRounds = 300;
#else
constexpr int kRounds = 3000;
#endif

// Mostly moderate values, sometimes full scale, sometimes the extremes.
int16_t Sample(std::mt19937& rng, int scale) {
  const uint32_t pick = rng() % 16;
  if (pick == 0) return INT16_MIN;
  if (pick == 1) return INT16_MAX;
  std::uniform_int_distribution<int> d(-scale, scale);
  return static_cast<int16_t>(d(rng));
}

void Fill(std::mt19937& rng, int16_t* v, int n) {
  const int scales[] = {64, 2048, 12000, 32767};
  const int scale = scales[rng() % 4];
  for (int i = 0; i < n; ++i) v[i] = Sample(rng, scale);
}

TEST(Kernels, AdaptiveFilterMatchesReference) {
  std::mt19937 rng(1);
  for (int round = 0; round < kRounds; ++round) {
    int16_t past[64];
    int16_t taps[20];
    Fill(rng, past, 64);
    Fill(rng, taps, 20);
    CG723 a;
    CG723 b;
    a.overflow = b.overflow = static_cast<int16_t>(round & 1);
    int16_t outA[60];
    int16_t outB[60];
    ReferenceKernels().adaptiveFilter(a, outA, past, taps);
    FastKernels().adaptiveFilter(b, outB, past, taps);
    for (int i = 0; i < 60; ++i) ASSERT_EQ(outA[i], outB[i]) << "round " << round << " sample " << i;
    ASSERT_EQ(a.overflow, b.overflow) << "round " << round;
  }
}

TEST(Kernels, DotProductMatchesReference) {
  std::mt19937 rng(2);
  for (int round = 0; round < kRounds; ++round) {
    int16_t x[120];
    int16_t y[120];
    Fill(rng, x, 120);
    Fill(rng, y, 120);
    const int n = static_cast<int>(rng() % 121);
    const int32_t start = (round % 3 == 0) ? static_cast<int32_t>(rng()) : 0;
    CG723 a;
    CG723 b;
    a.overflow = b.overflow = static_cast<int16_t>(round & 1);
    const int32_t ra = ReferenceKernels().dotProduct(a, start, x, y, n);
    const int32_t rb = FastKernels().dotProduct(b, start, x, y, n);
    ASSERT_EQ(ra, rb) << "round " << round;
    ASSERT_EQ(a.overflow, b.overflow) << "round " << round;
  }
}

TEST(Kernels, SynthesisMatchesReference) {
  std::mt19937 rng(3);
  for (int round = 0; round < kRounds; ++round) {
    int16_t samples[60];
    int16_t lpc[10];
    int16_t memory[10];
    Fill(rng, samples, 60);
    Fill(rng, lpc, 10);
    Fill(rng, memory, 10);
    int16_t samplesB[60];
    int16_t memoryB[10];
    std::copy(std::begin(samples), std::end(samples), samplesB);
    std::copy(std::begin(memory), std::end(memory), memoryB);
    const bool doubled = (round & 2) != 0;
    CG723 a;
    CG723 b;
    a.overflow = b.overflow = static_cast<int16_t>(round & 1);
    ReferenceKernels().synthesis(a, samples, lpc, memory, doubled);
    FastKernels().synthesis(b, samplesB, lpc, memoryB, doubled);
    for (int i = 0; i < 60; ++i) ASSERT_EQ(samples[i], samplesB[i]) << "round " << round << " sample " << i;
    for (int i = 0; i < 10; ++i) ASSERT_EQ(memory[i], memoryB[i]) << "round " << round;
    ASSERT_EQ(a.overflow, b.overflow) << "round " << round;
  }
}

TEST(Kernels, ScaleVectorMatchesReference) {
  std::mt19937 rng(4);
  for (int round = 0; round < kRounds; ++round) {
    int16_t a[120];
    Fill(rng, a, 120);
    int16_t b[120];
    std::copy(std::begin(a), std::end(a), b);
    const int16_t factor = round % 5 == 0 ? Sample(rng, 32767) : static_cast<int16_t>(1 << (rng() % 15));
    CG723 ca;
    CG723 cb;
    ca.overflow = cb.overflow = static_cast<int16_t>(round & 1);
    ReferenceKernels().scaleVector(ca, a, 120, factor);
    FastKernels().scaleVector(cb, b, 120, factor);
    for (int i = 0; i < 120; ++i) ASSERT_EQ(a[i], b[i]) << "round " << round << " factor " << factor;
    ASSERT_EQ(ca.overflow, cb.overflow);
  }
}

// A synthesis value of 16384 or more doubles to 32767, -16385 or less to -32768.
TEST(Kernels, DoubledOutputSaturates) {
  for (const KernelTable* k : {&ReferenceKernels(), &FastKernels()}) {
    CG723 c;
    int16_t lpc[10] = {};
    int16_t memory[10] = {};
    int16_t samples[60] = {};
    samples[0] = 32767;   // half-scale synthesis: 16384
    samples[1] = -32768;  // -16384 doubles exactly
    samples[2] = 32766;   // 16383 doubles exactly
    k->synthesis(c, samples, lpc, memory, true);
    EXPECT_EQ(samples[0], 32767);
    EXPECT_EQ(samples[1], -32768);
    EXPECT_EQ(samples[2], 32766);
  }
}

}  // namespace
