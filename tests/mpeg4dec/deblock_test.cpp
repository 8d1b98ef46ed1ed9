// Deblocking: hand-computed edges of each mode and direction, the mode
// gates, edge placement and QP lookup, and the packed kernels against the
// plain ones on random pictures.
#include "mpeg4dec/deblock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace quenda {
namespace {

// Source planes with a stride wider than the picture, packed destination
// planes, and a QP store of rows of 46 entries.
struct Picture {
  int w, h, stride;
  std::vector<uint8_t> y, u, v;
  std::vector<uint8_t> outY, outU, outV;
  std::vector<int32_t> qp;

  Picture(int width, int height, int qpAll = 10)
      : w(width),
        h(height),
        stride(width + 64),
        y(size_t(stride) * height),
        u(size_t(stride / 2) * (height / 2)),
        v(size_t(stride / 2) * (height / 2)),
        qp(size_t((height + 15) / 16) * 46, qpAll) {}

  uint8_t& Y(int x, int r) { return y[size_t(r) * stride + x]; }
  int OutY(int x, int r) const { return outY[size_t(r) * w + x]; }
  void SetQp(int mbRow, int mbCol, int value) { qp[size_t(mbRow) * 46 + mbCol] = value; }
  // Luma rows from a column profile, or columns from a row profile.
  void Columns(const std::vector<int>& profile) {
    for (int r = 0; r < h; ++r)
      for (int x = 0; x < w; ++x) Y(x, r) = uint8_t(profile[x]);
  }
  void Rows(const std::vector<int>& profile) {
    for (int r = 0; r < h; ++r)
      for (int x = 0; x < w; ++x) Y(x, r) = uint8_t(profile[r]);
  }

