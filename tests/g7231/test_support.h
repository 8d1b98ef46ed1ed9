// Shared helpers of the speech decoder tests: reference files and framing.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace g7231_test {

inline std::string VectorPath(const std::string& name) {
  return std::string(VELMORA_REFERENCE_DIR) + "/g7231/vectors/" + name;
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::vector<int16_t> ReadPcm(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFile(path);
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return samples;
}

// Zero-padded 24-byte frames of a .f24 or .tco stream.
inline std::vector<std::vector<uint8_t>> SplitFrames(const std::vector<uint8_t>& data, bool tco) {
  static constexpr size_t kTcoLength[4] = {24, 20, 4, 1};
  std::vector<std::vector<uint8_t>> frames;
  size_t pos = 0;
  while (pos < data.size()) {
    const size_t length = tco ? kTcoLength[data[pos] & 3] : 24;
    if (pos + length > data.size()) break;
    std::vector<uint8_t> frame(24, 0);
    std::copy(data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos + length), frame.begin());
    frames.push_back(std::move(frame));
    pos += length;
  }
  return frames;
}

}  // namespace g7231_test
