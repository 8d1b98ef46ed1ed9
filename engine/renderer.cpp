#include "engine/renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "platform/message_box.h"

namespace {

// Truncation toward zero that stays defined for any float the COM interface
// lets through (zoom is stored unchanged: 0, negative, huge, NaN).
int32_t Trunc(double v) {
  if (!(v == v)) return 0;
  if (v > 1e9) return 1000000000;
  if (v < -1e9) return -1000000000;
  return static_cast<int32_t>(v);
}

}  // namespace

CMy_Draw::CMy_Draw(platform::WindowHandle window, std::atomic<uint32_t>* mask)
    : MotionGridMask(mask ? *mask : ownMask_) {
  dibHeader.biSize = 40;
  dibHeader.biWidth = 320;
  dibHeader.biHeight = 240;
  dibHeader.biPlanes = 1;
  dibHeader.biBitCount = 24;
  dibHeader.biCompression = 0;
  dibHeader.biSizeImage = 230400;
  this->window = window;
  CreateDirectDraw(window);
}

CMy_Draw::~CMy_Draw() {
  if (dibBits) FreeDib();
  ReleaseDirectDraw();
}

void CMy_Draw::CreateDirectDraw(platform::WindowHandle newWindow) {
  device.reset();
  width = 320;
  height = 240;
  window = newWindow;
  ddReady = 0;
  try {
    device = platform::CreateDrawDevice(window);
  } catch (...) {
    device.reset();
  }
  if (!device) return;
  const platform::DrawCaps caps = device->Caps();
  capsRead = caps.read ? 1 : 0;
  if (caps.read) {
    bltStretch = caps.stretch ? 1 : 0;
    noPageLockRequired = caps.noPageLock ? 1 : 0;
  }
  ddReady = 1;
}

void CMy_Draw::ReleaseDirectDraw() {
  ddReady = 0;
  device.reset();
}

platform::DrawResult CMy_Draw::RestoreSurfaces() {
  if (!device) return platform::DrawResult::Failed;
  return device->Restore();
}

uint8_t* CMy_Draw::LockSurface() {
  if (!ddReady || !device) return nullptr;
  bitCount = device->BitCount();
  return device->Lock();
}

void CMy_Draw::UnlockSurface() {
  if (ddReady && device) device->Unlock();
}

platform::DrawResult CMy_Draw::BlitToWindow(float zoom) {
  // Client coordinates: the window's own origin is (0, 0); the window clips.
  platform::Rect dst;
  dst.right = Trunc(320.0f * zoom);
  dst.bottom = Trunc(240.0f * zoom);
  if (!ddReady || !device) {
    drawOk = 0;
    return platform::DrawResult::Failed;
  }
  const platform::DrawResult result = device->Blit(dst);
  if (result == platform::DrawResult::Ok) {
    drawOk = 1;
    EraseUncovered(dst);
    return result;
  }
  drawOk = 0;
  if (result == platform::DrawResult::SurfaceLost && RestoreSurfaces() == platform::DrawResult::Ok) drawOk = 1;
  return result;
}

// A smaller picture than the last would leave the last one's edges showing.
void CMy_Draw::EraseUncovered(const platform::Rect& picture) {
  const int32_t w = std::max(picture.right, 0), h = std::max(picture.bottom, 0);
  if (window) {
    if (shownWidth_ > w) window->Erase({w, 0, shownWidth_, shownHeight_});
    if (shownHeight_ > h) window->Erase({0, h, std::min(w, shownWidth_), shownHeight_});
  }
  shownWidth_ = w;
  shownHeight_ = h;
}

void CMy_Draw::AllocateDib() {
  if (dibBits) return;
  const size_t bytes = size_t((width + 3) / 4 * 4) * size_t(height) * 4 + 40;
  dibMemory.reset(new (std::nothrow) uint8_t[bytes]());
  if (!dibMemory) {
    platform::ShowMessageBox("Fail in GlobalAlloc()", "Error");
    return;
  }
  std::memcpy(dibMemory.get(), &dibHeader, sizeof dibHeader);
  dibBits = dibMemory.get() + 40;
}

void CMy_Draw::FreeDib() {
  dibBits = nullptr;
  dibMemory.reset();
}

void CMy_Draw::DrawMotionGrid(float zoom, int32_t mask) {
  const uint32_t bits = mask < 0 ? MotionGridMask.load() : static_cast<uint32_t>(mask);
  if (MotionGrid == 0 || !window) return;
  const int32_t W = Trunc(double(width) * zoom);
  const int32_t H = Trunc(double(height) * zoom);
  const float cw = static_cast<float>(W * 0.2);
  const float ch = static_cast<float>(H * 0.2);
  auto outline = [&](int r, int c, uint32_t rgb) {
    const int32_t x0 = Trunc(float(c) * cw + 2.0f), y0 = Trunc(float(r) * ch + 2.0f);
    const int32_t x1 = Trunc(float(c) * cw + cw - 2.0f), y1 = Trunc(float(r) * ch + ch - 2.0f);
    const platform::Point points[5] = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}, {x0, y0}};
    window->DrawPolyline(points, 5, rgb, kGridPenWidth);
  };
  for (int pass = 0; pass < 2; ++pass) {
    const bool wantSet = pass == 0;  // red first, then gray
    for (int r = 0; r < 5; ++r)
      for (int c = 0; c < 5; ++c)
        if (((bits >> (r * 5 + c)) & 1) == (wantSet ? 1u : 0u)) outline(r, c, wantSet ? kGridRed : kGridGray);
  }
}

// Clicks outside the 5 x 5 grid, and any click while the grid has no size,
// change nothing.
void CMy_Draw::ToggleMotionCell(int32_t x, int32_t y, float zoom) {
  const int32_t W = Trunc(320.0 * zoom);
  const int32_t H = Trunc(240.0 * zoom);
  const float cw = static_cast<float>(W * 0.2);
  const float ch = static_cast<float>(H * 0.2);
  if (!(cw > 0.0f) || !(ch > 0.0f) || x < 0 || y < 0) return;
  const int32_t c = Trunc(float(x) / cw);
  const int32_t r = Trunc(float(y) / ch);
  if (c > 4 || r > 4) return;
  MotionGridMask.fetch_xor(1u << ((c + r * 5) % 32));
}