  void Run(const DeblockKernels& k, uint32_t flags) {
    outY.assign(size_t(w) * h, 0xEE);
    outU.assign(size_t(w / 2) * (h / 2), 0xEE);
    outV.assign(outU.size(), 0xEE);
    PostProcessPictureWith(k, y.data(), u.data(), v.data(), stride, outY.data(), outU.data(), outV.data(), w, w, h,
                           qp.data(), 46, flags);
  }
  std::vector<uint8_t> SourceLuma() const {
    std::vector<uint8_t> out;
    for (int r = 0; r < h; ++r) out.insert(out.end(), y.begin() + r * stride, y.begin() + r * stride + w);
    return out;
  }
};

// Runs `check` once per kernel table.
template <typename F>
void ForEachKernel(F check) {
  for (const DeblockKernels* k : AvailableDeblockKernels()) {
    SCOPED_TRACE(k->name);
    check(*k);
  }
}

std::vector<int> Step(int n, int at, int before, int after) {
  std::vector<int> p(size_t(n), before);
  for (int i = at; i < n; ++i) p[size_t(i)] = after;
  return p;
}

// 20 | 30 step with p0 = v0, p9 = v9, 9-tap: worked by hand.
const std::vector<int> kStep20to30Filtered{21, 21, 23, 24, 26, 28, 29, 29};

TEST(DeblockDcOffset, VerticalEdgeStepBelowTwiceQp) {
  ForEachKernel([](const DeblockKernels& k) {
    Picture pic(16, 8, 6);  // |v1 - v8| = 10 < 12
    pic.Columns(Step(16, 8, 20, 30));
    pic.Run(k, kDeblockLumaVertical);
    for (int r = 0; r < 8; ++r) {
      for (int x = 0; x < 16; ++x) {
        const int want = x >= 4 && x < 12 ? kStep20to30Filtered[x - 4] : x < 8 ? 20 : 30;
        ASSERT_EQ(pic.OutY(x, r), want) << x << "," << r;
      }
    }
    pic.qp.assign(pic.qp.size(), 5);  // 10 < 10 fails: left alone
    pic.Run(k, kDeblockLumaVertical);
    EXPECT_EQ(pic.outY, pic.SourceLuma());
  });
}

TEST(DeblockDcOffset, HorizontalEdgeStepUpToTwiceQp) {
  ForEachKernel([](const DeblockKernels& k) {
    Picture pic(16, 16, 5);  // |v1 - v8| = 10 <= 10
    pic.Rows(Step(16, 8, 20, 30));
    pic.Run(k, kDeblockLumaHorizontal);
    for (int r = 0; r < 16; ++r) {
      const int want = r >= 4 && r < 12 ? kStep20to30Filtered[r - 4] : r < 8 ? 20 : 30;
      for (int x = 0; x < 16; ++x) ASSERT_EQ(pic.OutY(x, r), want) << x << "," << r;
    }
    pic.qp.assign(pic.qp.size(), 4);
    pic.Run(k, kDeblockLumaHorizontal);
    EXPECT_EQ(pic.outY, pic.SourceLuma());
  });
}

TEST(DeblockDcOffset, EndPixelAtExactlyQp) {
  // v0 = 14, v1..v4 = 20, v5..v9 = 30, QP 6: |v0 - v1| = QP. Vertical edges
  // need the step below QP (p0 = v1, v1 -> 21); horizontal ones accept it
  // (p0 = 14, v1 -> (6*14 + 4*20 + 2*20 + 2*20 + 20 + 30 + 8) >> 4 = 18).
  std::vector<int> profile = Step(16, 8, 20, 30);
  for (int i = 0; i < 4; ++i) profile[size_t(i)] = 14;
  ForEachKernel([&](const DeblockKernels& k) {
    Picture columns(16, 8, 6);
    columns.Columns(profile);
    columns.Run(k, kDeblockLumaVertical);
    EXPECT_EQ(columns.OutY(4, 0), 21);
    EXPECT_EQ(columns.OutY(3, 0), 14);
    Picture rows(16, 16, 6);
    rows.Rows(profile);
    rows.Run(k, kDeblockLumaHorizontal);
    EXPECT_EQ(rows.OutY(0, 4), 18);
    EXPECT_EQ(rows.OutY(0, 5), 20);
  });
}

TEST(DeblockDcOffset, VerticalGateReadsFirstRowOfStripOnly) {
  ForEachKernel([](const DeblockKernels& k) {
    Picture pic(16, 8, 6);
    pic.Columns(Step(16, 8, 20, 30));
    for (int x = 8; x < 16; ++x) pic.Y(x, 0) = 50;  // first strip: row 0 fails the gate
    for (int x = 8; x < 16; ++x) pic.Y(x, 5) = 50;  // second strip: a later row fails, ignored
    pic.Run(k, kDeblockLumaVertical);
    for (int r = 0; r < 4; ++r) EXPECT_EQ(pic.OutY(7, r), 20) << r;
    EXPECT_EQ(pic.OutY(8, 1), 30);
    EXPECT_EQ(pic.OutY(7, 4), 24);
    EXPECT_EQ(pic.OutY(8, 4), 26);
    // 20 | 50: v4 = (20 + 20 + 40 + 40 + 80 + 100 + 100 + 50 + 50 + 8) >> 4.
    EXPECT_EQ(pic.OutY(7, 5), 31);
    EXPECT_EQ(pic.OutY(8, 5), 39);
  });
}

TEST(DeblockDcOffset, HorizontalGateNeedsEveryColumn) {
  ForEachKernel([](const DeblockKernels& k) {
    Picture pic(16, 16, 6);
    pic.Rows(Step(16, 8, 20, 30));
    for (int r = 8; r < 16; ++r) pic.Y(11, r) = 50;  // one column of the second group fails
    pic.Run(k, kDeblockLumaHorizontal);
    EXPECT_EQ(pic.OutY(3, 7), 24);  // first group filtered
    EXPECT_EQ(pic.OutY(3, 8), 26);
    EXPECT_EQ(pic.OutY(12, 7), 20);  // second group left alone
    EXPECT_EQ(pic.OutY(12, 8), 30);
  });
}

// Ramps with a jump at the edge: no flat pair, default mode. By hand:
// h = (26 - 46) / 2 = -10, A0 = 2(22 - 50) - 5(26 - 46) = 44, A1 = A2 = -4,
// c = (5 * 40 + 32) >> 6 = 3, d = -3: v4 26 -> 29, v5 46 -> 43 (QP 10).
const std::vector<int> kRamp{0, 2, 6, 10, 14, 18, 22, 26, 46, 50, 54, 58, 62, 66, 70, 74};

TEST(DeblockDefault, VerticalEdge) {
  ForEachKernel([](const DeblockKernels& k) {
    Picture pic(16, 8, 10);
    pic.Columns(kRamp);
    pic.Run(k, kDeblockLumaVertical);
    for (int r = 0; r < 8; ++r) {
      for (int x = 0; x < 16; ++x) {
        const int want = x == 7 ? 29 : x == 8 ? 43 : kRamp[size_t(x)];
        ASSERT_EQ(pic.OutY(x, r), want) << x << "," << r;
      }
    }
    pic.qp.assign(pic.qp.size(), 5);  // |A0| = 44 >= 8 QP = 40
    pic.Run(k, kDeblockLumaVertical);
    EXPECT_EQ(pic.outY, pic.SourceLuma());
  });
}

TEST(DeblockDefault, HorizontalEdgeFallingRamp) {
  std::vector<int> falling(kRamp.rbegin(), kRamp.rend());  // v4 46, v5 26: d = +3
  ForEachKernel([&](const DeblockKernels& k) {
    Picture pic(16, 16, 10);
    pic.Rows(falling);
    pic.Run(k, kDeblockLumaHorizontal);
    for (int r = 0; r < 16; ++r) {
      const int want = r == 7 ? 43 : r == 8 ? 29 : falling[size_t(r)];
      for (int x = 0; x < 16; ++x) ASSERT_EQ(pic.OutY(x, r), want) << x << "," << r;
    }
  });
}

TEST(DeblockDefault, StepOfOneIsNeverChanged) {
  std::vector<int> profile = kRamp;
  profile[8] = 27;  // v4 26, v5 27: h = 0
  ForEachKernel([&](const DeblockKernels& k) {
    Picture pic(16, 8, 31);
    pic.Columns(profile);
    pic.Run(k, kDeblockLumaVertical);
    EXPECT_EQ(pic.outY, pic.SourceLuma());
  });
}

TEST(DeblockDefault, NoCorrectionWhenStepAgreesWithA0) {
  // v6 = 100: A0 = 2(22 - 100) - 5(26 - 46) = -56, same sign as h = -10;
  // |A0| < 8 QP and c = (5 * 52 + 32) >> 6 = 4, yet nothing moves.
  std::vector<int> profile = kRamp;
  profile[9] = 100;
  ForEachKernel([&](const DeblockKernels& k) {
    Picture pic(16, 8, 31);
    pic.Columns(profile);
    pic.Run(k, kDeblockLumaVertical);
    EXPECT_EQ(pic.outY, pic.SourceLuma());
  });
}

TEST(DeblockDefault, A0AtEightQpIsLeftAlone) {
  std::vector<int> profile = kRamp;
  profile[9] = 48;  // A0 = 2(22 - 48) + 100 = 48
  ForEachKernel([&](const DeblockKernels& k) {
    Picture pic(16, 8, 6);
    pic.Columns(profile);
    pic.Run(k, kDeblockLumaVertical);
    EXPECT_EQ(pic.outY, pic.SourceLuma());
    pic.qp.assign(pic.qp.size(), 7);
    pic.Run(k, kDeblockLumaVertical);
    EXPECT_EQ(pic.OutY(7, 0), 29);
    EXPECT_EQ(pic.OutY(8, 0), 43);
  });
}

// Lines v0..v9 with 6, 3, 1 and 0 flat pairs among (v1,v2) .. (v7,v8); v0 = v1
// in each, so counting (v0,v1) too would change every decision.
const std::vector<int> kSixFlat{50, 50, 50, 50, 50, 56, 56, 56, 56, 56};
const std::vector<int> kThreeFlat{50, 50, 50, 50, 50, 56, 59, 62, 65, 65};
const std::vector<int> kOneFlat{50, 50, 50, 53, 56, 59, 62, 65, 68, 68};
const std::vector<int> kNoFlat{50, 50, 53, 56, 59, 62, 65, 68, 71, 71};

// The six-flat line at v4: default mode gives 51 (h = -3, A0 = 18, c = 1),
// the 9-tap gives (10 * 50 + 6 * 56 + 8) >> 4 = 52.
constexpr int kDefaultV4 = 51;
constexpr int kDcOffsetV4 = 52;

// Samples of a line placed across the edge at 8, padded with its end values.
int LineSample(const std::vector<int>& line, int i) { return line[size_t(std::clamp(i - 3, 0, 9))]; }

const std::vector<int>& LineWithFlatPairs(int n) {
  return n == 6 ? kSixFlat : n == 3 ? kThreeFlat : n == 1 ? kOneFlat : kNoFlat;
}

TEST(DeblockModeDecision, VerticalEdgeNeedsSixteenFlatPairs) {
  const std::vector<int> rowsFor15{6, 6, 3, 0};
  const std::vector<int> rowsFor16{6, 6, 3, 1};
  ForEachKernel([&](const DeblockKernels& k) {
    for (int count : {15, 16}) {
      const std::vector<int>& flats = count == 15 ? rowsFor15 : rowsFor16;
      Picture pic(16, 8, 10);
      for (int r = 0; r < 8; ++r) {
        for (int x = 0; x < 16; ++x) pic.Y(x, r) = uint8_t(LineSample(LineWithFlatPairs(flats[size_t(r % 4)]), x));
      }
      pic.Run(k, kDeblockLumaVertical);
      EXPECT_EQ(pic.OutY(7, 0), count == 15 ? kDefaultV4 : kDcOffsetV4) << count;
      EXPECT_EQ(pic.OutY(7, 4), count == 15 ? kDefaultV4 : kDcOffsetV4) << count;
    }
  });
}

TEST(DeblockModeDecision, HorizontalEdgeNeedsMoreThanThirtyTwoFlatPairs) {
  const std::vector<int> columnsFor32{6, 6, 6, 6, 6, 1, 1, 0};
  const std::vector<int> columnsFor33{6, 6, 6, 6, 6, 3, 0, 0};
  ForEachKernel([&](const DeblockKernels& k) {
    for (int count : {32, 33}) {
      const std::vector<int>& flats = count == 32 ? columnsFor32 : columnsFor33;
      Picture pic(16, 16, 12);  // 2 QP = 24 covers every column's |v1 - v8|
      for (int r = 0; r < 16; ++r) {
        for (int x = 0; x < 16; ++x) pic.Y(x, r) = uint8_t(LineSample(LineWithFlatPairs(flats[size_t(x % 8)]), r));
      }
      pic.Run(k, kDeblockLumaHorizontal);
      EXPECT_EQ(pic.OutY(0, 7), count == 32 ? kDefaultV4 : kDcOffsetV4) << count;
      EXPECT_EQ(pic.OutY(8, 7), count == 32 ? kDefaultV4 : kDcOffsetV4) << count;
    }
  });
}

TEST(Deblock, FlagsSelectPlanesAndDirections) {
  std::mt19937 rng(5);
  Picture pic(64, 32);
  for (auto* plane : {&pic.y, &pic.u, &pic.v})
    for (auto& b : *plane) b = uint8_t(100 + rng() % 8);  // textured but mostly flat
  ForEachKernel([&](const DeblockKernels& k) {
    pic.Run(k, 0x30);  // level-table bits only: a plain copy
    const auto copyY = pic.outY, copyU = pic.outU, copyV = pic.outV;
    EXPECT_EQ(copyY, pic.SourceLuma());
    pic.Run(k, kDeblockLumaVertical | kDeblockLumaHorizontal);
    EXPECT_NE(pic.outY, copyY);
    EXPECT_EQ(pic.outU, copyU);
    EXPECT_EQ(pic.outV, copyV);
    pic.Run(k, kDeblockChromaVertical | kDeblockChromaHorizontal);
    EXPECT_EQ(pic.outY, copyY);
    EXPECT_NE(pic.outU, copyU);
    EXPECT_NE(pic.outV, copyV);
  });
}

TEST(Deblock, UniformPictureUnchanged) {
  ForEachKernel([](const DeblockKernels& k) {
    for (int level : {0, 16, 128, 255}) {
      for (int qp : {1, 10, 31}) {
        Picture pic(64, 48, qp);
        for (auto* plane : {&pic.y, &pic.u, &pic.v}) plane->assign(plane->size(), uint8_t(level));
        pic.Run(k, 0x0F);
        EXPECT_EQ(pic.outY, std::vector<uint8_t>(pic.outY.size(), uint8_t(level)));
        EXPECT_EQ(pic.outU, std::vector<uint8_t>(pic.outU.size(), uint8_t(level)));
      }
    }
  });
}

TEST(Deblock, FullPictureStripesAndBands) {
  // 8-wide stripes (8-high bands) of 20 and 30 over 320 x 240, QP 6.
  std::vector<int> stripes(320), bands(240);
  for (int i = 0; i < 320; ++i) stripes[size_t(i)] = (i / 8) % 2 ? 30 : 20;
  for (int i = 0; i < 240; ++i) bands[size_t(i)] = (i / 8) % 2 ? 30 : 20;
  ForEachKernel([&](const DeblockKernels& k) {
    Picture pic(320, 240, 6);
    pic.Columns(stripes);
    pic.Run(k, kDeblockLumaVertical);
    // v1..v8 of the edges at columns 8 .. 312 cover columns 4 .. 315.
    for (int x = 0; x < 320; ++x) {
      EXPECT_EQ(pic.OutY(x, 37) != stripes[size_t(x)], x >= 4 && x <= 315) << x;
    }
    pic.qp.assign(pic.qp.size(), 5);  // d = 10 = 2 QP: vertical edges stay
    pic.Run(k, kDeblockLumaVertical);
    EXPECT_EQ(pic.outY, pic.SourceLuma());

    Picture rows(320, 240, 5);  // d = 2 QP: horizontal edges filter
    rows.Rows(bands);
    rows.Run(k, kDeblockLumaHorizontal);
    // Edges at rows 8 .. 232 reach rows 4 .. 235.
    for (int r = 0; r < 240; ++r) EXPECT_EQ(rows.OutY(50, r) != bands[size_t(r)], r >= 4 && r <= 235) << r;
  });
}

TEST(Deblock, ChromaRowEdgesStopAbovePictureBottom) {
  // Chroma 160 x 120 with bands: edges at rows 8 .. 112 reach rows 4 .. 115.
  ForEachKernel([](const DeblockKernels& k) {
    Picture pic(320, 240, 31);
    for (int r = 0; r < 120; ++r)
      for (int x = 0; x < 160; ++x) pic.u[size_t(r) * 192 + x] = uint8_t((r / 8) % 2 ? 30 : 20);
    pic.Run(k, kDeblockChromaHorizontal);
    for (int r = 0; r < 120; ++r) {
      EXPECT_EQ(pic.outU[size_t(r) * 160 + 20] != ((r / 8) % 2 ? 30 : 20), r >= 4 && r <= 115) << r;
    }
  });
}

TEST(Deblock, EdgeTakesQpOfMacroblockHoldingV5) {
  // Steps at luma columns 8 and 16 (20 | 30 | 20); QP 6 filters, QP 5 does not.
  std::vector<int> profile = Step(32, 8, 20, 30);
  for (int x = 16; x < 32; ++x) profile[size_t(x)] = 20;
  ForEachKernel([&](const DeblockKernels& k) {
    Picture pic(32, 32, 5);
    pic.Columns(profile);
    pic.SetQp(1, 0, 6);  // macroblock (1, 0): edge 8 of rows 16..31
    pic.Run(k, kDeblockLumaVertical);
    EXPECT_EQ(pic.OutY(7, 3), 20);
    EXPECT_EQ(pic.OutY(7, 20), 24);
    EXPECT_EQ(pic.OutY(15, 20), 30);
    pic.SetQp(1, 0, 5);
    pic.SetQp(0, 1, 6);  // macroblock (0, 1): edge 16 of rows 0..15
    pic.Run(k, kDeblockLumaVertical);
    EXPECT_EQ(pic.OutY(7, 3), 20);
    EXPECT_NE(pic.OutY(15, 3), 30);
    EXPECT_EQ(pic.OutY(15, 20), 30);

    // Chroma column 8 belongs to macroblock column 1.
    Picture chroma(32, 32, 5);
    for (int r = 0; r < 16; ++r)
      for (int x = 0; x < 16; ++x) chroma.v[size_t(r) * 48 + x] = uint8_t(x < 8 ? 20 : 30);
    chroma.SetQp(0, 1, 6);
    chroma.Run(k, kDeblockChromaVertical);
    EXPECT_EQ(chroma.outV[size_t(2) * 16 + 7], 24);
    EXPECT_EQ(chroma.outV[size_t(10) * 16 + 7], 20);  // macroblock row 1 keeps QP 5

    // The row edge at 16 belongs to macroblock row 1; QP 5 filters a step of 10.
    Picture rows(16, 32, 4);
    rows.Rows(Step(32, 16, 20, 30));
    rows.SetQp(1, 0, 5);
    rows.Run(k, kDeblockLumaHorizontal);
    EXPECT_EQ(rows.OutY(0, 15), 24);
    rows.SetQp(1, 0, 4);
    rows.SetQp(0, 0, 5);
    rows.Run(k, kDeblockLumaHorizontal);
    EXPECT_EQ(rows.OutY(0, 15), 20);
  });
}

TEST(Deblock, BadRequestsDoNothing) {
  Picture pic(32, 32);
  std::vector<uint8_t> out(32 * 32, 0xEE);
  PostProcessPicture(pic.y.data(), pic.u.data(), pic.v.data(), pic.stride, out.data(), out.data(), out.data(), 32,
                     31, 32, pic.qp.data(), 46, 0x0F);
  PostProcessPicture(pic.y.data(), pic.u.data(), pic.v.data(), pic.stride, out.data(), out.data(), out.data(), 32,
                     32, 32, nullptr, 46, 0x0F);
  PostProcessPicture(pic.y.data(), pic.u.data(), pic.v.data(), 16, out.data(), out.data(), out.data(), 32, 32, 32,
                     pic.qp.data(), 46, 0x0F);
  EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0xEE));
}

