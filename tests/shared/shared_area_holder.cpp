// Test helper: attaches to the shared talk area ("viewer" or "server"),
// optionally stores a heartbeat value, prints "attached <count before>" and
// holds the area until stdin closes.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "shared/shared_area.h"

int main(int argc, char** argv) {
  const bool viewer = argc > 1 && std::strcmp(argv[1], "server") != 0;
  std::string error;
  auto att = SharedAreaAttachment::Attach(viewer ? SharedAreaAttachment::Role::Viewer : SharedAreaAttachment::Role::Server, &error);
  if (!att) {
    std::printf("error %s\n", error.c_str());
    return 1;
  }
  if (argc > 2) std::atomic_ref<uint16_t>(att->area()->heartbeat).store(uint16_t(std::atoi(argv[2])));
  std::printf("attached %d\n", att->viewerCountBefore());
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
}
