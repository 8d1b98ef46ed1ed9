#include "g7231/decode_frame.h"

#include "g7231/basic_ops.h"
#include "g7231/comfort_noise.h"
#include "g7231/conceal.h"
#include "g7231/excitation.h"
#include "g7231/kernels.h"
#include "g7231/lsp.h"
#include "g7231/postfilter.h"
#include "g7231/tables.h"
#include "g7231/unpack.h"

namespace g7231 {
namespace {

constexpr int16_t kMaxErasures = 3;

// Excitation of a good active frame into buffer[145..384] and out.
void GoodFrameExcitation(CG723& c, const SpeechFrameParams& p, int16_t* buffer, int16_t* out) {
  DecoderState& dec = c.decoderState;
  int16_t pulses[kSubframeLength];
  int16_t adaptive[kSubframeLength];
  for (int i = 0; i < kSubframes; ++i) {
    const SubframeParams& s = p.subframes[i];
    const int16_t lag = p.openLoopLag[i >> 1];
    UnpackFixedCodebook(c, pulses, s, lag, i);
    AdaptiveExcitation(c, adaptive, buffer + i * kSubframeLength, lag, s.adaptiveLagDelta, s.adaptiveGainIndex);
    int16_t* dst = buffer + kPitchMax + i * kSubframeLength;
    for (int j = 0; j < kSubframeLength; ++j) dst[j] = add_s(c, shl_s(c, pulses[j], 1), adaptive[j]);
  }
  for (int j = 0; j < kFrameLength; ++j) out[j] = buffer[kPitchMax + j];

  NoiseDecoderState& noise = c.noiseDecoderState;
  dec.interpolationLag = EstimateVoicing(c, buffer, p.openLoopLag[1], &noise.sidGain, &noise.curGain);

  PitchPostfilter pf[kSubframes];
  if (c.postfilterOn != 0) {
    for (int i = 0; i < kSubframes; ++i) pf[i] = PitchPostfilterParams(c, buffer, p.openLoopLag[i >> 1], i);
  }
  // The voicing estimate normalised the buffer; restore the real excitation.
  for (int j = 0; j < kPitchMax; ++j) buffer[j] = dec.prevExcitation[j];
  for (int j = 0; j < kFrameLength; ++j) buffer[kPitchMax + j] = out[j];
  if (c.postfilterOn != 0) {
    for (int i = 0; i < kSubframes; ++i) ApplyPitchPostfilter(c, out, buffer, pf[i], i);
  }
  for (int j = 0; j < kLpcOrder; ++j) noise.sidLsp[j] = dec.prevLsp[j];
}

void ActiveFrame(CG723& c, const SpeechFrameParams& p, int16_t* out, int16_t* lpc) {
  DecoderState& dec = c.decoderState;
  if (p.erased != 0) {
    dec.erasureCount = add_s(c, dec.erasureCount, 1);
  } else {
    dec.erasureCount = 0;
  }
  if (dec.erasureCount > kMaxErasures) dec.erasureCount = kMaxErasures;

  int16_t lsp[kLpcOrder];
  DecodeLsp(c, lsp, dec.prevLsp, p.lspIndex, p.erased);
  InterpolateLsp(c, lpc, lsp, dec.prevLsp);
  for (int j = 0; j < kLpcOrder; ++j) dec.prevLsp[j] = lsp[j];

  if (dec.erasureCount == 0) {
    const int16_t index = shr_s(c, add_s(c, p.subframes[2].fixedGainIndex, p.subframes[3].fixedGainIndex), 1);
    dec.interpolationGain = kFixedCbGain[index];
  } else {
    dec.interpolationGain = mulr_s(c, dec.interpolationGain, 0x6000);
  }

  int16_t buffer[kExcitationLength];
  for (int j = 0; j < kPitchMax; ++j) buffer[j] = dec.prevExcitation[j];
  if (dec.erasureCount == 0) {
    GoodFrameExcitation(c, p, buffer, out);
  } else {
    ConcealErasedFrame(c, out, buffer, dec.interpolationLag, dec.interpolationGain, dec.erasureCount,
                       &dec.concealSeed);
  }
  for (int j = 0; j < kPitchMax; ++j) dec.prevExcitation[j] = buffer[kFrameLength + j];
  c.noiseDecoderState.noiseSeed = kNoiseSeedStart;
}

}  // namespace

int16_t DecodeFrame(CG723& c, int16_t* out, const uint8_t* in, int16_t erased) {
  int16_t kind = kFrameActive;
  SpeechFrameParams p = UnpackFrame(c, in, erased, &kind);
  if (p.erased != 0) kind = c.noiseDecoderState.pastFrameType == kFrameActive ? kFrameActive : kFrameUntransmitted;

  int16_t lpc[kSubframes * kLpcOrder];
  if (kind != kFrameActive) {
    ComfortNoiseFrame(c, kind, p, out, lpc);
  } else {
    ActiveFrame(c, p, out, lpc);
  }
  c.noiseDecoderState.pastFrameType = kind;

  const KernelTable& k = Kernels();
  const bool postfilter = c.postfilterOn != 0;
  for (int i = 0; i < kSubframes; ++i) {
    int16_t* samples = out + i * kSubframeLength;
    const int16_t* set = lpc + i * kLpcOrder;
    k.synthesis(c, samples, set, c.decoderState.synthesisMemory, !postfilter);
    if (postfilter) {
      const int32_t energy = FormantPostfilter(c, samples, set);
      ScaleGain(c, samples, energy);
    }
  }
  return 1;
}

}  // namespace g7231
