// A message box as a non-modal X11 window: shown by a thread of its own with
// its own display connection, so the caller goes on at once; it closes on OK,
// Return, Escape or the window manager's close.
#include <poll.h>

#include <algorithm>
#include <memory>
#include <system_error>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/draw.h"
#include "platform/x11_display.h"

#include <X11/Xutil.h>

namespace platform {
namespace {

constexpr int kMaxOpenBoxes = 8;
std::atomic<int> openBoxes{0};


std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out(1);
  for (char c : text) {
    if (c == '\n')
      out.emplace_back();
    else if (c != '\r')
      out.back().push_back(c);
  }
  return out;
}

void RunBox(Display* display, std::unique_ptr<std::atomic<bool>> lost, std::string text, std::string title) {
  const int screen = DefaultScreen(display);
  const std::vector<std::string> lines = Lines(text);
  size_t widest = title.size();
  for (const std::string& l : lines) widest = std::max(widest, l.size());
  const int width = static_cast<int>(std::min<size_t>(widest, 100) * 7 + 40);
  const int height = static_cast<int>(lines.size()) * 16 + 70;
  Window w = XCreateSimpleWindow(display, RootWindow(display, screen), 100, 100, static_cast<unsigned>(width),
                                 static_cast<unsigned>(height), 1, BlackPixel(display, screen),
                                 WhitePixel(display, screen));
  XStoreName(display, w, title.c_str());
  Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(display, w, &deleteWindow, 1);
  XSelectInput(display, w, ExposureMask | KeyPressMask | ButtonPressMask | StructureNotifyMask);
  XMapRaised(display, w);
  GC gc = XCreateGC(display, w, 0, nullptr);
  const int okX = width / 2 - 30, okY = height - 36;
  const int fd = ConnectionNumber(display);
  for (bool open = true; open && !*lost;) {
    // XNextEvent cannot return from a lost connection; waiting on the
    // socket and taking only queued events can.
    if (XPending(display) <= 0) {
      if (*lost) break;
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, 500);
      continue;
    }
    XEvent e;
    XNextEvent(display, &e);
    switch (e.type) {
      case Expose:
        for (size_t i = 0; i < lines.size(); ++i)
          XDrawString(display, w, gc, 20, 24 + static_cast<int>(i) * 16, lines[i].c_str(),
                      static_cast<int>(lines[i].size()));
        XDrawRectangle(display, w, gc, okX, okY, 60, 24);
        XDrawString(display, w, gc, okX + 23, okY + 16, "OK", 2);
        break;
      case ButtonPress:
        if (e.xbutton.x >= okX && e.xbutton.x <= okX + 60 && e.xbutton.y >= okY && e.xbutton.y <= okY + 24)
          open = false;
        break;
      case KeyPress: {
        const KeySym key = XLookupKeysym(&e.xkey, 0);
        if (key == XK_Return || key == XK_Escape || key == XK_KP_Enter) open = false;
        break;
      }
      case ClientMessage:
        if (static_cast<Atom>(e.xclient.data.l[0]) == deleteWindow) open = false;
        break;
      case DestroyNotify:
        open = false;
        break;
      default:
        break;
    }
  }
  // Also after a lost server: the requests go nowhere, the memory is freed.
  XFreeGC(display, gc);
  if (!*lost) XDestroyWindow(display, w);
  XCloseDisplay(display);
  --openBoxes;
}

}  // namespace

// False when no display can be opened (or too many boxes are open); the
// caller then writes the box as a line instead.
bool ShowMessageBoxX11(const std::string& text, const std::string& title) {
  if (++openBoxes > kMaxOpenBoxes) {
    --openBoxes;
    return false;
  }
  // A lost server ends only the box, not the process.
  auto lost = std::make_unique<std::atomic<bool>>(false);
  Display* display = x11::OpenDisplay(lost.get());
  if (!display) {
    --openBoxes;
    return false;
  }
  try {
    std::thread(RunBox, display, std::move(lost), text, title).detach();
  } catch (const std::system_error&) {
    XCloseDisplay(display);
    --openBoxes;
    return false;
  }
  return true;
}

}  // namespace platform
