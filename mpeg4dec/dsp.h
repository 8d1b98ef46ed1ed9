// Hot kernels behind one small table, so the plain versions stay available
// as the reference and tests can switch between them.
#pragma once

#include <cstdint>

namespace quenda {

struct McKernelTable;

struct DspFunctions {
  // rows: the block's extent (see idct.h).
  void (*idctPut)(int16_t* block, uint8_t* dst, int stride, int rows);
  void (*idctAdd)(int16_t* block, uint8_t* dst, int stride, int rows);
  const McKernelTable* mc;
};

extern const DspFunctions kDspReference;
extern const DspFunctions kDspSse2;
extern const DspFunctions kDspAvx2;  // only where the processor has AVX2
extern const DspFunctions kDspOptimised;  // the best of the above for this processor
extern DspFunctions g_dsp;  // what the decoder uses; kDspOptimised at load

bool ProcessorHasAvx2();

}  // namespace quenda
