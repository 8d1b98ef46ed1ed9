#include "platform/message_box.h"

#include <cstdio>
#include <mutex>

namespace platform {
namespace {

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
  std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
}

MessageBoxSink SetMessageBoxSink(MessageBoxSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  MessageBoxSink previous = std::move(Sink());
  Sink() = std::move(sink);
  return previous;
}

}  // namespace platform
