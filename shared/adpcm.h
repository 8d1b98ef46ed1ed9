// CADPCM: IMA ADPCM codec state, shared by the camera-audio decoder and the
// microphone encoder. The earlier sample of each byte is in the high nibble.
#pragma once

#include <cstddef>
#include <cstdint>

extern const int16_t kImaStepTable[89];
extern const int8_t kImaIndexTable[16];

struct CADPCM {
  int16_t predictor = 0;
  int8_t stepIndex = 0;

  // Decodes count codes from coded into out; the state runs on.
  void DecodeAdpcm(const uint8_t* coded, int16_t* out, size_t count);
  // Encodes count samples into (count + 1) / 2 bytes; with an odd count the
  // last low nibble is 0.
  void EncodeAdpcm(const int16_t* samples, uint8_t* coded, size_t count);
};
