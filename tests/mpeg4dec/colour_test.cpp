// Colour conversion: fixed points, every format on a decoded picture against
// an independent per-pixel formula, buffer layout, and the packed kernels
// against the plain ones.
#include "mpeg4dec/colour.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "mpeg4dec/deblock.h"

namespace quenda {
namespace {

constexpr int kFormats[] = {kFormatRgb32, kFormatRgb24, kFormatRgb24BottomUp, kFormatRgb565};

// A picture in frame-store layout (bordered planes), filled per plane.
struct BorderedPicture {
  int width, height;
  std::vector<uint8_t> y, u, v;
  FramePlanes planes;

  BorderedPicture(int w, int h)
      : width(w),
        height(h),
        y(LumaPlaneBytes(w, h), 0x5A),
        u(ChromaPlaneBytes(w, h), 0xA5),
        v(ChromaPlaneBytes(w, h), 0x3C) {
    planes = FramePlanes{y.data() + kLumaBorder * LumaStride(w) + kLumaBorder,
                         u.data() + kChromaBorder * ChromaStride(w) + kChromaBorder,
                         v.data() + kChromaBorder * ChromaStride(w) + kChromaBorder, LumaStride(w), ChromaStride(w)};
  }
  uint8_t& Y(int x, int r) { return planes.y[r * planes.lumaStride + x]; }
  uint8_t& U(int x, int r) { return planes.u[r * planes.chromaStride + x]; }
  uint8_t& V(int x, int r) { return planes.v[r * planes.chromaStride + x]; }
};

// Independent statement of the conversion, in floating point floor division.
int Term(int x, int c) { return int(std::floor(double(x) * c / 8192.0)); }
int Clip(int x) { return x < 0 ? 0 : x > 255 ? 255 : x; }
struct Rgb {
  int r, g, b;
};
Rgb Expected(int y, int u, int v) {
  const int l = Term(y < 16 ? 0 : y - 16, 9576);
  return {Clip(l + Term(v - 128, 13123)), Clip(l + Term(u - 128, -3218) + Term(v - 128, -6686)),
          Clip(l + Term(u - 128, 16591))};
}

// Output pixel of picture (x, row) in a buffer of the given format.
Rgb ReadPixel(const std::vector<uint8_t>& out, int format, int width, int height, int x, int row) {
  const int bpp = BytesPerPixel(format);
  const int bufferRow = format == kFormatRgb24BottomUp ? height - 1 - row : row;
  const uint8_t* p = out.data() + (size_t(bufferRow) * width + x) * bpp;
  if (format == kFormatRgb565) {
    const int w = p[0] | p[1] << 8;
    return {(w >> 11) << 3, ((w >> 5) & 63) << 2, (w & 31) << 3};
  }
  return {p[2], p[1], p[0]};
}

Rgb Truncate565(Rgb c) { return {c.r & 0xF8, c.g & 0xFC, c.b & 0xF8}; }

std::vector<uint8_t> Convert(const ColourKernels& k, const FramePlanes& planes, int format, int w, int h,
                             uint8_t fill, int* rows = nullptr) {
  std::vector<uint8_t> out(size_t(w) * h * BytesPerPixel(format), fill);
  const int written = ConvertPictureWith(k, planes, out.data(), format, w, h);
  if (rows) *rows = written;
  return out;
}

TEST(ColourConversion, FixedPoints) {
  struct Case {
    int y, u, v, r, g, b, word565;
  };
  const Case cases[] = {
      {16, 128, 128, 0, 0, 0, 0x0000},     {235, 128, 128, 255, 255, 255, 0xFFFF},
      {128, 128, 128, 130, 130, 130, 0x8410}, {81, 90, 240, 254, 0, 0, 0xF800},
      {145, 54, 34, 0, 255, 0, 0x07E0},    {41, 240, 110, 0, 0, 255, 0x001F},
      {0, 128, 128, 0, 0, 0, 0x0000},      {0, 0, 0, 0, 154, 0, 0x04C0},
      {255, 255, 255, 255, 125, 255, 0xFBFF},
  };
  for (const ColourKernels* k : AvailableColourKernels()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(k->name) + " Y=" + std::to_string(c.y) + " U=" + std::to_string(c.u) +
                   " V=" + std::to_string(c.v));
      BorderedPicture pic(64, 2);
      for (int x = 0; x < 64; ++x) pic.Y(x, 0) = pic.Y(x, 1) = uint8_t(c.y);
      for (int x = 0; x < 32; ++x) pic.U(x, 0) = uint8_t(c.u), pic.V(x, 0) = uint8_t(c.v);
      const auto rgb32 = Convert(*k, pic.planes, kFormatRgb32, 64, 2, 0xEE);
      for (int i = 0; i < 128; ++i) {
        ASSERT_EQ(rgb32[4 * i + 0], c.b);
        ASSERT_EQ(rgb32[4 * i + 1], c.g);
        ASSERT_EQ(rgb32[4 * i + 2], c.r);
        ASSERT_EQ(rgb32[4 * i + 3], 0);
      }
      const auto rgb565 = Convert(*k, pic.planes, kFormatRgb565, 64, 2, 0xEE);
      for (int i = 0; i < 128; ++i) ASSERT_EQ(rgb565[2 * i] | rgb565[2 * i + 1] << 8, c.word565);
    }
  }
}

