#include "platform/message_box.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {

bool ShowMessageBoxX11(const std::string& text, const std::string& title);

namespace {

// A window when a display is named, unless VELMORA_MESSAGE_BOX=stderr asks
// for the line.
bool WantsWindow() {
  const char* mode = std::getenv("VELMORA_MESSAGE_BOX");
  if (mode && std::strcmp(mode, "stderr") == 0) return false;
  const char* display = std::getenv("DISPLAY");
  return display && *display;
}

std::mutex sinkMutex;
MessageBoxSink& Sink() {
  static auto* sink = new MessageBoxSink;
  return *sink;
}

}  // namespace

void ShowMessageBox(const std::string& text, const std::string& title) {
  MessageBoxSink sink;
  {
    std::lock_guard<std::mutex> lock(sinkMutex);
    sink = Sink();
  }
  if (sink) {
    sink(text, title);
    return;
  }
  if (WantsWindow() && ShowMessageBoxX11(text, title)) return;
  std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
}

MessageBoxSink SetMessageBoxSink(MessageBoxSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  MessageBoxSink previous = std::move(Sink());
  Sink() = std::move(sink);
  return previous;
}

}  // namespace platform
