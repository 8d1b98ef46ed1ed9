// A status bar: text panels side by side from the left along the bottom edge
// of a window, each in a sunken box as wide as the panel less a 2-pixel gap.
#pragma once

#include <string>

namespace platform {

inline constexpr int kStatusBarHeight = 19;

struct StatusPanel {
  int width = 0;  // pixels, the gap after the box included
  std::string text;
  bool operator==(const StatusPanel&) const = default;
};

}  // namespace platform
