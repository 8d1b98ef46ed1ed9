// The renderer on a headless window: where the zoomed picture and the motion
// grid land, grid editing, lost surfaces, and the memory bitmap.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "engine/renderer.h"
#include "platform/draw_headless.h"

namespace {

constexpr uint32_t kSentinel = 0x123456;
constexpr uint32_t kBlack = 0;

uint32_t Pattern(int x, int y) { return uint32_t((x & 0xFF) << 16 | y << 8 | (x >> 8) << 7 | 0x11); }

class RendererTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window = platform::CreateHeadlessWindow(640, 480);
    window->Fill(kSentinel);
    draw = std::make_unique<CMy_Draw>(window.get());
  }
  void PaintPattern() {
    uint8_t* p = draw->LockSurface();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(draw->bitCount.load(), 32u);
    for (int y = 0; y < 240; ++y)
      for (int x = 0; x < 320; ++x) {
        const uint32_t v = Pattern(x, y);
        std::memcpy(p + (y * 320 + x) * 4, &v, 4);
      }
    draw->UnlockSurface();
  }
  // The picture covers exactly w x h pixels from the window's corner, each
  // the surface pixel at floor(x * 320 / w), floor(y * 240 / h).
  void ExpectPicture(int w, int h) {
    for (int y = 0; y < h + 2; ++y)
      for (int x = 0; x < w + 2; ++x) {
        const uint32_t want = (x < w && y < h) ? Pattern(x * 320 / w, y * 240 / h) : kSentinel;
        ASSERT_EQ(window->Pixel(x, y), want) << "at " << x << "," << y << " for " << w << "x" << h;
      }
  }

  std::unique_ptr<platform::HeadlessWindow> window;
  std::unique_ptr<CMy_Draw> draw;
};

TEST_F(RendererTest, ZoomScalesThePictureFromTheWindowCorner) {
  EXPECT_EQ(draw->ddReady.load(), 1);
  PaintPattern();
  EXPECT_EQ(draw->BlitToWindow(1.0f), platform::DrawResult::Ok);
  EXPECT_EQ(draw->drawOk.load(), 1);
  ExpectPicture(320, 240);
  window->Fill(kSentinel);
  draw->BlitToWindow(1.5f);
  ExpectPicture(480, 360);
  // Smaller, it gives the rest of the last picture back to the window's colour.
  draw->BlitToWindow(0.3f);
  ExpectPicture(96, 72);
  for (auto [x, y] : {std::pair{479, 359}, {479, 10}, {10, 359}, {200, 100}})
    EXPECT_EQ(window->Pixel(x, y), kSentinel) << x << "," << y;
  const auto blits = window->Blits();
  ASSERT_EQ(blits.size(), 3u);
  EXPECT_EQ(blits[1].dst.right, 480);
  EXPECT_EQ(blits[1].dst.bottom, 360);
}

TEST_F(RendererTest, ZoomBeyondTheWindowIsClippedAndOddZoomsAreHarmless) {
  PaintPattern();
  draw->BlitToWindow(3.0f);  // 960 x 720 into 640 x 480
  EXPECT_EQ(window->Pixel(639, 479), Pattern(639 * 320 / 960, 479 * 240 / 720));
  for (float zoom : {0.0f, -1.0f, 1e30f, std::numeric_limits<float>::quiet_NaN(),
                     std::numeric_limits<float>::infinity()}) {
    draw->BlitToWindow(zoom);
    draw->MotionGrid = 1;
    draw->DrawMotionGrid(zoom, 0x1FFFFFF);
    draw->ToggleMotionCell(10, 10, zoom);
  }
}

TEST_F(RendererTest, MotionGridCellsLandOnTheirPixels) {
  window->Fill(kBlack);
  draw->MotionGrid = 1;
  draw->DrawMotionGrid(1.0f, 1);
  const uint32_t red = CMy_Draw::kGridRed, gray = CMy_Draw::kGridGray;
  // Row 0, column 0: x 2..62, y 2..46, 2 pixels wide (the pen covers the
  // pixel before and the pixel on the line).
  EXPECT_EQ(window->Pixel(30, 1), red);
  EXPECT_EQ(window->Pixel(30, 2), red);
  EXPECT_EQ(window->Pixel(30, 3), kBlack);
  EXPECT_EQ(window->Pixel(1, 20), red);
  EXPECT_EQ(window->Pixel(2, 20), red);
  EXPECT_EQ(window->Pixel(3, 20), kBlack);
  EXPECT_EQ(window->Pixel(62, 20), red);
  EXPECT_EQ(window->Pixel(63, 20), kBlack);
  EXPECT_EQ(window->Pixel(30, 46), red);
  EXPECT_EQ(window->Pixel(30, 47), kBlack);
  EXPECT_EQ(window->Pixel(30, 20), kBlack);
  // Row 0, column 1 starts at x 66, in gray.
  EXPECT_EQ(window->Pixel(66, 20), gray);
  EXPECT_EQ(window->Pixel(64, 20), kBlack);
  // The bottom-right cell: x 258..318, y 194..238.
  EXPECT_EQ(window->Pixel(300, 194), gray);
  EXPECT_EQ(window->Pixel(318, 220), gray);
  EXPECT_EQ(window->Pixel(319, 220), kBlack);
  EXPECT_EQ(window->Lines().size(), 100u);

  window->Fill(kBlack);
  window->ClearRecords();
  draw->MotionGridMask = 0x1000000;
  draw->DrawMotionGrid(1.0f, -1);
  EXPECT_EQ(window->Pixel(300, 194), red);
  EXPECT_EQ(window->Pixel(30, 2), gray);
  const auto lines = window->Lines();
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_EQ(lines[0].rgb, red);
  EXPECT_EQ(lines[0].from.x, 258);
  EXPECT_EQ(lines[0].from.y, 194);
  EXPECT_EQ(lines[0].width, 2);
  EXPECT_EQ(lines[4].rgb, gray);

  // Zoomed 1.5: cells of 96 x 72.
  window->Fill(kBlack);
  draw->DrawMotionGrid(1.5f, 2);
  EXPECT_EQ(window->Pixel(150, 2), red);
  EXPECT_EQ(window->Pixel(98, 40), red);
}

