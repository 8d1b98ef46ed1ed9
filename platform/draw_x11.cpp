// X11 drawing: a plain top-level window, and per device its own display
// connection with the off-screen surface in process memory; a blit scales
// the surface in software and puts it with XPutImage.
// Before Xlib, whose macros (None, Status...) would clash with our names.
#include "platform/draw.h"
#include "platform/form.h"
#include "platform/message_queue.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

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

// Called by Xlib in place of exit() when a connection breaks (the server
// went away): only that connection is lost, and its owner stops using it.
void MarkDisplayLost(Display*, void* lost) { static_cast<std::atomic<bool>*>(lost)->store(true); }

}  // namespace

// Xlib's default handler ends the process on a protocol error (a window
// that went away); ours records it and the call that caused it fails. A
// broken connection ends the process only when its owner did not ask for
// less (see OpenDisplay).
void PrepareXlib() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(RecordXError);
    XSetIOErrorHandler(NoteLostConnection);
  });
}

namespace {

// A connection of its own whose loss sets *lost instead of ending the
// process.
Display* OpenDisplay(std::atomic<bool>* lost) {
  PrepareXlib();
  Display* display = XOpenDisplay(nullptr);
  if (display) XSetIOErrorExitHandler(display, MarkDisplayLost, lost);
  return display;
}

using LostFlag = std::unique_ptr<std::atomic<bool>>;

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

// What a form asks the server to tell it.
constexpr long kFormEventMask =
    ButtonPressMask | ButtonReleaseMask | KeyPressMask | ExposureMask | FocusChangeMask;

ShiftState ShiftOf(unsigned state) {
  ShiftState s;
  s.shift = (state & ShiftMask) != 0;
  s.ctrl = (state & ControlMask) != 0;
  s.alt = (state & Mod1Mask) != 0;
  return s;
}

// The form's own events out of one X event; false for events it ignores.
bool Translate(XEvent& xe, FormEvent& out) {
  switch (xe.type) {
    case ButtonPress:
    case ButtonRelease: {
      const unsigned b = xe.xbutton.button;
      if (b < 1 || b > 3) return false;  // wheel steps are not clicks
      out.kind = xe.type == ButtonPress ? FormEvent::Kind::MouseDown : FormEvent::Kind::MouseUp;
      out.button = b == 1 ? MouseButton::Left : b == 2 ? MouseButton::Middle : MouseButton::Right;
      out.shift = ShiftOf(xe.xbutton.state);
      out.x = xe.xbutton.x;
      out.y = xe.xbutton.y;
      out.timeMs = uint32_t(xe.xbutton.time);
      return true;
    }
    case KeyPress: {
      char text[8];
      KeySym sym;
      if (XLookupString(&xe.xkey, text, sizeof(text), &sym, nullptr) != 1) return false;
      out.kind = FormEvent::Kind::KeyChar;
      out.key = text[0];
      out.shift = ShiftOf(xe.xkey.state);
      return true;
    }
    case Expose:
      if (xe.xexpose.count != 0) return false;  // one paint per exposure run
      out.kind = FormEvent::Kind::Paint;
      return true;
    case FocusIn:
    case FocusOut:
      out.kind = xe.type == FocusIn ? FormEvent::Kind::Activate : FormEvent::Kind::Deactivate;
      return true;
    default:
      return false;
  }
}

// A window on a connection of its own. Its events are read by the pumps of
// the thread that made it.
class X11Window : public Form, private EventSource {
 public:
  // parking: the unmapped window a parked form lives in; 0 for a top-level
  // window, which parks on the root, unmapped.
  X11Window(Display* display, Window window, Window parking, LostFlag lost)
      : lost_(std::move(lost)), display_(display), window_(window), parking_(parking), owner_(CurrentThreadId()) {
    AddEventSource(this);
  }
  ~X11Window() override {
    *alive_ = false;
    RemoveEventSource(owner_, this);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!*lost_) {
      XDestroyWindow(display_, window_);
      if (parking_) XDestroyWindow(display_, parking_);
    }
    XCloseDisplay(display_);
  }
  DrawKind Kind() const override { return DrawKind::X11; }
  uint64_t NativeId() const override { return window_; }

