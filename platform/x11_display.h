// What the X11 backends share: display connections of their own, whose
// loss (the server went away) fails only their users instead of ending the
// process, and colours in the screen's pixel format. Include after the
// project's headers: Xlib's macros clash with names there.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <cstdint>
#include <memory>

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

}  // namespace platform::x11
