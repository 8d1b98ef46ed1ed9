// Mouse and keyboard input as a window delivers it to its handlers.
#pragma once

#include <cstdint>

namespace platform {

enum class MouseButton : uint8_t { Left, Right, Middle };

// Keys held with a click.
struct ShiftState {
  bool shift = false;
  bool ctrl = false;
  bool alt = false;
};

}  // namespace platform
