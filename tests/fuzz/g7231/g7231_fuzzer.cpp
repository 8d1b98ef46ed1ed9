// Feeds random frames into one speech decoder: byte 0 picks the postfilter,
// then each record is an erasure byte and a 24-byte frame. Every call must
// write all 240 samples: each frame is decoded twice from the same state into
// buffers holding different sentinels, and the two outputs must agree.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "g7231/decode_frame.h"
#include "g7231/slot_table.h"
#include "g7231/speech_decoder.h"

namespace {

constexpr uint32_t kSlot = 0;
constexpr size_t kRecord = 1 + kSpeechFrameBytes;

void Check(bool ok) {
  if (!ok) std::abort();
}

// Erasure byte: 0..191 good frame, otherwise a flag spread over 16 bits.
int16_t ErasureFlag(uint8_t b) {
  if (b < 192) return 0;
  return static_cast<int16_t>((b & 0x3f) * 0x0403 - 0x8000 * (b & 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  CreateSpeechDecoder(kSlot);
  CG723* decoder = SpeechDecoderInSlot(kSlot);
  Check(decoder != nullptr);
  decoder->postfilterOn = data[0] & 1;
  ++data;
  --size;

  // Exactly sized heap buffers so any out-of-range access is caught.
  auto frame = std::make_unique<uint8_t[]>(kSpeechFrameBytes);
  auto outA = std::make_unique<int16_t[]>(kSpeechFrameSamples);
  auto outB = std::make_unique<int16_t[]>(kSpeechFrameSamples);
  for (size_t pos = 0; pos + kRecord <= size; pos += kRecord) {
    const int16_t erased = ErasureFlag(data[pos]);
    std::memcpy(frame.get(), data + pos + 1, kSpeechFrameBytes);
    CG723 twin = *decoder;
    for (int i = 0; i < kSpeechFrameSamples; ++i) {
      outA[i] = 0x5555;
      outB[i] = static_cast<int16_t>(0xaaaa);
    }
    Check(DecodeSpeechFrame(kSlot, outA.get(), frame.get(), erased) == 1);
    Check(g7231::DecodeFrame(twin, outB.get(), frame.get(), erased) == 1);
    Check(std::memcmp(outA.get(), outB.get(), kSpeechFrameSamples * sizeof(int16_t)) == 0);
  }
  DestroySpeechDecoder(kSlot);
  return 0;
}
