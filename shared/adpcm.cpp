#include "shared/adpcm.h"

#include <algorithm>

const int16_t kImaStepTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
    544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
    9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

const int8_t kImaIndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

namespace {

int ClampIndex(int index) { return std::clamp(index, 0, 88); }
int ClampSample(int value) { return std::clamp(value, -32768, 32767); }

}  // namespace

void CADPCM::DecodeAdpcm(const uint8_t* coded, int16_t* out, size_t count) {
  int index = ClampIndex(stepIndex);  // a seeded state may hold any byte
  int value = predictor;
  int step = kImaStepTable[index];
  for (size_t i = 0; i < count; ++i) {
    uint8_t byte = coded[i / 2];
    int code = (i % 2 == 0) ? byte >> 4 : byte & 0x0F;
    index = ClampIndex(index + kImaIndexTable[code]);
    int diff = step >> 3;
    if (code & 4) diff += step;
    if (code & 2) diff += step >> 1;
    if (code & 1) diff += step >> 2;
    value = ClampSample((code & 8) ? value - diff : value + diff);
    step = kImaStepTable[index];
    out[i] = static_cast<int16_t>(value);
  }
  predictor = static_cast<int16_t>(value);
  stepIndex = static_cast<int8_t>(index);
}

void CADPCM::EncodeAdpcm(const int16_t* samples, uint8_t* coded, size_t count) {
  int index = ClampIndex(stepIndex);
  int value = predictor;
  int step = kImaStepTable[index];
  uint8_t high = 0;
  for (size_t i = 0; i < count; ++i) {
    int diff = samples[i] - value;
    int sign = 0;
    if (diff < 0) {
      sign = 8;
      diff = -diff;
    }
    int code = 0;
    int vpdiff = step >> 3;
    if (diff >= step) {
      code |= 4;
      diff -= step;
      vpdiff += step;
    }
    if (diff >= step >> 1) {
      code |= 2;
      diff -= step >> 1;
      vpdiff += step >> 1;
    }
    if (diff >= step >> 2) {
      code |= 1;
      vpdiff += step >> 2;
    }
    value = ClampSample(sign ? value - vpdiff : value + vpdiff);
    code |= sign;
    index = ClampIndex(index + kImaIndexTable[code]);
    step = kImaStepTable[index];
    if (i % 2 == 0) {
      high = static_cast<uint8_t>(code << 4);
    } else {
      coded[i / 2] = static_cast<uint8_t>(high | code);
    }
  }
  if (count % 2 == 1) coded[count / 2] = high;
  predictor = static_cast<int16_t>(value);
  stepIndex = static_cast<int8_t>(index);
}