TEST_F(RendererTest, GridIsDrawnOnlyWhileSwitchedOn) {
  draw->DrawMotionGrid(1.0f, 0x1FFFFFF);
  EXPECT_TRUE(window->Lines().empty());
}

TEST_F(RendererTest, ClicksToggleTheCellUnderThem) {
  draw->MotionGridMask = 0;
  draw->ToggleMotionCell(70, 10, 1.0f);
  EXPECT_EQ(draw->MotionGridMask.load(), 1u << 1);
  draw->ToggleMotionCell(10, 50, 1.0f);
  EXPECT_EQ(draw->MotionGridMask.load(), (1u << 1) | (1u << 5));
  draw->ToggleMotionCell(70, 10, 1.0f);
  EXPECT_EQ(draw->MotionGridMask.load(), 1u << 5);
  draw->ToggleMotionCell(140, 20, 2.0f);
  EXPECT_EQ(draw->MotionGridMask.load(), (1u << 1) | (1u << 5));
  // Outside the grid, or a grid of no size: nothing changes.
  for (auto [x, y, zoom] : {std::tuple{330, 10, 1.0f}, {10, 250, 1.0f}, {-5, 10, 1.0f}, {10, 10, 0.0f}}) {
    draw->ToggleMotionCell(x, y, zoom);
    EXPECT_EQ(draw->MotionGridMask.load(), (1u << 1) | (1u << 5)) << x << "," << y << " zoom " << zoom;
  }
}

TEST_F(RendererTest, SharesTheMaskItIsGiven) {
  std::atomic<uint32_t> mask{0};
  CMy_Draw withMask(window.get(), &mask);
  withMask.ToggleMotionCell(10, 10, 1.0f);
  EXPECT_EQ(mask.load(), 1u);
}

TEST_F(RendererTest, LostSurfaceIsRestoredAtOnce) {
  PaintPattern();
  window->loseSurface = 1;
  EXPECT_EQ(draw->BlitToWindow(1.0f), platform::DrawResult::SurfaceLost);
  EXPECT_EQ(draw->drawOk.load(), 1) << "restored";
  EXPECT_EQ(window->restores.load(), 1);
  EXPECT_NE(draw->LockSurface(), nullptr);
  draw->UnlockSurface();

  window->loseSurface = 1;
  window->failRestore = true;
  draw->BlitToWindow(1.0f);
  EXPECT_EQ(draw->drawOk.load(), 0);
  EXPECT_EQ(draw->LockSurface(), nullptr) << "still lost";

  window->failBlits = 1;
  window->failRestore = false;
  draw->ReleaseDirectDraw();
  draw->CreateDirectDraw(window.get());
  EXPECT_EQ(draw->BlitToWindow(1.0f), platform::DrawResult::Failed);
  EXPECT_EQ(draw->drawOk.load(), 0);
  EXPECT_EQ(draw->BlitToWindow(1.0f), platform::DrawResult::Ok);
  EXPECT_EQ(draw->drawOk.load(), 1);
}

TEST_F(RendererTest, SurfaceDepthComesFromTheDevice) {
  for (uint32_t bits : {16u, 24u, 32u}) {
    window->surfaceBitCount = bits;
    draw->ReleaseDirectDraw();
    draw->CreateDirectDraw(window.get());
    ASSERT_NE(draw->LockSurface(), nullptr);
    EXPECT_EQ(draw->bitCount.load(), bits);
    draw->UnlockSurface();
  }
}

TEST(Renderer, WithoutAWindowNothingIsShownAndTheBitmapIsTheTarget) {
  CMy_Draw draw(nullptr);
  EXPECT_EQ(draw.ddReady.load(), 0);
  EXPECT_EQ(draw.LockSurface(), nullptr);
  draw.drawOk = 1;
  EXPECT_EQ(draw.BlitToWindow(1.0f), platform::DrawResult::Failed);
  EXPECT_EQ(draw.drawOk.load(), 0);
  draw.MotionGrid = 1;
  draw.DrawMotionGrid(1.0f, 1);  // no window: nothing, no crash

  draw.AllocateDib();
  ASSERT_NE(draw.dibBits, nullptr);
  BitmapInfoHeader header;
  std::memcpy(&header, draw.dibBits - 40, 40);
  EXPECT_EQ(header.biSize, 40u);
  EXPECT_EQ(header.biWidth, 320);
  EXPECT_EQ(header.biHeight, 240);
  EXPECT_EQ(header.biBitCount, 24);
  EXPECT_EQ(header.biSizeImage, 230400u);
  uint8_t* before = draw.dibBits;
  draw.AllocateDib();
  EXPECT_EQ(draw.dibBits, before) << "kept while it exists";
  draw.dibBits[320 * 240 * 4 - 1] = 1;  // the block holds 4 bytes per pixel
  draw.FreeDib();
  EXPECT_EQ(draw.dibBits, nullptr);
}

}  // namespace
