// Picture output: routes the current or last decoded picture through the
// deblocking post-processor (when on) and colour conversion.
#pragma once

#include <cstdint>

#include "decoder_state.h"

namespace quenda {

// Converts the current picture in the decoder's output format.
int RenderPicture(DecoderState& s, uint8_t* output, int renderFlag);
// Converts the last decoded picture again in the given format; nothing
// before the first decoded picture.
int RenderLastPicture(DecoderState& s, uint8_t* output, int format, int renderFlag);

}  // namespace quenda
