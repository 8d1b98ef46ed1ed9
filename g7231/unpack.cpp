#include "g7231/unpack.h"

namespace g7231 {
namespace {

constexpr int kFrameBits = 8 * kFrameBytes;
constexpr int kMinLag = 18;
constexpr int kMaxLagCode = 123;
constexpr int kGainLevels = 24;

// Reads a lag code; false for the forbidden codes above 123.
bool ReadLag(const uint8_t* bits, int* cursor, int16_t* lag) {
  const int32_t code = ReadBits(bits, cursor, 7);
  if (code > kMaxLagCode) return false;
  *lag = static_cast<int16_t>(code + kMinLag);
  return true;
}

bool ReadGains(const uint8_t* bits, int* cursor, bool rate63, SpeechFrameParams& p) {
  for (int i = 0; i < kSubframes; ++i) {
    SubframeParams& s = p.subframes[i];
    int32_t g = ReadBits(bits, cursor, 12);
    s.pulseTrain = 0;
    int32_t bound = 170;
    if (rate63 && p.openLoopLag[i >> 1] < kSubframeLength - 2) {
      s.pulseTrain = static_cast<int16_t>(g >> 11);
      g &= 0x7ff;
      bound = 85;
    }
    s.adaptiveGainIndex = static_cast<int16_t>(g / kGainLevels);
    if (s.adaptiveGainIndex >= bound) return false;
    s.fixedGainIndex = static_cast<int16_t>(g % kGainLevels);
  }
  return true;
}

void ReadPulses63(const uint8_t* bits, int* cursor, SpeechFrameParams& p) {
  ++*cursor;  // reserved bit
  const int32_t index = ReadBits(bits, cursor, 13);
  const int32_t high[kSubframes] = {(index / 90) / 9, (index / 90) % 9, (index % 90) / 9, (index % 90) % 9};
  constexpr int kWidth[kSubframes] = {16, 14, 16, 14};
  constexpr int kSignBits[kSubframes] = {6, 5, 6, 5};
  for (int i = 0; i < kSubframes; ++i) {
    p.subframes[i].pulsePositions = high[i] * (int32_t{1} << kWidth[i]) + ReadBits(bits, cursor, kWidth[i]);
  }
  for (int i = 0; i < kSubframes; ++i) {
    p.subframes[i].pulseSigns = static_cast<int16_t>(ReadBits(bits, cursor, kSignBits[i]));
  }
}

void ReadPulses53(const uint8_t* bits, int* cursor, SpeechFrameParams& p) {
  for (int i = 0; i < kSubframes; ++i) p.subframes[i].pulsePositions = ReadBits(bits, cursor, 12);
  for (int i = 0; i < kSubframes; ++i) p.subframes[i].pulseSigns = static_cast<int16_t>(ReadBits(bits, cursor, 4));
}

}  // namespace

int32_t ReadBits(const uint8_t* bits, int* cursor, int n) {
  int32_t value = 0;
  for (int i = 0; i < n; ++i) {
    if (*cursor < kFrameBits) value |= int32_t{bits[*cursor]} << i;
    ++*cursor;
  }
  return value;
}

SpeechFrameParams UnpackFrame(CG723& c, const uint8_t* in, int16_t erased, int16_t* kind) {
  SpeechFrameParams p{};
  p.erased = erased;
  if (erased != 0) return p;

  uint8_t bits[kFrameBits];
  for (int i = 0; i < kFrameBits; ++i) bits[i] = static_cast<uint8_t>((in[i >> 3] >> (i & 7)) & 1);
  int cursor = 0;
  const int32_t frameType = ReadBits(bits, &cursor, 2);
  if (frameType == 3) {
    *kind = kFrameUntransmitted;
    return p;
  }
  p.lspIndex = ReadBits(bits, &cursor, 24);
  if (frameType == 2) {
    p.subframes[0].fixedGainIndex = static_cast<int16_t>(ReadBits(bits, &cursor, 6));
    *kind = kFrameSid;
    return p;
  }

  *kind = kFrameActive;
  const bool rate63 = frameType == 0;
  c.rate53 = rate63 ? 0 : 1;

  if (!ReadLag(bits, &cursor, &p.openLoopLag[0])) {
    p.erased = 1;
    return p;
  }
  p.subframes[1].adaptiveLagDelta = static_cast<int16_t>(ReadBits(bits, &cursor, 2));
  if (!ReadLag(bits, &cursor, &p.openLoopLag[1])) {
    p.erased = 1;
    return p;
  }
  p.subframes[3].adaptiveLagDelta = static_cast<int16_t>(ReadBits(bits, &cursor, 2));
  p.subframes[0].adaptiveLagDelta = 1;
  p.subframes[2].adaptiveLagDelta = 1;

  if (!ReadGains(bits, &cursor, rate63, p)) {
    p.erased = 1;
    return p;
  }
  for (int i = 0; i < kSubframes; ++i) p.subframes[i].grid = static_cast<int16_t>(ReadBits(bits, &cursor, 1));
  if (rate63) {
    ReadPulses63(bits, &cursor, p);
  } else {
    ReadPulses53(bits, &cursor, p);
  }
  return p;
}

}  // namespace g7231
