#include "g7231/cg723.h"

#include <cstring>

#include "g7231/tables.h"

using namespace g7231;

// Every field starts at zero, so nothing is ever read uninitialised.
CG723::CG723()
    : vadState{},
      overflow(0),
      carry(0),
      noiseEncoderState{},
      encoderState{},
      noiseDecoderState{},
      rate53(0),
      postfilterOn(1),
      decoderState{},
      vadOn(1) {}

void CG723::Reset() {
  rate53 = 0;
  vadOn = 0;
  postfilterOn = 0;

  encoderState = EncoderState{};
  std::memcpy(encoderState.prevLsp, kLspDc, sizeof kLspDc);
  for (int32_t& e : encoderState.tamingErrors) e = 4;

  decoderState = DecoderState{};
  std::memcpy(decoderState.prevLsp, kLspDc, sizeof kLspDc);
  decoderState.gainMemory = 4096;

  if (vadOn != 0) {
    vadState = VadState{};
    vadState.hangover = 3;
    vadState.prevEnergy = 1024;
    vadState.noiseLevel = 1024;
    vadState.prevLags[0] = 1;
    vadState.prevLags[1] = 1;
    vadState.prevLags[2] = 60;
    vadState.prevLags[3] = 60;
    noiseEncoderState = NoiseEncoderState{};
  }

  noiseDecoderState.pastFrameType = kFrameActive;
  noiseDecoderState.sidGain = 0;
  std::memcpy(noiseDecoderState.sidLsp, kLspDc, sizeof kLspDc);
  noiseDecoderState.noiseSeed = kNoiseSeedStart;
}
