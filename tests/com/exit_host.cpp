// A host that returns from main with its control alive: it creates the
// registered control, connects it to the camera on the port given, waits until
// both connections are up and the login is answered, and leaves without
// releasing it, so the engine's threads still run while the process exits.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/message_queue.h"
#include "tests/com/registered_control.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  com_test::RegisteredControl created;
  std::string why;
  if (!com_test::CreateRegisteredControl(&created, &why)) {
    std::fprintf(stderr, "exit_host: %s\n", why.c_str());
    return 3;
  }
  IDispatch* control = created.control;
  if (FAILED(com_test::ConnectTo(control, u"127.0.0.1", std::atoi(argv[1])))) return 4;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!(com_test::GetI4(control, u"vidconnected") && com_test::GetI4(control, u"audconnected") &&
           com_test::GetI4(control, u"lumoid"))) {
    if (std::chrono::steady_clock::now() > deadline) return 5;
    VelmoraPumpMessages(20);
  }
  return 0;
}
