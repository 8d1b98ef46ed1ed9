// Speech decoder entry points: G.723.1 (6.3 and 5.3 kbit/s, with comfort
// noise) decoders kept in a process-wide table of slots, one per caller.
#pragma once

#include <cstdint>

constexpr uint32_t kSpeechDecoderSlots = 1000;
constexpr int kSpeechFrameBytes = 24;     // every call reads this many bytes
constexpr int kSpeechFrameSamples = 240;  // 30 ms at 8 kHz

// Creates the decoder of an empty slot below 1000; otherwise does nothing.
void CreateSpeechDecoder(uint32_t slot);
// Frees the decoder of a slot below 1000; otherwise does nothing.
void DestroySpeechDecoder(uint32_t slot);
// Decodes one 24-byte frame into 240 samples with the slot's decoder; erased
// nonzero declares the frame lost. Returns 1, or 0 without touching out when
// the slot holds no decoder.
int16_t DecodeSpeechFrame(uint32_t slot, int16_t* out, const uint8_t* in, int16_t erased);
