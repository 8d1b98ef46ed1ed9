// What a C host cannot build itself in a test: a control object around the
// test form, a report made from another thread as an engine thread does, and
// input on the control's headless window.
#include <thread>

#include "platform/draw_headless.h"
#include "test_form.h"

extern "C" void* velmora_test_create_control(void) {
  control::IVelmoraX* x = control::CreateVelmoraX(std::make_unique<control_test::TestForm>(false));
  return x;
}

extern "C" void velmora_test_report_from_thread(void* object, int number, const char* text) {
  auto* x = static_cast<control::TVelmoraXImpl*>(static_cast<control::IVelmoraX*>(object));
  std::thread([x, number, text] { x->PassMessage(static_cast<uint32_t>(number), text); }).join();
}

// A double click on the control's headless window, read at the next pump.
extern "C" void velmora_test_double_click(IUnknown* unknown) {
  control::IVelmoraX* x = nullptr;
  if (FAILED(unknown->QueryInterface(control::IID_IVelmoraX, reinterpret_cast<void**>(&x)))) return;
  auto* window = dynamic_cast<platform::HeadlessWindow*>(static_cast<control::TVelmoraXImpl*>(x)->Form()->FormWindow());
  using Kind = platform::FormEvent::Kind;
  for (auto [kind, ms] : {std::pair{Kind::MouseDown, 1000u}, {Kind::MouseUp, 1050u}, {Kind::MouseDown, 1200u}})
    if (window) window->Inject({.kind = kind, .x = 10, .y = 10, .timeMs = ms});
  x->Release();
}
