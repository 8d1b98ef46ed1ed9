// X11 forms: a black window on a connection of its own, parked in an
// unmapped window of its own until a host's window takes it; its events are
// read by the pumps of the thread that made it.
#include "platform/draw.h"
#include "platform/form.h"
#include "platform/message_queue.h"
#include "platform/x11_display.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace platform {
namespace {

using x11::LostFlag;
using x11::OpenDisplay;
using x11::PixelFor;

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
      // Keys that reach the window only because the pointer is over it do
      // not make it the focus: activation follows the focus itself.
      if (xe.xfocus.detail == NotifyPointer) return false;
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
  X11Window(Display* display, Window window, Window parking, LostFlag lost, int width, int height)
      : lost_(std::move(lost)), display_(display), window_(window), parking_(parking), owner_(CurrentThreadId()) {
    bounds_.right = width;
    bounds_.bottom = height;
    AddEventSource(this);
  }
  ~X11Window() override {
    *alive_ = false;
    RemoveEventSource(owner_, this);
    std::lock_guard<std::mutex> lock(mutex_);
    if (barGc_) XFreeGC(display_, barGc_);
    if (!*lost_) {
      XDestroyWindow(display_, window_);
      if (parking_) XDestroyWindow(display_, parking_);
    }
    XCloseDisplay(display_);
  }
  DrawKind Kind() const override { return DrawKind::X11; }
  uint64_t NativeId() const override { return window_; }

  // A main form's: the desktop's close requests come as this client message.
  void WatchDesktop(Atom protocols, Atom deleteWindow) {
    wmProtocols_ = protocols;
    wmDeleteWindow_ = deleteWindow;
  }

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
    if (bar_) PlaceBar();
    XFlush(display_);
  }
  void Erase(const Rect& area) override {
    // The protocol's coordinates are 16-bit.
    auto clamp = [](int32_t v) { return v < 0 ? 0 : v > 32767 ? 32767 : v; };
    const int x = clamp(area.left), y = clamp(area.top);
    const int w = clamp(area.right) - x, h = clamp(area.bottom) - y;
    if (w <= 0 || h <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (*lost_) return;
    XClearArea(display_, window_, x, y, unsigned(w), unsigned(h), False);
    XFlush(display_);
  }
  // The bar is a child window: pictures put on the form pass it by, and
  // hiding it gives its place back to the form as it was.
  void SetStatusBar(bool visible, std::span<const StatusPanel> panels) override {
    const bool changed = visible != StatusBarShown() ||
                         (visible && !std::equal(panels.begin(), panels.end(), StatusBarPanels().begin(),
                                                 StatusBarPanels().end()));
    Form::SetStatusBar(visible, panels);
    if (!changed) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (*lost_) return;
    if (visible && !bar_) {
      bar_ = XCreateSimpleWindow(display_, window_, 0, 0, 1, 1, 0, BlackPixel(display_, DefaultScreen(display_)),
                                 PixelFor(display_, x11::kFaceRgb));
      XSelectInput(display_, bar_, ExposureMask);
      barGc_ = XCreateGC(display_, bar_, 0, nullptr);
      PlaceBar();
    }
    if (!bar_) return;
    if (visible) {
      XMapRaised(display_, bar_);
      PaintBar();
    } else {
      XUnmapWindow(display_, bar_);
    }
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
  // A window not on screen cannot take it: the server's refusal is only
  // recorded.
  void TakeFocus() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (*lost_) return;
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
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
      if (gone_) return;
      bool paintBar = false;
      // Not on a lost connection; and XPending itself may lose it.
      while (!*lost_ && XPending(display_) > 0 && !*lost_) {
        XEvent xe;
        XNextEvent(display_, &xe);
        FormEvent e;
        if (bar_ && xe.xany.window == bar_) {
          paintBar = paintBar || (xe.type == Expose && xe.xexpose.count == 0);
        } else if (DesktopEvent(xe, e) || Translate(xe, e)) {
          events.push_back(e);
        }
      }
      if (paintBar && StatusBarShown() && !*lost_) {
        PaintBar();
        XFlush(display_);
      }
      if (*lost_ && !gone_) {
        gone_ = true;
        events.push_back({.kind = FormEvent::Kind::Gone});
      }
    }
    const std::shared_ptr<bool> alive = alive_;
    for (const FormEvent& e : events) {
      if (!*alive) return;
      Dispatch(e);
    }
  }

  // A close request, or this window destroyed by another client. Under mutex_.
  bool DesktopEvent(const XEvent& xe, FormEvent& out) {
    if (xe.type == ClientMessage && wmProtocols_ && xe.xclient.message_type == wmProtocols_ &&
        Atom(xe.xclient.data.l[0]) == wmDeleteWindow_) {
      out.kind = FormEvent::Kind::CloseRequest;
      return true;
    }
    if (xe.type == DestroyNotify && xe.xdestroywindow.window == window_ && !gone_) {
      gone_ = true;
      out.kind = FormEvent::Kind::Gone;
      return true;
    }
    return false;
  }

  // Along the bottom edge, as wide as the form. Under mutex_.
  void PlaceBar() {
    const int w = bounds_.right - bounds_.left, h = bounds_.bottom - bounds_.top;
    XMoveResizeWindow(display_, bar_, 0, h - kStatusBarHeight, unsigned(w > 0 ? w : 1), kStatusBarHeight);
  }
  void PaintBar() {
    const int w = bounds_.right - bounds_.left;
    x11::DrawStatusBar(display_, bar_, barGc_, 0, w, StatusBarPanels());
  }

  std::mutex mutex_;
  LostFlag lost_;
  Display* display_;
  Window window_;
  Window parking_;
  const ThreadId owner_;
  Rect bounds_{};
  Window bar_ = 0;  // the status bar, made when first shown
  GC barGc_ = nullptr;
  Atom wmProtocols_ = 0, wmDeleteWindow_ = 0;
  bool gone_ = false;  // Gone was raised
};

