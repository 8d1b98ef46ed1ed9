#include "g7231/slot_table.h"

#include <array>

#include "g7231/decode_frame.h"
#include "g7231/speech_decoder.h"

namespace {

// Empty from program start: no first-use clearing that two threads could race.
constinit std::array<CG723*, kSpeechDecoderSlots> SpeechDecoderSlots{};

}  // namespace

CG723* SpeechDecoderInSlot(uint32_t slot) {
  return slot < kSpeechDecoderSlots ? SpeechDecoderSlots[slot] : nullptr;
}

void CreateSpeechDecoder(uint32_t slot) {
  if (slot >= kSpeechDecoderSlots || SpeechDecoderSlots[slot] != nullptr) return;
  CG723* decoder = new CG723();
  decoder->Reset();
  SpeechDecoderSlots[slot] = decoder;
}

void DestroySpeechDecoder(uint32_t slot) {
  if (slot >= kSpeechDecoderSlots) return;
  delete SpeechDecoderSlots[slot];
  SpeechDecoderSlots[slot] = nullptr;
}

int16_t DecodeSpeechFrame(uint32_t slot, int16_t* out, const uint8_t* in, int16_t erased) {
  CG723* decoder = SpeechDecoderInSlot(slot);
  if (decoder == nullptr) return 0;
  return g7231::DecodeFrame(*decoder, out, in, erased);
}
