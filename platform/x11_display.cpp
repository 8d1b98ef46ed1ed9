#include "platform/draw.h"
#include "platform/x11_display.h"

#include <mutex>

namespace platform {
namespace {

// Errors arrive on the thread that waits for its own connection's replies.
thread_local int lastXError = 0;

int RecordXError(Display*, XErrorEvent* event) {
  lastXError = event->error_code ? event->error_code : 1;
  return 0;
}

// Xlib's default handler for a broken connection ends the process itself;
// this one returns, so the connection's exit handler decides.
int NoteLostConnection(Display*) { return 0; }

// Called by Xlib in place of exit() when a connection breaks: only that
// connection is lost, and its owner stops using it. Xlib took the display's
// user lock for the calling thread, to be held until exit(); since we go on,
// give it back, or every other thread's next call on this display (closing
// it among them) would wait for good, even after this thread has ended.
void MarkDisplayLost(Display* display, void* lost) {
  static_cast<std::atomic<bool>*>(lost)->store(true);
  XUnlockDisplay(display);
}

}  // namespace

// Xlib's default handler ends the process on a protocol error (a window
// that went away); ours records it and the call that caused it fails. A
// broken connection ends the process only when its owner did not ask for
// less (see x11::OpenDisplay).
void PrepareXlib() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(RecordXError);
    XSetIOErrorHandler(NoteLostConnection);
  });
}

namespace x11 {

Display* OpenDisplay(std::atomic<bool>* lost) {
  PrepareXlib();
  Display* display = XOpenDisplay(nullptr);
  if (display) XSetIOErrorExitHandler(display, MarkDisplayLost, lost);
  return display;
}

int& LastError() { return lastXError; }

unsigned long PixelFor(Display* display, uint32_t rgb) {
  Visual* visual = DefaultVisual(display, DefaultScreen(display));
  auto place = [](uint32_t value8, unsigned long mask) -> unsigned long {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    int bits = 0;
    while ((mask >> (shift + bits)) & 1) ++bits;
    unsigned long v = bits >= 8 ? (value8 << (bits - 8)) : (value8 >> (8 - bits));
    return (v << shift) & mask;
  };
  return place((rgb >> 16) & 0xFF, visual->red_mask) | place((rgb >> 8) & 0xFF, visual->green_mask) |
         place(rgb & 0xFF, visual->blue_mask);
}

void DrawStatusBar(Display* display, Drawable drawable, GC gc, int top, int width,
                   std::span<const StatusPanel> panels) {
  XSetForeground(display, gc, PixelFor(display, kFaceRgb));
  XFillRectangle(display, drawable, gc, 0, top, unsigned(width > 0 ? width : 1), kStatusBarHeight);
  int left = 0;
  for (const StatusPanel& panel : panels) {
    if (panel.width > 2) {
      XSetForeground(display, gc, PixelFor(display, kShadowRgb));
      XDrawRectangle(display, drawable, gc, left, top, unsigned(panel.width - 2), kStatusBarHeight - 2);
      // A text too long for its box is cut at the box's edge.
      XRectangle inside{short(left + 1), short(top + 1), static_cast<unsigned short>(panel.width - 3),
                        static_cast<unsigned short>(kStatusBarHeight - 3)};
      XSetClipRectangles(display, gc, 0, 0, &inside, 1, Unsorted);
      XSetForeground(display, gc, PixelFor(display, kTextRgb));
      XDrawString(display, drawable, gc, left + 3, top + 13, panel.text.c_str(), int(panel.text.size()));
      XSetClipMask(display, gc, None);
    }
    left += panel.width;
  }
}

}  // namespace x11
}  // namespace platform
