// quenda-decode: decodes a `.frames` capture through the Quenda library and
// prints one line per picture with the MD5 of its planar YUV 4:2:0 picture,
// in the `.framemd5` layout; -o writes the pictures as raw planar YUV.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "frames.h"
#include "md5.h"

namespace {

// On stdout with exit 0 when asked for (--help), else on stderr with 2.
int Usage(bool asked = false) {
  std::fprintf(asked ? stdout : stderr, "usage: quenda-decode [-o FILE.yuv] FILE.frames\n");
  return asked ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string input, yuvPath;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
      yuvPath = argv[++i];
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      return Usage(true);
    } else if (argv[i][0] == '-') {
      return Usage();
    } else if (input.empty()) {
      input = argv[i];
    } else {
      return Usage();
    }
  }
  if (input.empty()) return Usage();

  std::vector<std::vector<uint8_t>> pictures;
  if (!quenda_tools::ReadFramesFile(input, pictures)) {
    std::fprintf(stderr, "quenda-decode: cannot read %s\n", input.c_str());
    return 1;
  }
  FILE* yuv = nullptr;
  if (!yuvPath.empty() && !(yuv = std::fopen(yuvPath.c_str(), "wb"))) {
    std::fprintf(stderr, "quenda-decode: cannot write %s\n", yuvPath.c_str());
    return 1;
  }
  bool writeFailed = false;
  const bool ok = quenda_tools::DecodeCapture(pictures, [&](const quenda_tools::DecodedPicture& p) {
    const std::vector<uint8_t> planar = quenda_tools::PlanarPicture(p.store);
    quenda_tools::Md5 md5;
    md5.Update(planar.data(), planar.size());
    std::printf("0, %10d, %10d, %8d, %8zu, %s\n", p.index, p.index, 1, planar.size(), md5.HexDigest().c_str());
    if (yuv && std::fwrite(planar.data(), 1, planar.size(), yuv) != planar.size()) writeFailed = true;
  });
  if (yuv && std::fclose(yuv) != 0) writeFailed = true;
  if (!ok) {
    std::fprintf(stderr, "quenda-decode: decoder initialisation failed\n");
    return 1;
  }
  if (writeFailed) {
    std::fprintf(stderr, "quenda-decode: writing %s failed\n", yuvPath.c_str());
    return 1;
  }
  return 0;
}
