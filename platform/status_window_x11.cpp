// The status window on X11: a top-level window of its own display
// connection, centred on the screen, whose window-manager hints offer no
// close button; painted with the core font.
// Before Xlib, whose macros (None...) would clash with our names.
#include "platform/draw.h"
#include "platform/status_window.h"
#include "platform/x11_display.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <atomic>
#include <vector>

namespace platform {
namespace {

// Motif hints: the window may be moved and resized, not closed.
struct MotifHints {
  unsigned long flags, functions, decorations;
  long inputMode;
  unsigned long status;
};
constexpr unsigned long kHintsFunctions = 1, kHintsDecorations = 2;
constexpr unsigned long kFuncResize = 2, kFuncMove = 4;
constexpr unsigned long kDecorBorder = 2, kDecorTitle = 8;

class X11StatusWindow : public StatusWindow {
 public:
  // lost: set when the server goes away; the window then only ends.
  X11StatusWindow(Display* display, x11::LostFlag lost, const std::string& title)
      : lost_(std::move(lost)), display_(display) {
    const int screen = DefaultScreen(display_);
    width_ = 1;
    height_ = 1;
    window_ = XCreateSimpleWindow(display_, RootWindow(display_, screen), 0, 0, 1, 1, 0,
                                  x11::PixelFor(display_, x11::kTextRgb), x11::PixelFor(display_, x11::kFaceRgb));
    XStoreName(display_, window_, title.c_str());
    XClassHint cls{const_cast<char*>(title.c_str()), const_cast<char*>(title.c_str())};
    XSetClassHint(display_, window_, &cls);
    MotifHints hints{kHintsFunctions | kHintsDecorations, kFuncMove | kFuncResize, kDecorBorder | kDecorTitle, 0, 0};
    const Atom motif = XInternAtom(display_, "_MOTIF_WM_HINTS", False);
    XChangeProperty(display_, window_, motif, motif, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&hints), 5);
    // Asked to close, the window ignores it: it has no close of its own.
    Atom deleteWindow = XInternAtom(display_, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display_, window_, &deleteWindow, 1);
    XSelectInput(display_, window_, ExposureMask | StructureNotifyMask);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    XFlush(display_);
  }

  ~X11StatusWindow() override {
    // Also after a lost server: the requests go nowhere, the memory is freed.
    XFreeGC(display_, gc_);
    if (!*lost_) XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  }

  void Update(const StatusWindowState& state) override {
    if (*lost_) return;
    const bool geometryChanged = state.width != width_ || state.height != height_;
    state_ = state;
    if (geometryChanged) Place();
    if (state.shown != mapped_) {
      if (state.shown) {
        XMapRaised(display_, window_);
      } else {
        XUnmapWindow(display_, window_);
      }
      mapped_ = state.shown;
    }
    if (mapped_) Paint();
    XFlush(display_);
  }

  void ProcessEvents() override {
    bool paint = false;
    while (!*lost_ && XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type == Expose && event.xexpose.count == 0) paint = true;
    }
    if (paint && mapped_ && !*lost_) {
      Paint();
      XFlush(display_);
    }
  }

 private:
  void Place() {
    width_ = state_.width > 0 ? state_.width : 1;
    height_ = state_.height > 0 ? state_.height : 1;
    const int screen = DefaultScreen(display_);
    const int x = (DisplayWidth(display_, screen) - width_) / 2;
    const int y = (DisplayHeight(display_, screen) - height_) / 2;
    XSizeHints* size = XAllocSizeHints();
    size->flags = PPosition | PSize | USPosition;
    size->x = x;
    size->y = y;
    size->width = width_;
    size->height = height_;
    XSetWMNormalHints(display_, window_, size);
    XFree(size);
    XMoveResizeWindow(display_, window_, x, y, unsigned(width_), unsigned(height_));
  }

  void Paint() {
    XSetForeground(display_, gc_, x11::PixelFor(display_, x11::kFaceRgb));
    XFillRectangle(display_, window_, gc_, 0, 0, unsigned(width_), unsigned(height_));
    XSetForeground(display_, gc_, x11::PixelFor(display_, x11::kTextRgb));
    XDrawString(display_, window_, gc_, state_.labelLeft, state_.labelTop + 12, state_.label.c_str(),
                int(state_.label.size()));
    if (!state_.panelsVisible) return;
    std::vector<StatusPanel> panels;
    for (const std::string& text : state_.panels) panels.push_back({state_.panelWidth, text});
    x11::DrawStatusBar(display_, window_, gc_, height_ - kStatusBarHeight, width_, panels);
  }

  x11::LostFlag lost_;
  Display* display_;
  Window window_ = 0;
  GC gc_ = nullptr;
  int width_ = 0, height_ = 0;
  bool mapped_ = false;
  StatusWindowState state_;
};

}  // namespace

std::unique_ptr<StatusWindow> CreateX11StatusWindow(const std::string& title) {
  auto lost = std::make_unique<std::atomic<bool>>(false);
  Display* display = x11::OpenDisplay(lost.get());
  if (display == nullptr) return nullptr;
  return std::make_unique<X11StatusWindow>(display, std::move(lost), title);
}

}  // namespace platform