// How a program's own top-level window is known to the desktop.
struct DesktopName {
  const char* instance;
  const char* className;
};

// WM_CLASS, WM_CLIENT_MACHINE and the process id; close requests asked for;
// destruction by another client reported. Before the window is mapped, as
// window managers read them then.
void NameForDesktop(Display* display, Window window, const DesktopName& name, X11Window& form) {
  std::string instance = name.instance ? name.instance : "", klass = name.className ? name.className : "";
  XClassHint hint{instance.data(), klass.data()};
  XSetWMProperties(display, window, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &hint);
  const long pid = long(getpid());
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&pid), 1);
  Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(display, window, &deleteWindow, 1);
  XSelectInput(display, window, kFormEventMask | StructureNotifyMask);
  form.WatchDesktop(XInternAtom(display, "WM_PROTOCOLS", False), deleteWindow);
}

// A black window of its own connection, asking for the form's events.
std::unique_ptr<X11Window> MakeX11Window(int width, int height, const char* title, bool parked,
                                         const DesktopName* desktop = nullptr) {
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
  auto form = std::make_unique<X11Window>(display, window, parking, std::move(lost), width > 0 ? width : 1,
                                          height > 0 ? height : 1);
  if (desktop) NameForDesktop(display, window, *desktop, *form);
  XMapWindow(display, window);
  XSync(display, False);
  return form;
}

}  // namespace

std::unique_ptr<NativeWindow> CreateX11Window(int width, int height, const char* title) {
  return MakeX11Window(width, height, title, false);
}

std::unique_ptr<Form> CreateX11Form(int width, int height, const char* caption) {
  return MakeX11Window(width, height, caption, true);
}

std::unique_ptr<Form> CreateX11MainForm(int width, int height, const char* title, const char* instance,
                                        const char* className) {
  const DesktopName name{instance, className};
  return MakeX11Window(width, height, title, false, &name);
}

}  // namespace platform
