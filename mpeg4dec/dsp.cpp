#include "dsp.h"

#include "idct.h"
#include "mc.h"

namespace quenda {

const DspFunctions kDspReference = {IdctPutReference, IdctAddReference, &kMcReference};
const DspFunctions kDspOptimised = {IdctPutSse2, IdctAddSse2, &kMcSse2};
DspFunctions g_dsp = kDspOptimised;

}  // namespace quenda
