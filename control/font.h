// The form's font as a small automation object: Name, Size, Bold, Italic,
// Underline and Strikethrough, with the standard font DISPIDs.
#pragma once

#include <string>

#include "platform/com/com.h"

namespace control {

// The form's own font by default: Tahoma, 13 pixels high at 96 per inch.
struct FontData {
  std::u16string name = u"Tahoma";
  float size = 9.75f;
  bool bold = false, italic = false, underline = false, strikethrough = false;
};

// A new font object holding data, with one reference.
IDispatch* CreateFont(const FontData& data = {});
// Reads the six properties of any font-like object through its IDispatch;
// false when one of them cannot be read.
bool ReadFont(IDispatch* font, FontData* out);

}  // namespace control
