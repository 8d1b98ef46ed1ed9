// LSP decoding, interpolation and conversion to LPC coefficients.
#pragma once

#include <cstdint>

#include "g7231/cg723.h"

namespace g7231 {

// Inverse-quantises lspIndex with prevLsp as predictor. An erased frame uses
// index 0, a stronger predictor and a wider minimum distance; a vector still
// unstable after correction falls back to prevLsp.
void DecodeLsp(CG723& c, int16_t* lsp, int16_t* prevLsp, int32_t lspIndex, int16_t erased);

// Four LPC sets, one per subframe, from the previous and current LSP vectors.
void InterpolateLsp(CG723& c, int16_t* lpc, const int16_t* currentLsp, const int16_t* prevLsp);

// Converts one LSP vector in place to LPC coefficients (Q13, sign folded so the
// synthesis filter adds them).
void LspToLpc(CG723& c, int16_t* lsp);

}  // namespace g7231