  void DrawPolyline(const Point* points, int count, uint32_t rgb, int width) override {
    if (!points || count < 2 || *lost_) return;
    std::vector<XPoint> xp(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      xp[size_t(i)].x = static_cast<short>(points[i].x < -32768 ? -32768 : points[i].x > 32767 ? 32767 : points[i].x);
      xp[size_t(i)].y = static_cast<short>(points[i].y < -32768 ? -32768 : points[i].y > 32767 ? 32767 : points[i].y);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    GC gc = XCreateGC(display_, window_, 0, nullptr);
    XSetForeground(display_, gc, PixelFor(display_, rgb));
    XSetLineAttributes(display_, gc, static_cast<unsigned>(width), LineSolid, CapButt, JoinMiter);
    XDrawLines(display_, window_, gc, xp.data(), count, CoordModeOrigin);
    XFreeGC(display_, gc);
    XFlush(display_);
  }

  void SetParent(uint64_t parent) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (*lost_) return;
    Window to = Window(parent);
    if (!parent) {
      to = parking_ ? parking_ : RootWindow(display_, DefaultScreen(display_));
      if (!parking_) XUnmapWindow(display_, window_);
    }
    XReparentWindow(display_, window_, to, bounds_.left, bounds_.top);
    XFlush(display_);
  }
  void SetBounds(const Rect& bounds) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bounds_ = bounds;
    if (*lost_) return;
    const int w = bounds.right - bounds.left, h = bounds.bottom - bounds.top;
    XMoveResizeWindow(display_, window_, bounds.left, bounds.top, unsigned(w > 0 ? w : 1), unsigned(h > 0 ? h : 1));
    XFlush(display_);
  }
  void SetVisible(bool visible) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (*lost_) return;
    if (visible) {
      XMapRaised(display_, window_);
    } else {
      XUnmapWindow(display_, window_);
    }
    XFlush(display_);
  }
  void SetColor(uint32_t rgb) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (*lost_) return;
    XSetWindowBackground(display_, window_, PixelFor(display_, rgb));
    XClearWindow(display_, window_);
    XFlush(display_);
  }
  void SetCaption(const std::string& caption) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (*lost_) return;
    XStoreName(display_, window_, caption.c_str());
    XFlush(display_);
  }

 private:
  // Takes what the server sent, then runs it without the lock: a handler
  // may draw on this window, or destroy it.
  void Poll() override {
    std::vector<FormEvent> events;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (*lost_) return;
      while (XPending(display_) > 0 && !*lost_) {
        XEvent xe;
        XNextEvent(display_, &xe);
        FormEvent e;
        if (Translate(xe, e)) events.push_back(e);
      }
    }
    const std::shared_ptr<bool> alive = alive_;
    for (const FormEvent& e : events) {
      if (!*alive) return;
      Dispatch(e);
    }
  }

  std::mutex mutex_;
  LostFlag lost_;
  Display* display_;
  Window window_;
  Window parking_;
  const ThreadId owner_;
  Rect bounds_{};
};

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
    lastXError = 0;
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
    return lastXError || *lost_ ? DrawResult::Failed : DrawResult::Ok;
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

namespace {

// A black window of its own connection, asking for the form's events.
std::unique_ptr<X11Window> MakeX11Window(int width, int height, const char* title, bool parked) {
  auto lost = std::make_unique<std::atomic<bool>>(false);
  Display* display = OpenDisplay(lost.get());
  if (!display) return nullptr;
  const int screen = DefaultScreen(display);
  const Window root = RootWindow(display, screen);
  const Window parking = parked ? XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0) : 0;
  Window window = XCreateSimpleWindow(display, parked ? parking : root, 0, 0, unsigned(width > 0 ? width : 1),
                                      unsigned(height > 0 ? height : 1), 0, BlackPixel(display, screen),
                                      BlackPixel(display, screen));
  XSelectInput(display, window, kFormEventMask);
  if (title) XStoreName(display, window, title);
  XMapWindow(display, window);
  XSync(display, False);
  return std::make_unique<X11Window>(display, window, parking, std::move(lost));
}

}  // namespace

std::unique_ptr<NativeWindow> CreateX11Window(int width, int height, const char* title) {
  return MakeX11Window(width, height, title, false);
}

std::unique_ptr<Form> CreateX11Form(int width, int height, const char* caption) {
  return MakeX11Window(width, height, caption, true);
}

std::unique_ptr<DrawDevice> CreateX11Device(NativeWindow* window) {
  auto lost = std::make_unique<std::atomic<bool>>(false);
  Display* display = OpenDisplay(lost.get());
  if (!display) return nullptr;
  const uint32_t bits = SurfaceBitsFor(display);
  XWindowAttributes attributes;
  lastXError = 0;
  if (!bits || !XGetWindowAttributes(display, Window(window->NativeId()), &attributes) || lastXError || *lost) {
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
  lastXError = 0;
  XImage* image = nullptr;
  if (XGetWindowAttributes(display, Window(windowId), &attributes) && !lastXError)
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
