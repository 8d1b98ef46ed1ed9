// Feeds arbitrary pictures to DecoderFrame the way Velmora does: the payload's
// 4-byte tag overwritten with 0xFF and the input bounded with
// DecoderSetInputSize. An input may hold several pictures, each starting with
// the tag FF FF FF FF, so predicted pictures meet a real reference.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "quenda.h"

namespace {

constexpr size_t kMaxPictures = 8;
const uint8_t kTag[4] = {0xFF, 0xFF, 0xFF, 0xFF};

std::vector<std::vector<uint8_t>> SplitPictures(const uint8_t* data, size_t size) {
  std::vector<size_t> starts = {0};
  for (size_t i = 4; i + 4 <= size && starts.size() < kMaxPictures; ++i)
    if (std::memcmp(data + i, kTag, 4) == 0 && i >= starts.back() + 8) starts.push_back(i);
  std::vector<std::vector<uint8_t>> pictures;
  for (size_t k = 0; k < starts.size(); ++k) {
    const size_t end = k + 1 < starts.size() ? starts[k + 1] : size;
    pictures.emplace_back(data + starts[k], data + end);
  }
  return pictures;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<uint8_t> rgb(320 * 240 * 4);
  if (Decoder_Init() != 0) return 0;
  // Output format and post-processing mask vary with the input.
  const int32_t formats[4] = {32, 24, 16, 0};
  const int32_t mode = int32_t((size & 0xF) << 16) + formats[(size >> 4) & 3];
  for (std::vector<uint8_t>& picture : SplitPictures(data, size)) {
    for (size_t i = 0; i < 4 && i < picture.size(); ++i) picture[i] = 0xFF;
    DecoderSetInputSize(uint32_t(picture.size()));
    DecoderFrame(picture.data(), mode, rgb.data());
  }
  ReDisplay(rgb.data(), 24);
  DecoderClose();
  return 0;
}
