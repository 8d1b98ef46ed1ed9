// What a C host cannot build itself in a test: a control object around the
// test form, and a report made from another thread as an engine thread does.
#include <thread>

#include "test_form.h"

extern "C" void* velmora_test_create_control(void) {
  control::IVelmoraX* x = control::CreateVelmoraX(std::make_unique<control_test::TestForm>(false));
  return x;
}

extern "C" void velmora_test_report_from_thread(void* object, int number, const char* text) {
  auto* x = static_cast<control::TVelmoraXImpl*>(static_cast<control::IVelmoraX*>(object));
  std::thread([x, number, text] { x->PassMessage(static_cast<uint32_t>(number), text); }).join();
}