// The first picture of a reference stream, from its planar file.
bool LoadReferencePicture(BorderedPicture& pic) {
  std::ifstream in(std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/ts_q5.first10.yuv", std::ios::binary);
  if (!in) return false;
  std::vector<char> row(size_t(pic.width));
  for (int r = 0; r < pic.height; ++r) {
    in.read(row.data(), pic.width);
    std::memcpy(&pic.Y(0, r), row.data(), size_t(pic.width));
  }
  for (uint8_t* plane : {pic.planes.u, pic.planes.v}) {
    for (int r = 0; r < pic.height / 2; ++r) {
      in.read(row.data(), pic.width / 2);
      std::memcpy(plane + r * pic.planes.chromaStride, row.data(), size_t(pic.width / 2));
    }
  }
  return bool(in);
}

TEST(ColourConversion, EveryFormatOnDecodedPicture) {
  BorderedPicture pic(320, 240);
  ASSERT_TRUE(LoadReferencePicture(pic)) << "reference picture missing";
  for (const ColourKernels* k : AvailableColourKernels()) {
    for (int format : kFormats) {
      SCOPED_TRACE(std::string(k->name) + " format " + std::to_string(format));
      int rows = 0;
      const auto out = Convert(*k, pic.planes, format, 320, 240, 0x00, &rows);
      EXPECT_EQ(rows, 240);
      // Every byte of all 240 rows is written: a second fill gives the same.
      EXPECT_EQ(out, Convert(*k, pic.planes, format, 320, 240, 0xFF));
      for (int r = 0; r < 240; ++r) {
        for (int x = 0; x < 320; ++x) {
          Rgb want = Expected(pic.Y(x, r), pic.U(x / 2, r / 2), pic.V(x / 2, r / 2));
          if (format == kFormatRgb565) want = Truncate565(want);
          const Rgb got = ReadPixel(out, format, 320, 240, x, r);
          ASSERT_TRUE(got.r == want.r && got.g == want.g && got.b == want.b) << "pixel " << x << "," << r;
        }
      }
      if (format == kFormatRgb32) {
        for (size_t i = 3; i < out.size(); i += 4) ASSERT_EQ(out[i], 0);
      }
    }
  }
}

TEST(ColourConversion, BottomUpIsTopDownMirrored) {
  BorderedPicture pic(320, 240);
  ASSERT_TRUE(LoadReferencePicture(pic));
  const auto top = Convert(ActiveColourKernels(), pic.planes, kFormatRgb24, 320, 240, 0);
  const auto bottom = Convert(ActiveColourKernels(), pic.planes, kFormatRgb24BottomUp, 320, 240, 0);
  for (int r = 0; r < 240; ++r) {
    ASSERT_EQ(0, std::memcmp(&top[size_t(r) * 960], &bottom[size_t(239 - r) * 960], 960)) << "row " << r;
  }
}

TEST(ColourConversion, WritesNothingOutsideTheBuffer) {
  BorderedPicture pic(48, 6);
  for (int format : kFormats) {
    for (const ColourKernels* k : AvailableColourKernels()) {
      const size_t size = size_t(48) * 6 * BytesPerPixel(format);
      std::vector<uint8_t> out(size + 64, 0xCD);
      ASSERT_EQ(ConvertPictureWith(*k, pic.planes, out.data() + 32, format, 48, 6), 6);
      for (size_t i = 0; i < 32; ++i) {
        ASSERT_EQ(out[i], 0xCD);
        ASSERT_EQ(out[size + 32 + i], 0xCD);
      }
    }
  }
}

TEST(ColourConversion, RejectedRequestsWriteNothing) {
  BorderedPicture pic(32, 4);
  std::vector<uint8_t> out(32 * 4 * 4, 0xCD);
  const std::vector<uint8_t> untouched = out;
  EXPECT_EQ(ConvertPicture(pic.planes, out.data(), 8, 32, 4), 0);
  EXPECT_EQ(ConvertPicture(pic.planes, out.data(), kFormatRgb32, 31, 4), 0);
  EXPECT_EQ(ConvertPicture(pic.planes, out.data(), kFormatRgb32, 32, 3), 0);
  EXPECT_EQ(ConvertPicture(pic.planes, out.data(), kFormatRgb32, 0, 4), 0);
  EXPECT_EQ(ConvertPicture(pic.planes, nullptr, kFormatRgb32, 32, 4), 0);
  EXPECT_EQ(ConvertYuvToRgb24(nullptr, 96, pic.planes.u, pic.planes.v, 48, out.data(), 32, 4), 0);
  EXPECT_EQ(out, untouched);
  EXPECT_EQ(ConvertYuvToRgb32(pic.planes.y, 96, pic.planes.u, pic.planes.v, 48, out.data(), 32, 4), 4);
  EXPECT_EQ(BytesPerPixel(8), 0);
}

TEST(ColourConversion, NamedConvertersMatchFormatCodes) {
  BorderedPicture pic(64, 8);
  std::mt19937 rng(3);
  for (auto* plane : {&pic.y, &pic.u, &pic.v})
    for (auto& b : *plane) b = uint8_t(rng());
  const FramePlanes& p = pic.planes;
  using Fn = int (*)(const uint8_t*, int, const uint8_t*, const uint8_t*, int, uint8_t*, int, int);
  const std::pair<int, Fn> named[] = {{kFormatRgb32, ConvertYuvToRgb32},
                                      {kFormatRgb24, ConvertYuvToRgb24},
                                      {kFormatRgb24BottomUp, ConvertYuvToRgb24Flipped},
                                      {kFormatRgb565, ConvertYuvToRgb565}};
  for (const auto& [format, fn] : named) {
    std::vector<uint8_t> out(64 * 8 * size_t(BytesPerPixel(format)));
    EXPECT_EQ(fn(p.y, p.lumaStride, p.u, p.v, p.chromaStride, out.data(), 64, 8), 8);
    EXPECT_EQ(out, Convert(PlainColourKernels(), p, format, 64, 8, 0)) << format;
  }
}

TEST(ColourConversion, PackedKernelsMatchPlainOnRandomInput) {
  std::mt19937 rng(20240611);
  const auto& kernels = AvailableColourKernels();
  if (kernels.size() < 2) GTEST_SKIP() << "no packed kernels on this machine";
  for (int iteration = 0; iteration < 200; ++iteration) {
    const int w = 2 * int(1 + rng() % 100);
    const int h = 2 * int(1 + rng() % 4);
    BorderedPicture pic(w, h);
    // Mostly extremes and values near the offsets, where rounding and clamping bite.
    const uint8_t specials[] = {0, 1, 15, 16, 17, 127, 128, 129, 235, 240, 254, 255};
    for (auto* plane : {&pic.y, &pic.u, &pic.v}) {
      for (auto& b : *plane) b = rng() % 3 ? uint8_t(rng()) : specials[rng() % std::size(specials)];
    }
    for (int format : kFormats) {
      const auto want = Convert(PlainColourKernels(), pic.planes, format, w, h, 0x11);
      for (size_t i = 1; i < kernels.size(); ++i) {
        ASSERT_EQ(Convert(*kernels[i], pic.planes, format, w, h, 0x77), want)
            << kernels[i]->name << " format " << format << " size " << w << "x" << h;
      }
    }
  }
}

TEST(RenderPlanes, ConvertsPictureOrPostProcessedPlanes) {
  BorderedPicture pic(320, 240);
  ASSERT_TRUE(LoadReferencePicture(pic));
  std::vector<uint8_t> post(320 * 240 * 3 / 2);
  std::vector<int32_t> qp(15 * kQpStoreRowLength, 12);
  RenderRequest request{pic.planes,
                        FramePlanes{post.data(), post.data() + 320 * 240, post.data() + 320 * 240 * 5 / 4, 320, 160},
                        false,
                        0x0F,
                        qp.data(),
                        kQpStoreRowLength,
                        320,
                        240};
  const auto direct = Convert(PlainColourKernels(), pic.planes, kFormatRgb32, 320, 240, 0);
  std::vector<uint8_t> out(direct.size());
  EXPECT_EQ(RenderPlanes(request, out.data(), kFormatRgb32), 240);
  EXPECT_EQ(out, direct);

  // On with an empty flag word: a plain copy, so the same pixels.
  request.postProcessing = true;
  request.postProcFlags = 0;
  EXPECT_EQ(RenderPlanes(request, out.data(), kFormatRgb32), 240);
  EXPECT_EQ(out, direct);

  // On with every edge kind: the conversion of the deblocked planes.
  request.postProcFlags = 0x0F;
  std::vector<uint8_t> deblocked(post.size());
  const FramePlanes d{deblocked.data(), deblocked.data() + 320 * 240, deblocked.data() + 320 * 240 * 5 / 4, 320, 160};
  PostProcessPicture(pic.planes.y, pic.planes.u, pic.planes.v, pic.planes.lumaStride, d.y, d.u, d.v, 320, 320, 240,
                     qp.data(), kQpStoreRowLength, 0x0F);
  EXPECT_EQ(RenderPlanes(request, out.data(), kFormatRgb24BottomUp), 240);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 320 * 240 * 3),
            Convert(PlainColourKernels(), d, kFormatRgb24BottomUp, 320, 240, 0));
  EXPECT_NE(deblocked, std::vector<uint8_t>(post.size()));

  // Unknown format: nothing written.
  std::fill(out.begin(), out.end(), 0xCD);
  EXPECT_EQ(RenderPlanes(request, out.data(), 8), 0);
  EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0xCD));
  request.qpStore = nullptr;
  EXPECT_EQ(RenderPlanes(request, out.data(), kFormatRgb32), 0);
}

}  // namespace
}  // namespace quenda
