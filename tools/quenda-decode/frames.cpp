#include "frames.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

#include "frame_store.h"
#include "md5.h"
#include "quenda.h"

namespace quenda_tools {

bool ReadFramesFile(const std::string& path, std::vector<std::vector<uint8_t>>& pictures) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 4) return false;
    const uint32_t n = uint32_t(bytes[pos]) | uint32_t(bytes[pos + 1]) << 8 | uint32_t(bytes[pos + 2]) << 16 |
                       uint32_t(bytes[pos + 3]) << 24;
    pos += 4;
    if (bytes.size() - pos < n) return false;
    pictures.emplace_back(bytes.begin() + long(pos), bytes.begin() + long(pos + n));
    pos += n;
  }
  return true;
}

std::vector<std::string> ReadFrameMd5s(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> md5s;
  for (std::string line; std::getline(in, line);) {
    const size_t comma = line.rfind(',');
    if (!line.empty() && line[0] != '#' && comma != std::string::npos) md5s.push_back(line.substr(comma + 2));
  }
  return md5s;
}

std::vector<uint8_t> PlanarPicture(const uint8_t* store) {
  std::vector<uint8_t> out;
  out.reserve(kWidth * kHeight * 3 / 2);
  const int ls = quenda::LumaStride(kWidth), cs = quenda::ChromaStride(kWidth);
  const uint8_t* planes[3] = {store + quenda::CallerStoreLumaOrigin(kWidth),
                              store + quenda::CallerStoreUOrigin(kWidth, kHeight),
                              store + quenda::CallerStoreVOrigin(kWidth, kHeight)};
  for (int p = 0; p < 3; ++p) {
    const int w = p ? kWidth / 2 : kWidth, h = p ? kHeight / 2 : kHeight, stride = p ? cs : ls;
    for (int y = 0; y < h; ++y) out.insert(out.end(), planes[p] + y * stride, planes[p] + y * stride + w);
  }
  return out;
}

std::string PlanarMd5(const uint8_t* store) {
  const std::vector<uint8_t> picture = PlanarPicture(store);
  Md5 md5;
  md5.Update(picture.data(), picture.size());
  return md5.HexDigest();
}

int PictureCoded(const std::vector<uint8_t>& payload, int* codingType) {
  for (size_t i = 0; i + 6 <= payload.size(); ++i) {
    if (payload[i] || payload[i + 1] || payload[i + 2] != 1) continue;
    if (payload[i + 3] != 0xB6) return -1;
    size_t bit = (i + 4) * 8;
    auto next = [&]() -> int {
      if (bit / 8 >= payload.size()) return 1;
      const int b = (payload[bit / 8] >> (7 - bit % 8)) & 1;
      ++bit;
      return b;
    };
    const int type = next() << 1 | next();
    if (codingType) *codingType = type;
    while (next() && bit < payload.size() * 8) {
    }
    next();                                // marker
    for (int k = 0; k < 5; ++k) next();    // vop_time_increment
    next();                                // marker
    return next();
  }
  return -1;
}

CaptureDecoder::CaptureDecoder() {
  if (Decoder_Init() != 0) return;
  ok_ = true;
  const size_t storeBytes = quenda::CallerStoreBytes(kWidth, kHeight);
  a_.resize(storeBytes);
  b_.resize(storeBytes);
  ref_ = a_.data();
  cur_ = b_.data();
}

CaptureDecoder::~CaptureDecoder() {
  if (ok_) DecoderClose();
}

DecodedPicture CaptureDecoder::Decode(int index, const std::vector<uint8_t>& picture) {
  payload_ = picture;
  // The camera's frame tag is overwritten with 0xFF before decoding.
  for (size_t k = 0; k < 4 && k < payload_.size(); ++k) payload_[k] = 0xFF;
  int type = 0;
  const int coded = PictureCoded(payload_, &type);
  DecoderSetInputSize(uint32_t(payload_.size()));
  int32_t reported = 0;
  DecoderOnly(payload_.data(), ref_, cur_, &reported);
  // No new picture: the reference stands for it.
  if (coded != 1) return DecodedPicture{index, type, ref_};
  const DecodedPicture shown{index, reported, cur_};
  if (reported != 2) std::swap(ref_, cur_);
  return shown;
}

bool DecodeCapture(const std::vector<std::vector<uint8_t>>& pictures,
                   const std::function<void(const DecodedPicture&)>& onPicture) {
  CaptureDecoder decoder;
  if (!decoder.ok()) return false;
  for (size_t i = 0; i < pictures.size(); ++i) onPicture(decoder.Decode(int(i), pictures[i]));
  return true;
}

}  // namespace quenda_tools
