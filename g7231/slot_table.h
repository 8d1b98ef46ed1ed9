// The process-wide table of speech decoders behind the entry points.
#pragma once

#include <cstdint>

#include "g7231/cg723.h"

// The decoder held by a slot, or null (empty or out of range). For tools and
// tests that need the object itself, e.g. to switch its postfilter.
CG723* SpeechDecoderInSlot(uint32_t slot);
