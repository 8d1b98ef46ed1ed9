// CMy_Draw: the renderer of one video channel. It owns the drawing device
// of the control's window with its 320 x 240 off-screen surface, blits that
// surface into the window scaled by the channel's zoom, keeps a memory
// bitmap as the decoding target when no device can be used, and draws and
// edits the 5 x 5 motion grid over the picture.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/draw.h"

#pragma pack(push, 1)
struct BitmapInfoHeader {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;  // positive: bottom-up rows
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
};
#pragma pack(pop)
static_assert(sizeof(BitmapInfoHeader) == 40);

class CMy_Draw {
 public:
  static constexpr uint32_t kGridRed = 0xFF0000;   // cells with motion detection on
  static constexpr uint32_t kGridGray = 0x808080;  // the others
  static constexpr int kGridPenWidth = 2;

  // mask: where the motion mask lives (the channel's, which the link also
  // writes); the renderer keeps its own when none is given.
  explicit CMy_Draw(platform::WindowHandle window, std::atomic<uint32_t>* mask = nullptr);
  virtual ~CMy_Draw();
  CMy_Draw(const CMy_Draw&) = delete;
  CMy_Draw& operator=(const CMy_Draw&) = delete;

  void CreateDirectDraw(platform::WindowHandle newWindow);
  void ReleaseDirectDraw();
  platform::DrawResult RestoreSurfaces();
  uint8_t* LockSurface();
  void UnlockSurface();
  platform::DrawResult BlitToWindow(float zoom);
  void AllocateDib();
  void FreeDib();
  void DrawMotionGrid(float zoom, int32_t mask);
  void ToggleMotionCell(int32_t x, int32_t y, float zoom);

  int32_t width = 320;
  int32_t height = 240;
  std::unique_ptr<uint8_t[]> dibMemory;  // header copy, then the pixels
  BitmapInfoHeader dibHeader{};
  platform::WindowHandle window = nullptr;
  uint8_t* dibBits = nullptr;
  std::atomic<int32_t> drawOk{0};
  std::atomic<int32_t> ddReady{0};
  // The device stands for the DirectDraw device, primary surface, clipper
  // and off-screen surface together.
  std::unique_ptr<platform::DrawDevice> device;
  std::atomic<int32_t> noPageLockRequired{0};
  std::atomic<int32_t> capsRead{0};
  std::atomic<int32_t> bltStretch{0};
  std::atomic<uint32_t> bitCount{0};
  std::atomic<int32_t> MotionGrid{0};

 private:
  void EraseUncovered(const platform::Rect& picture);

  std::atomic<uint32_t> ownMask_{0};
  // The size of the picture last put in the window (video thread only).
  int32_t shownWidth_ = 0, shownHeight_ = 0;

 public:
  std::atomic<uint32_t>& MotionGridMask;
};
