// A stand-in for the decoder library, built as libquenda.so in a directory
// of its own. It exports the same C names and "decodes" a payload made by
// the tests (tag FF FF FF FF, then a 32-bit little-endian frame id) into a
// pattern from which a test can read back the frame id and the pixel's own
// position: R = x & 0xFF, G = y, B = (x >> 8) << 7 | (id & 0x7F).
// Its static state is one per loaded copy, like the real library's.
#include <cstdint>
#include <cstring>


#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

#include "fake_quenda.h"

namespace {

FakeQuendaStateData state;

int32_t pendingInputSize = -1;

void Pixel(uint8_t* out, int format, int x, int y, int id) {
  const uint8_t r = uint8_t(x & 0xFF), g = uint8_t(y), b = uint8_t(((x >> 8) << 7) | (id & 0x7F));
  switch (format) {
    case 32: {
      uint8_t* p = out + (size_t(y) * 320 + size_t(x)) * 4;
      p[0] = b; p[1] = g; p[2] = r; p[3] = 0;
      break;
    }
    case 24:
    case 0: {
      const int row = format == 24 ? y : 239 - y;
      uint8_t* p = out + (size_t(row) * 320 + size_t(x)) * 3;
      p[0] = b; p[1] = g; p[2] = r;
      break;
    }
    case 16: {
      const uint16_t v = uint16_t(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
      uint8_t* p = out + (size_t(y) * 320 + size_t(x)) * 2;
      p[0] = uint8_t(v & 0xFF); p[1] = uint8_t(v >> 8);
      break;
    }
    default: break;
  }
}

}  // namespace

FAKE_EXPORT int32_t Decoder_Init() {
  ++state.inits;
  return 0;
}

FAKE_EXPORT void DecoderSetInputSize(uint32_t n) { pendingInputSize = int32_t(n); }

FAKE_EXPORT int32_t DecoderFrame(const uint8_t* payload, int32_t mode, void* output) {
  state.lastInputSize = pendingInputSize;
  pendingInputSize = -1;
  const int32_t n = state.lastInputSize;
  if (n >= 0 && n < 8) return n;  // too short to hold an id
  if (payload[0] != 0xFF || payload[1] != 0xFF || payload[2] != 0xFF || payload[3] != 0xFF) state.tagOk = 0;
  int32_t id;
  std::memcpy(&id, payload + 4, 4);
  state.lastId = id;
  state.lastMode = mode;
  if (state.decodes < 4096) state.ids[state.decodes] = id;
  ++state.decodes;
  if (!output) {
    ++state.nullOutputs;
    return 8;
  }
  const int format = mode & 0xFFFF;
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 320; ++x) Pixel(static_cast<uint8_t*>(output), format, x, y, id);
  return 8;
}

FAKE_EXPORT void DecoderClose() { ++state.closes; }

// For tests only: this copy's state.
FAKE_EXPORT const void* FakeQuendaState() { return &state; }
