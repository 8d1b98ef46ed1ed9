// Camera pictures from the reference streams, and the expected colours of
// the reference pictures by the decoder's own integer conversion formula.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "video_test_support.h"

namespace video_test {

// The pictures of NAME.frames as VideoFrame messages, timestamps one tick
// apart; I pictures are key frames, P pictures droppable.
inline std::vector<std::vector<uint8_t>> LoadFrames(const std::string& name, size_t count) {
  std::ifstream in(std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/" + name + ".frames", std::ios::binary);
  std::vector<std::vector<uint8_t>> frames;
  while (frames.size() < count) {
    uint8_t len[4];
    if (!in.read(reinterpret_cast<char*>(len), 4)) break;
    const uint32_t n = uint32_t(len[0]) | uint32_t(len[1]) << 8 | uint32_t(len[2]) << 16 | uint32_t(len[3]) << 24;
    std::vector<uint8_t> record(n);
    if (n < 9 || !in.read(reinterpret_cast<char*>(record.data()), n)) break;
    const int codingType = record[8] >> 6;  // after FF FF FF FF 00 00 01 B6
    std::vector<uint8_t> vop(record.begin() + 4, record.end());
    frames.push_back(MakeFrame(uint32_t(frames.size()), codingType == 0 ? kKey : kDroppable, vop));
  }
  return frames;
}

// 0x00RRGGBB of every pixel of picture `index` of NAME.first10.yuv.
inline std::vector<uint32_t> ReferencePicture(const std::string& name, int index) {
  constexpr int W = 320, H = 240, kSize = W * H * 3 / 2;
  std::ifstream in(std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/" + name + ".first10.yuv", std::ios::binary);
  std::vector<uint8_t> yuv(kSize);
  in.seekg(std::streamoff(index) * kSize);
  if (!in.read(reinterpret_cast<char*>(yuv.data()), kSize)) return {};
  auto h = [](int x, int c) { return (x * c) >> 13; };  // floor(x * c / 8192)
  auto clamp = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
  std::vector<uint32_t> rgb(size_t(W) * H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const int Y = yuv[size_t(y * W + x)];
      const int U = yuv[size_t(W * H + (y / 2) * (W / 2) + x / 2)] - 128;
      const int V = yuv[size_t(W * H + W * H / 4 + (y / 2) * (W / 2) + x / 2)] - 128;
      const int l = h(Y > 16 ? Y - 16 : 0, 9576);
      const int r = clamp(l + h(V, 13123));
      const int g = clamp(l + (h(U, -3218) + h(V, -6686)));
      const int b = clamp(l + h(U, 16591));
      rgb[size_t(y * W + x)] = uint32_t(r << 16 | g << 8 | b);
    }
  return rgb;
}

}  // namespace video_test
