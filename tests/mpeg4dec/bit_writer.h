// Builds bit strings for the decoder's stage tests, most significant bit first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vlc_tables.h"

namespace quenda_test {

class BitWriter {
 public:
  BitWriter& Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) PutBit((value >> i) & 1);
    return *this;
  }
  BitWriter& PutBit(int bit) {
    if (count_ % 8 == 0) bytes_.push_back(0);
    if (bit) bytes_.back() |= uint8_t(0x80 >> (count_ % 8));
    ++count_;
    return *this;
  }
  // A code given as a string of '0' and '1'.
  BitWriter& Code(const std::string& bits) {
    for (char c : bits) PutBit(c == '1');
    return *this;
  }
  BitWriter& Raw(const quenda::RawCode& c) { return Put(c.bits, c.length); }
  // Pads with `fill` bits to a byte boundary, then appends bytes of `fill`.
  std::vector<uint8_t> Bytes(int extraBytes = 8, int fill = 0) {
    std::vector<uint8_t> out = bytes_;
    if (count_ % 8 && fill) out.back() |= uint8_t(0xFF >> (count_ % 8));
    out.insert(out.end(), size_t(extraBytes), uint8_t(fill ? 0xFF : 0));
    return out;
  }
  size_t BitCount() const { return count_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t count_ = 0;
};

// The code of a table entry with the given values (a, b, c as in RawCode).
template <size_t N>
const quenda::RawCode& FindCode(const quenda::RawCode (&codes)[N], int a, int b = 0, int c = 0) {
  for (const quenda::RawCode& code : codes)
    if (code.a == a && code.b == b && code.c == c) return code;
  static const quenda::RawCode none{0, 0, 0, 0, 0};
  return none;
}

}  // namespace quenda_test