// Blocks of random level with small noise, steps and ramps: every mode and
// gate is reached, unlike with plain noise.
void FillStructured(std::mt19937& rng, std::vector<uint8_t>& plane, int stride, int w, int h) {
  const int bw = (w + 7) / 8;
  std::vector<int> level(size_t(bw) * size_t((h + 7) / 8));
  for (auto& l : level) l = int(rng() % 256);
  const int noise = int(rng() % 4);
  const bool ramp = rng() % 3 == 0;
  for (int r = 0; r < h; ++r) {
    for (int x = 0; x < w; ++x) {
      int value = level[size_t(r / 8) * bw + x / 8] + (noise ? int(rng() % (2 * noise + 1)) - noise : 0);
      if (ramp) value += (x % 8) * 3 - 10;
      if (rng() % 50 == 0) value = int(rng() % 256);
      plane[size_t(r) * stride + x] = uint8_t(std::clamp(value, 0, 255));
    }
  }
}

TEST(Deblock, PackedKernelsMatchPlainOnRandomPictures) {
  const auto kernels = AvailableDeblockKernels();
  if (kernels.size() < 2) GTEST_SKIP() << "no packed kernels on this machine";
  std::mt19937 rng(777);
  const int qps[] = {-5, 0, 1, 2, 3, 5, 8, 12, 20, 31, 40, 255, 300};
  for (int iteration = 0; iteration < 120; ++iteration) {
    const bool full = iteration % 4 == 0;
    const int w = full ? 320 : 2 * int(4 + rng() % 60);
    const int h = full ? 240 : 2 * int(4 + rng() % 40);
    Picture pic(w, h);
    FillStructured(rng, pic.y, pic.stride, w, h);
    FillStructured(rng, pic.u, pic.stride / 2, w / 2, h / 2);
    FillStructured(rng, pic.v, pic.stride / 2, w / 2, h / 2);
    for (auto& q : pic.qp) q = rng() % 4 ? int(1 + rng() % 31) : qps[rng() % std::size(qps)];
    const uint32_t flags = iteration % 8 == 1 ? 0x0F : rng() % 64;
    pic.Run(PlainDeblockKernels(), flags);
    const auto wantY = pic.outY, wantU = pic.outU, wantV = pic.outV;
    for (size_t i = 1; i < kernels.size(); ++i) {
      pic.Run(*kernels[i], flags);
      ASSERT_EQ(pic.outY, wantY) << kernels[i]->name << " " << w << "x" << h << " flags " << flags;
      ASSERT_EQ(pic.outU, wantU) << kernels[i]->name << " " << w << "x" << h;
      ASSERT_EQ(pic.outV, wantV) << kernels[i]->name << " " << w << "x" << h;
    }
  }
}

}  // namespace
}  // namespace quenda
