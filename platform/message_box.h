// Message boxes: no owner window, and they never block the caller. With a
// display open a box is a non-modal X11 window with an OK button; without
// one (or with VELMORA_MESSAGE_BOX=stderr) it is one line on stderr, so
// automated hosts never hang. Tests can catch them with a sink.
#pragma once

#include <functional>
#include <string>

namespace platform {

using MessageBoxSink = std::function<void(const std::string& text, const std::string& title)>;

void ShowMessageBox(const std::string& text, const std::string& title);

// Replaces where boxes go (nullptr restores the stderr log). Returns the
// previous sink.
MessageBoxSink SetMessageBoxSink(MessageBoxSink sink);

}  // namespace platform
