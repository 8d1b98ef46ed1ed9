#include "dsp.h"

#include "idct.h"
#include "mc.h"

namespace quenda {

bool ProcessorHasAvx2() {
  __builtin_cpu_init();  // may run before the library's constructors
  return __builtin_cpu_supports("avx2");
}

const DspFunctions kDspReference = {IdctPutReference, IdctAddReference, &kMcReference};
const DspFunctions kDspSse2 = {IdctPutSse2, IdctAddSse2, &kMcSse2};
const DspFunctions kDspAvx2 = {IdctPutAvx2, IdctAddAvx2, &kMcSse2};
const DspFunctions kDspOptimised = ProcessorHasAvx2() ? kDspAvx2 : kDspSse2;
DspFunctions g_dsp = kDspOptimised;

}  // namespace quenda
