// A small status window: a label and a row of text panels under it, shown,
// hidden and resized by its owner. With DISPLAY an X11 top-level window
// (centred, no close button); without one (or when the display cannot be
// opened) a stderr writer that prints the panels as one line on every update
// while shown.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace platform {

struct StatusWindowState {
  bool shown = false;
  int width = 0;
  int height = 0;
  std::string label;
  int labelLeft = 0, labelTop = 0;
  bool panelsVisible = false;
  int panelWidth = 60;
  std::vector<std::string> panels;
};

class StatusWindow {
 public:
  virtual ~StatusWindow() = default;
  // Shows the state; only the owner's thread calls this.
  virtual void Update(const StatusWindowState& state) = 0;
  // Handles waiting window events (repaints); owner's thread.
  virtual void ProcessEvents() = 0;
};

// X11 when DISPLAY is set and can be opened, else the stderr line writer.
// The window starts hidden.
std::unique_ptr<StatusWindow> CreateStatusWindow(const std::string& title);
// The stderr line writer, prefixing each line with "<title>: ".
std::unique_ptr<StatusWindow> CreateStatusLineWriter(const std::string& title);

}  // namespace platform
