// MD5 (RFC 1321), for checking decoded pictures against their expected hashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quenda_tools {

class Md5 {
 public:
  Md5();
  void Update(const uint8_t* data, size_t size);
  // Lower-case hex digest; the object is spent afterwards.
  std::string HexDigest();

 private:
  void Block(const uint8_t* p);
  uint32_t state_[4];
  uint64_t length_ = 0;
  uint8_t buffer_[64];
  size_t buffered_ = 0;
};

}  // namespace quenda_tools
