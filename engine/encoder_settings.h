// MPEG4ControlValues: the camera encoder settings the video channel keeps
// and the encoder-parameter message carries.
#pragma once

#include <cstdint>

struct MPEG4ControlValues {
  uint16_t maxbitrate = 299;
  uint8_t maxfrmrate = 30;
  uint8_t maxq = 19;
  uint8_t minq = 6;
  uint8_t intvlintra = 30;
  uint16_t motionsen = 2000;
  uint8_t EncMode = 1;
};
