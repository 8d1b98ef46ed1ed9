// X11 drawing: per device its own display connection with the off-screen
// surface in process memory; a blit scales the surface in software and puts
// it with XPutImage. (The windows it draws into are forms, form_x11.cpp.)
#include "platform/draw.h"
#include "platform/x11_display.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {
namespace {

using x11::LostFlag;
using x11::OpenDisplay;

// The surface formats the decoder can write, from the screen's visual.
uint32_t SurfaceBitsFor(Display* display) {
  const int screen = DefaultScreen(display);
  Visual* visual = DefaultVisual(display, screen);
  const int depth = DefaultDepth(display, screen);
  int bpp = 0;
  int count = 0;
  if (XPixmapFormatValues* formats = XListPixmapFormats(display, &count)) {
    for (int i = 0; i < count; ++i)
      if (formats[i].depth == depth) bpp = formats[i].bits_per_pixel;
    XFree(formats);
  }
  if (visual->c_class != TrueColor) return 0;
  if ((bpp == 32 || bpp == 24) && visual->red_mask == 0xFF0000 && visual->green_mask == 0xFF00 &&
      visual->blue_mask == 0xFF)
    return uint32_t(bpp);
  if (bpp == 16 && visual->red_mask == 0xF800 && visual->green_mask == 0x07E0 && visual->blue_mask == 0x1F)
    return 16;
  return 0;
}

class X11Device : public DrawDevice {
 public:
  X11Device(Display* display, Window window, uint32_t bits, LostFlag lost)
      : lost_(std::move(lost)),
        display_(display),
        window_(window),
        bits_(bits),
        surface_(size_t(kSurfaceWidth) * kSurfaceHeight * (bits / 8), 0) {
    gc_ = XCreateGC(display_, window_, 0, nullptr);
  }
  ~X11Device() override {
    // Also after a lost server: the request goes nowhere, the memory is freed.
    XFreeGC(display_, gc_);
    XCloseDisplay(display_);
  }

  DrawCaps Caps() const override { return DrawCaps{true, true, true}; }
  uint32_t BitCount() const override { return bits_; }
  uint8_t* Lock() override { return surface_.data(); }
  void Unlock() override {}

  DrawResult Blit(const Rect& dst) override {
    const int64_t dw = int64_t(dst.right) - dst.left, dh = int64_t(dst.bottom) - dst.top;
    if (dw <= 0 || dh <= 0) return DrawResult::Ok;
    // Decoding goes on into the surface; the device is made again later.
    if (*lost_) return DrawResult::Failed;
    Window root;
    int wx, wy;
    unsigned ww, wh, border, depth;
    x11::LastError() = 0;
    if (!XGetGeometry(display_, window_, &root, &wx, &wy, &ww, &wh, &border, &depth)) return DrawResult::Failed;
    // Only what the window can show is scaled and sent.
    const int64_t clipW = std::min<int64_t>(dw, int64_t(ww) - dst.left);
    const int64_t clipH = std::min<int64_t>(dh, int64_t(wh) - dst.top);
    if (dst.left < 0 || dst.top < 0) return DrawResult::Ok;
    if (clipW <= 0 || clipH <= 0) return DrawResult::Ok;
    const int bpp = int(bits_ / 8);
    // Unscaled, the surface goes out as it is: the blit is its only copy.
    const bool unscaled = dw == kSurfaceWidth && dh == kSurfaceHeight;
    const int width = unscaled ? kSurfaceWidth : int(clipW);
    const int height = unscaled ? kSurfaceHeight : int(clipH);
    const int pitch = width * bpp;
    uint8_t* pixels = surface_.data();
    if (!unscaled) {
      scaled_.resize(size_t(pitch) * size_t(height));
      ScaleSurface(surface_.data(), bpp, int(dw), int(dh), int(clipW), int(clipH), scaled_.data(), pitch);
      pixels = scaled_.data();
    }
    const int screen = DefaultScreen(display_);
    XImage* image = XCreateImage(display_, DefaultVisual(display_, screen), unsigned(DefaultDepth(display_, screen)),
                                 ZPixmap, 0, reinterpret_cast<char*>(pixels), unsigned(width), unsigned(height), 8,
                                 pitch);
    if (!image) return DrawResult::Failed;
    image->byte_order = LSBFirst;
    image->bitmap_bit_order = LSBFirst;
    XPutImage(display_, window_, gc_, image, 0, 0, dst.left, dst.top, unsigned(clipW), unsigned(clipH));
    image->data = nullptr;  // ours, not Xlib's
    XDestroyImage(image);
    XSync(display_, False);
    return x11::LastError() || *lost_ ? DrawResult::Failed : DrawResult::Ok;
  }

  DrawResult Restore() override { return DrawResult::Ok; }

 private:
  LostFlag lost_;
  Display* display_;
  Window window_;
  GC gc_;
  const uint32_t bits_;
  std::vector<uint8_t> surface_;
  std::vector<uint8_t> scaled_;
};

}  // namespace

std::unique_ptr<DrawDevice> CreateX11Device(NativeWindow* window) {
  auto lost = std::make_unique<std::atomic<bool>>(false);
  Display* display = OpenDisplay(lost.get());
  if (!display) return nullptr;
  const uint32_t bits = SurfaceBitsFor(display);
  XWindowAttributes attributes;
  x11::LastError() = 0;
  if (!bits || !XGetWindowAttributes(display, Window(window->NativeId()), &attributes) || x11::LastError() || *lost) {
    XCloseDisplay(display);
    return nullptr;
  }
  return std::make_unique<X11Device>(display, Window(window->NativeId()), bits, std::move(lost));
}

bool SaveWindowImage(uint64_t windowId, const char* path, std::string* error) {
  auto lost = std::make_unique<std::atomic<bool>>(false);
  Display* display = OpenDisplay(lost.get());
  if (!display) {
    if (error) *error = "no X display";
    return false;
  }
  XWindowAttributes attributes;
  x11::LastError() = 0;
  XImage* image = nullptr;
  if (XGetWindowAttributes(display, Window(windowId), &attributes) && !x11::LastError())
    image = XGetImage(display, Window(windowId), 0, 0, unsigned(attributes.width), unsigned(attributes.height),
                      AllPlanes, ZPixmap);
  if (!image) {
    XCloseDisplay(display);
    if (error) *error = "the window cannot be read";
    return false;
  }
  auto channel = [](unsigned long pixel, unsigned long mask) -> uint8_t {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    const unsigned long max = mask >> shift;
    return uint8_t(((pixel & mask) >> shift) * 255 / max);
  };
  std::vector<uint8_t> rgb;
  rgb.reserve(size_t(image->width) * size_t(image->height) * 3);
  for (int y = 0; y < image->height; ++y)
    for (int x = 0; x < image->width; ++x) {
      const unsigned long pixel = XGetPixel(image, x, y);
      rgb.push_back(channel(pixel, image->red_mask));
      rgb.push_back(channel(pixel, image->green_mask));
      rgb.push_back(channel(pixel, image->blue_mask));
    }
  const int w = image->width, h = image->height;
  XDestroyImage(image);
  XCloseDisplay(display);
  FILE* out = std::fopen(path, "wb");
  if (!out) {
    if (error) *error = std::string(path) + ": cannot be written";
    return false;
  }
  std::fprintf(out, "P6\n%d %d\n255\n", w, h);
  const bool ok = std::fwrite(rgb.data(), 1, rgb.size(), out) == rgb.size();
  return std::fclose(out) == 0 && ok;
}

}  // namespace platform
