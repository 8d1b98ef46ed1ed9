// Helpers shared by quenda-decode and the decoder's tests: reading `.frames`
// captures, hashing a caller frame store's picture, and a small look at a
// picture header to know whether a call produced a new picture.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quenda_tools {

inline constexpr int kWidth = 320;
inline constexpr int kHeight = 240;

// Records of a `.frames` file: 32-bit little-endian length, then the payload.
// Returns false when the file cannot be read or a record is truncated.
bool ReadFramesFile(const std::string& path, std::vector<std::vector<uint8_t>>& pictures);

// The per-picture MD5s of a `.framemd5` file, in order; empty when unreadable.
std::vector<std::string> ReadFrameMd5s(const std::string& path);

// The 320 x 240 picture of a caller frame store as planar YUV 4:2:0, no borders.
std::vector<uint8_t> PlanarPicture(const uint8_t* store);
std::string PlanarMd5(const uint8_t* store);

// First picture header of a payload: -1 when there is none, otherwise
// vop_coded (0 or 1); the coding type goes to *codingType.
int PictureCoded(const std::vector<uint8_t>& payload, int* codingType);

struct DecodedPicture {
  int index;
  int codingType;
  const uint8_t* store;
};

// A capture's pictures through the library's exports (DecoderOnly) into the
// caller's two stores, one at a time in order. The library holds one decoder:
// one of these at a time.
class CaptureDecoder {
 public:
  CaptureDecoder();
  ~CaptureDecoder();
  CaptureDecoder(const CaptureDecoder&) = delete;
  CaptureDecoder& operator=(const CaptureDecoder&) = delete;
  bool ok() const { return ok_; }  // false when the decoder cannot be initialised
  // The picture's index, coding type and the store holding the picture to show.
  DecodedPicture Decode(int index, const std::vector<uint8_t>& picture);

 private:
  bool ok_ = false;
  std::vector<uint8_t> a_, b_, payload_;
  uint8_t* ref_ = nullptr;
  uint8_t* cur_ = nullptr;
};

// Decodes a whole capture with a CaptureDecoder, calling onPicture for each
// picture. Returns false when the decoder cannot be initialised.
bool DecodeCapture(const std::vector<std::vector<uint8_t>>& pictures,
                   const std::function<void(const DecodedPicture&)>& onPicture);

}  // namespace quenda_tools
