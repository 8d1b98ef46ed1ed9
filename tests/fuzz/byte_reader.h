// A fuzz input read front to back; past its end every byte reads 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

struct ByteReader {
  const uint8_t* p;
  size_t n;
  uint8_t Byte() {
    if (!n) return 0;
    --n;
    return *p++;
  }
};

}  // namespace fuzz
