// Test helper: sets the checksum of a type library image of at least the
// 16-byte header (CRC-32 of everything after the header, in bytes 12..15),
// so an image changed on purpose reaches the checks behind the checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testing_support {

inline void SetTypeLibChecksum(std::vector<uint8_t>& image) {
  uint32_t crc = 0xFFFFFFFFu;
  for (auto byte = image.begin() + 16; byte < image.end(); ++byte) {
    crc ^= *byte;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  crc ^= 0xFFFFFFFFu;
  for (int i = 0; i < 4; ++i) image[12 + i] = uint8_t(crc >> (8 * i));
}

}  // namespace testing_support
