// Writes the control's type library image to a file; the build embeds it in
// libvelmora.so and places it beside the library as libvelmora.tlb.
#include <cstdio>
#include <fstream>

#include "control/typelib_build.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.tlb\n", argv[0]);
    return 2;
  }
  std::vector<uint8_t> image = platform::typelib::Serialize(control::BuildVelmoraTypeLib());
  if (image.empty()) {
    std::fprintf(stderr, "the type library exceeds the format's limits\n");
    return 1;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
