// Message boxes of the engine: no owner window, shown on the thread that met
// the failure, which goes on once the box is closed. Here they are logged and
// return at once; tests can catch them.
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
