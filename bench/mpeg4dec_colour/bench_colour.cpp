// Colour conversion and deblocking of one 320 x 240 picture, per picture.
// The decoder takes roughly 35 us for a picture of the q5 test pattern, so
// 32-bit conversion has to stay below 7 us to add no more than a fifth on top.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "mpeg4dec/colour.h"
#include "mpeg4dec/deblock.h"

namespace {

using namespace quenda;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

struct Picture {
  std::vector<uint8_t> store = std::vector<uint8_t>(CallerStoreBytes(kWidth, kHeight));
  FramePlanes planes = CallerStorePlanes(store.data(), kWidth, kHeight);
  std::vector<uint8_t> post = std::vector<uint8_t>(PostLumaBytes(kWidth, kHeight) + 2 * PostChromaBytes(kWidth, kHeight));
  std::vector<int32_t> qp = std::vector<int32_t>(size_t(kMaxMbRows) * kQpStoreRowLength, 5);
  bool real = false;

  Picture() {
    // First picture of the q5 test-pattern stream when present, else a
    // gradient with block texture.
    std::ifstream in(std::string(VELMORA_REFERENCE_DIR) + "/mpeg4/ts_q5.first10.yuv", std::ios::binary);
    real = bool(in);
    for (int plane = 0; plane < 3; ++plane) {
      const int w = plane ? kWidth / 2 : kWidth;
      const int h = plane ? kHeight / 2 : kHeight;
      uint8_t* origin = plane == 0 ? planes.y : plane == 1 ? planes.u : planes.v;
      const int stride = plane ? planes.chromaStride : planes.lumaStride;
      for (int r = 0; r < h; ++r) {
        if (real) {
          in.read(reinterpret_cast<char*>(origin + r * stride), w);
        } else {
          for (int x = 0; x < w; ++x) origin[r * stride + x] = uint8_t(x + r + ((x / 8 + r / 8) % 2) * 6);
        }
      }
    }
  }
  FramePlanes PostPlanes() {
    uint8_t* y = post.data();
    return FramePlanes{y, y + PostLumaBytes(kWidth, kHeight),
                       y + PostLumaBytes(kWidth, kHeight) + PostChromaBytes(kWidth, kHeight), kWidth, kWidth / 2};
  }
};

Picture& SharedPicture() {
  static Picture picture;
  return picture;
}

void Convert(benchmark::State& state, const ColourKernels* kernels, int format) {
  Picture& pic = SharedPicture();
  std::vector<uint8_t> out(size_t(kWidth) * kHeight * BytesPerPixel(format));
  for (auto _ : state) {
    benchmark::DoNotOptimize(ConvertPictureWith(*kernels, pic.planes, out.data(), format, kWidth, kHeight));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

void Deblock(benchmark::State& state, const DeblockKernels* kernels, uint32_t flags) {
  Picture& pic = SharedPicture();
  const FramePlanes d = pic.PostPlanes();
  for (auto _ : state) {
    PostProcessPictureWith(*kernels, pic.planes.y, pic.planes.u, pic.planes.v, pic.planes.lumaStride, d.y, d.u, d.v,
                           kWidth, kWidth, kHeight, pic.qp.data(), kQpStoreRowLength, flags);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

// The whole output step as the decoder runs it: deblock all edges, then 32-bit.
void Render(benchmark::State& state, bool postProcessing) {
  Picture& pic = SharedPicture();
  std::vector<uint8_t> out(size_t(kWidth) * kHeight * 4);
  RenderRequest request{pic.planes, pic.PostPlanes(), postProcessing, 0x0F, pic.qp.data(), kQpStoreRowLength,
                        kWidth, kHeight};
  for (auto _ : state) {
    benchmark::DoNotOptimize(RenderPlanes(request, out.data(), kFormatRgb32));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
  const std::pair<int, const char*> formats[] = {
      {kFormatRgb32, "rgb32"}, {kFormatRgb24, "rgb24"}, {kFormatRgb24BottomUp, "rgb24_bottom_up"},
      {kFormatRgb565, "rgb565"}};
  for (const ColourKernels* k : AvailableColourKernels()) {
    for (const auto& [format, name] : formats) {
      benchmark::RegisterBenchmark((std::string("colour/") + name + "/" + k->name).c_str(), Convert, k, format);
    }
  }
  for (const DeblockKernels* k : AvailableDeblockKernels()) {
    benchmark::RegisterBenchmark((std::string("deblock/all_edges/") + k->name).c_str(), Deblock, k, 0x0Fu);
    benchmark::RegisterBenchmark((std::string("deblock/copy_only/") + k->name).c_str(), Deblock, k, 0u);
  }
  benchmark::RegisterBenchmark("render/rgb32", Render, false);
  benchmark::RegisterBenchmark("render/deblock_all_edges+rgb32", Render, true);
  benchmark::Initialize(&argc, argv);
  std::printf("picture: %s, 320x240, QP 5; items_per_second = pictures per second\n",
              SharedPicture().real ? "ts_q5 picture 0" : "synthetic");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
