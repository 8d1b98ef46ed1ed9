// CG723: one speech decoder with its whole state, down to the overflow flag
// of its fixed-point arithmetic, and the parameter record of one frame.
#pragma once

#include <cstdint>

namespace g7231 {

constexpr int kLpcOrder = 10;
constexpr int kSubframes = 4;
constexpr int kSubframeLength = 60;
constexpr int kFrameLength = 240;
constexpr int kPitchMax = 145;
constexpr int kExcitationLength = kPitchMax + kFrameLength;  // 385
constexpr int kFrameBytes = 24;
constexpr int16_t kNoiseSeedStart = 12345;

// Frame kinds; also the values of pastFrameType.
constexpr int16_t kFrameUntransmitted = 0;
constexpr int16_t kFrameActive = 1;
constexpr int16_t kFrameSid = 2;

// Encoder-side areas: part of every object, never read while decoding.
struct VadState {
  int16_t hangover;
  int16_t voiceCount;
  int32_t prevEnergy;
  int32_t noiseLevel;
  int16_t adaptEnable;
  int16_t prevLags[4];
  int16_t noiseLpc[kLpcOrder];
};

struct NoiseEncoderState {
  int16_t curGain;
  int16_t pastFrameType;
  int16_t autocorrelations[4 * (kLpcOrder + 1)];
  int16_t autocorrelationShifts[4];
  int16_t sidLsp[kLpcOrder];
  int16_t sidLpc[kLpcOrder];
  int16_t reflection[kLpcOrder + 1];
  int16_t reflectionShift;
  int16_t energies[3];
  int16_t energyCount;
  int16_t reference;
  int16_t sidGain;
  int16_t noiseSeed;
};

struct EncoderState {
  int16_t highPassZero;
  int32_t highPassPole;
  int16_t prevSpeech[120];
  int16_t prevExcitation[kPitchMax];
  int16_t prevLsp[kLpcOrder];
  int16_t weightFirMemory[kLpcOrder];
  int16_t weightIirMemory[kLpcOrder];
  int16_t ringFirMemory[kLpcOrder];
  int16_t ringIirMemory[kLpcOrder];
  int16_t prevWeighted[kPitchMax];
  int32_t tamingErrors[5];
  int16_t sineDetect;
};

struct NoiseDecoderState {
  int16_t curGain;
  int16_t pastFrameType;
  int16_t sidLsp[kLpcOrder];
  int16_t sidGain;
  int16_t noiseSeed;
};

struct DecoderState {
  int16_t erasureCount;
  int16_t interpolationGain;
  int16_t interpolationLag;
  int16_t concealSeed;
  int16_t tiltParcor;
  int16_t gainMemory;
  int16_t prevLsp[kLpcOrder];
  int16_t prevExcitation[kPitchMax];
  int16_t synthesisMemory[kLpcOrder];
  int16_t postFirMemory[kLpcOrder];
  int16_t postIirMemory[kLpcOrder];
};

struct SubframeParams {
  int16_t adaptiveLagDelta;
  int16_t adaptiveGainIndex;
  int16_t fixedGainIndex;
  int16_t grid;
  int16_t pulseTrain;
  int16_t pulseSigns;
  int32_t pulsePositions;
};

struct SpeechFrameParams {
  int16_t erased;
  int32_t lspIndex;
  int16_t openLoopLag[2];
  SubframeParams subframes[kSubframes];
};

}  // namespace g7231

class CG723 {
 public:
  CG723();
  // Decoder start state: previous frame active at 6.3 kbit/s, postfilter off.
  void Reset();

  g7231::VadState vadState;
  int16_t overflow;
  int16_t carry;
  g7231::NoiseEncoderState noiseEncoderState;
  g7231::EncoderState encoderState;
  g7231::NoiseDecoderState noiseDecoderState;
  uint8_t rate53;
  int16_t postfilterOn;
  g7231::DecoderState decoderState;
  int16_t vadOn;
};
