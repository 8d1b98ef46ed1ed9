// What the X11 backends share: display connections of their own, whose
// loss (the server went away) fails only their users instead of ending the
// process, and colours in the screen's pixel format. Include after the
// project's headers: Xlib's macros clash with names there.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/status_bar.h"

namespace platform::x11 {

// Set by Xlib, in place of exit(), when the connection breaks.
using LostFlag = std::unique_ptr<std::atomic<bool>>;

// A connection of its own (after PrepareXlib) whose loss sets *lost; null
// when no display can be opened.
Display* OpenDisplay(std::atomic<bool>* lost);

// The last protocol error met by the calling thread (0: none); a caller
// clears it, makes its requests, and looks.
int& LastError();

unsigned long PixelFor(Display* display, uint32_t rgb);

// The colours of the status bars (0xRRGGBB).
inline constexpr uint32_t kFaceRgb = 0xD4D0C8;  // button face
inline constexpr uint32_t kTextRgb = 0x000000;
inline constexpr uint32_t kShadowRgb = 0x808080;

// Paints a status bar `width` pixels wide from row `top` of `drawable`: the
// face, then each panel's box and text.
void DrawStatusBar(Display* display, Drawable drawable, GC gc, int top, int width,
                   std::span<const StatusPanel> panels);

}  // namespace platform::x11
