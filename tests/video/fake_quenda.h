// What the fake decoder library records, one per loaded copy; tests read it
// through the copy's FakeQuendaState export.
#pragma once

#include <cstdint>

struct FakeQuendaStateData {
  int32_t inits = 0;
  int32_t closes = 0;
  int32_t decodes = 0;
  int32_t lastId = -1;
  int32_t lastMode = -1;
  int32_t lastInputSize = -1;  // -1: DecoderSetInputSize was not called before the decode
  int32_t tagOk = 1;           // every payload began with FF FF FF FF
  int32_t nullOutputs = 0;
  int32_t ids[4096] = {};
};
