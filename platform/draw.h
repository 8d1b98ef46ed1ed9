// The drawing layer of the video renderer: a view window, a device for it
// with a 320 x 240 off-screen surface in memory that the decoder writes into,
// a scaled blit of that surface into the window, and lines drawn straight
// onto the window.
//
// Two kinds: X11 (a real window on a display) and headless (pixels kept in
// memory, blits and lines recorded; see draw_headless.h). The kind is chosen
// when the window is made: headless when VELMORA_VIDEO=headless, X11 when
// DISPLAY is set; with neither there is no window and no device, and the
// renderer falls back to its memory bitmap.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class DrawKind { None, X11, Headless };

enum class DrawResult : int32_t {
  Ok = 0,
  Failed = 1,
  SurfaceLost = 2,  // the surface must be restored before it draws again
};

struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

struct Point {
  int32_t x = 0, y = 0;
};

// A window the picture is shown in. Lines are drawn on it directly (not
// through a device), so the grid can be drawn from the host's thread while
// the video thread re-creates its device.
class NativeWindow {
 public:
  virtual ~NativeWindow() = default;
  virtual DrawKind Kind() const = 0;
  // The platform's own id (the X11 window id; a serial number when headless).
  virtual uint64_t NativeId() const = 0;
  // A connected polyline of `count` points, `width` pixels wide, colour
  // 0xRRGGBB, in client coordinates.
  virtual void DrawPolyline(const Point* points, int count, uint32_t rgb, int width) = 0;
  // Fills an area (client coordinates) with the window's background colour.
  virtual void Erase(const Rect& area) = 0;

  // Placement, for a window embedded in a host's: parent 0 is the parking
  // place (the root, unmapped); bounds are in the parent's coordinates.
  virtual void SetParent(uint64_t parent) = 0;
  virtual void SetBounds(const Rect& bounds) = 0;
  virtual void SetVisible(bool visible) = 0;
  // Gives the window the keyboard focus, as a container does for its active
  // object; a window without a keyboard ignores it.
  virtual void TakeFocus() {}
};

using WindowHandle = NativeWindow*;

// What the driver can do (shown by a diagnostic page).
struct DrawCaps {
  bool read = false;        // the capabilities could be read at all
  bool stretch = false;     // blits scale
  bool noPageLock = false;  // system-memory surfaces need no page locking
};

// The device of one window: the off-screen surface and the blit.
class DrawDevice {
 public:
  static constexpr int kSurfaceWidth = 320;
  static constexpr int kSurfaceHeight = 240;

  virtual ~DrawDevice() = default;
  virtual DrawCaps Caps() const = 0;
  // Bits per pixel of the off-screen surface: 16 (RGB565), 24 or 32 (B, G,
  // R, 0), rows packed at 320 pixels.
  virtual uint32_t BitCount() const = 0;
  // The surface memory, or null when it cannot be locked.
  virtual uint8_t* Lock() = 0;
  virtual void Unlock() = 0;
  // Scales the whole surface into dst (client coordinates) by nearest
  // neighbour: source x = floor(dx * 320 / width of dst). The window clips.
  virtual DrawResult Blit(const Rect& dst) = 0;
  virtual DrawResult Restore() = 0;
};

// The kind a new window gets (see the top of this file).
DrawKind ChooseDrawKind();

// Once per process, before the first Xlib call of any thread: Xlib made
// thread-safe, and protocol errors recorded instead of ending the process.
// A lost server fails the windows and devices made here (their draws and
// blits fail; a device is made again later) rather than ending the process.
void PrepareXlib();

// A shown window of the chosen kind; null when the kind is None or the
// window cannot be made.
std::unique_ptr<NativeWindow> CreateViewWindow(int width, int height, const char* title);

// Writes what an X11 window shows (its children included) as a binary PPM.
// False, with the reason, when there is no display or no such window.
bool SaveWindowImage(uint64_t windowId, const char* path, std::string* error);

// The device for a window; null when the window is null or the device
// cannot be made (no display, unusable pixel format, injected failure).
std::unique_ptr<DrawDevice> CreateDrawDevice(WindowHandle window);

// Nearest-neighbour scaling of a packed 320 x 240 surface of bytesPerPixel
// 2, 3 or 4 into a dstWidth x dstHeight picture of the same pixel format, of
// which only the part with 0 <= x < clipWidth and 0 <= y < clipHeight is
// written, at dstPitch bytes per row.
void ScaleSurface(const uint8_t* surface, int bytesPerPixel, int dstWidth, int dstHeight, int clipWidth,
                  int clipHeight, uint8_t* dst, int dstPitch);

// One surface pixel as 0x00RRGGBB.
uint32_t SurfacePixelRgb(const uint8_t* surface, int bytesPerPixel, int x, int y);

}  // namespace platform
