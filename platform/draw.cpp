#include "platform/draw.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/draw_headless.h"

namespace platform {

// draw_x11.cpp
std::unique_ptr<NativeWindow> CreateX11Window(int width, int height, const char* title);
std::unique_ptr<DrawDevice> CreateX11Device(NativeWindow* window);

DrawKind ChooseDrawKind() {
  const char* video = std::getenv("VELMORA_VIDEO");
  if (video && std::strcmp(video, "headless") == 0) return DrawKind::Headless;
  const char* display = std::getenv("DISPLAY");
  if (display && *display) return DrawKind::X11;
  return DrawKind::None;
}

std::unique_ptr<NativeWindow> CreateViewWindow(int width, int height, const char* title) {
  switch (ChooseDrawKind()) {
    case DrawKind::Headless: return CreateHeadlessWindow(width, height);
    case DrawKind::X11: return CreateX11Window(width, height, title);
    case DrawKind::None: break;
  }
  return nullptr;
}

std::unique_ptr<DrawDevice> CreateDrawDevice(WindowHandle window) {
  if (!window) return nullptr;
  switch (window->Kind()) {
    case DrawKind::Headless: return CreateHeadlessDevice(static_cast<HeadlessWindow*>(window));
    case DrawKind::X11: return CreateX11Device(window);
    case DrawKind::None: break;
  }
  return nullptr;
}

void ScaleSurface(const uint8_t* surface, int bytesPerPixel, int dstWidth, int dstHeight, int clipWidth,
                  int clipHeight, uint8_t* dst, int dstPitch) {
  constexpr int kW = DrawDevice::kSurfaceWidth;
  constexpr int kH = DrawDevice::kSurfaceHeight;
  const int w = clipWidth < dstWidth ? clipWidth : dstWidth;
  const int h = clipHeight < dstHeight ? clipHeight : dstHeight;
  if (w <= 0 || h <= 0 || dstWidth <= 0 || dstHeight <= 0) return;
  const size_t bpp = static_cast<size_t>(bytesPerPixel);
  const size_t srcPitch = kW * bpp;
  if (dstWidth == kW && dstHeight == kH) {
    for (int y = 0; y < h; ++y) std::memcpy(dst + size_t(y) * size_t(dstPitch), surface + size_t(y) * srcPitch, size_t(w) * bpp);
    return;
  }
  std::vector<uint32_t> column(static_cast<size_t>(w));
  for (int x = 0; x < w; ++x) column[size_t(x)] = static_cast<uint32_t>(int64_t(x) * kW / dstWidth);
  for (int y = 0; y < h; ++y) {
    const int sy = static_cast<int>(int64_t(y) * kH / dstHeight);
    const uint8_t* srcRow = surface + size_t(sy) * srcPitch;
    uint8_t* out = dst + size_t(y) * size_t(dstPitch);
    if (bpp == 4) {
      auto* out32 = reinterpret_cast<uint32_t*>(out);
      for (int x = 0; x < w; ++x) std::memcpy(out32 + x, srcRow + column[size_t(x)] * 4, 4);
    } else {
      for (int x = 0; x < w; ++x) std::memcpy(out + size_t(x) * bpp, srcRow + column[size_t(x)] * bpp, bpp);
    }
  }
}

uint32_t SurfacePixelRgb(const uint8_t* surface, int bytesPerPixel, int x, int y) {
  const uint8_t* p = surface + (size_t(y) * DrawDevice::kSurfaceWidth + size_t(x)) * size_t(bytesPerPixel);
  if (bytesPerPixel == 2) {
    const uint32_t v = uint32_t(p[0]) | (uint32_t(p[1]) << 8);
    const uint32_t r = (v >> 11) & 31, g = (v >> 5) & 63, b = v & 31;
    return ((r << 3 | r >> 2) << 16) | ((g << 2 | g >> 4) << 8) | (b << 3 | b >> 2);
  }
  return (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

}  // namespace platform
