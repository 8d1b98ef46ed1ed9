// The status line writer and the choice of kind.
#include <cstdio>
#include <cstdlib>

#include "platform/status_window.h"

namespace platform {

std::unique_ptr<StatusWindow> CreateX11StatusWindow(const std::string& title);

namespace {

class StatusLineWriter : public StatusWindow {
 public:
  explicit StatusLineWriter(std::string title) : title_(std::move(title)) {}
  void Update(const StatusWindowState& state) override {
    if (!state.shown) return;
    std::string line = title_ + ":";
    for (const auto& panel : state.panels) line += " [" + panel + "]";
    line += "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
  void ProcessEvents() override {}

 private:
  std::string title_;
};

}  // namespace

std::unique_ptr<StatusWindow> CreateStatusLineWriter(const std::string& title) {
  return std::make_unique<StatusLineWriter>(title);
}

std::unique_ptr<StatusWindow> CreateStatusWindow(const std::string& title) {
  const char* display = std::getenv("DISPLAY");
  if (display != nullptr && display[0] != '\0') {
    if (auto window = CreateX11StatusWindow(title)) return window;
  }
  return CreateStatusLineWriter(title);
}

}  // namespace platform
