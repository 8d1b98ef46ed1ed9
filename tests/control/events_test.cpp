// Events and message delivery: sinks on the connection point, the queue
// delivered on the apartment thread, the console lines, form events, and
// the control live against the camera simulator.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "platform/console.h"
#include "test_form.h"
#include "tools/camsim/camsim.h"
#include "tests/support/wait.h"

namespace control_test {
namespace {

struct Control {
  explicit Control(bool threads = false, int32_t instance = 3) {
    auto f = std::make_unique<TestForm>(threads, instance);
    form = f.get();
    x = control::CreateVelmoraX(std::move(f));
  }
  ~Control() {
    if (x) x->Release();
  }
  void Release() {
    x->Release();
    x = nullptr;
  }
  TestForm* form = nullptr;
  control::TVelmoraXImpl* x = nullptr;
};

TEST(Sinks, PlacesLimitsAndRefusals) {
  Sink sinks[6];
  Control c;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Advise(c.x, &sinks[i]), static_cast<DWORD>(i + 1));
  HRESULT hr = S_OK;
  EXPECT_EQ(Advise(c.x, &sinks[5], &hr), 0u);
  EXPECT_EQ(hr, CONNECT_E_ADVISELIMIT);
  EXPECT_EQ(sinks[5].refs, 1u) << "a refused sink keeps no reference";
  Sink plain;
  plain.answersEvents = false;
  Advise(c.x, &plain, &hr);
  EXPECT_EQ(hr, CONNECT_E_CANNOTCONNECT);

  // Advise takes the lowest free place.
  IConnectionPointContainer* cpc = nullptr;
  c.x->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
  IConnectionPoint* cp = nullptr;
  cpc->FindConnectionPoint(control::DIID_IVelmoraXEvents, &cp);
  EXPECT_EQ(cp->Unadvise(2), S_OK);
  EXPECT_EQ(cp->Unadvise(2), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(Advise(c.x, &sinks[5]), 2u);
  IID iid;
  cp->GetConnectionInterface(&iid);
  EXPECT_EQ(iid, control::DIID_IVelmoraXEvents);
  IConnectionPoint* none = nullptr;
  EXPECT_EQ(cpc->FindConnectionPoint(IID_IDispatch, &none), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(none, nullptr);
  cp->Release();
  cpc->Release();
}

TEST(Sinks, BothPointsEnumeratedWithTheUsualResults) {
  Control c;
  IConnectionPointContainer* cpc = nullptr;
  c.x->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
  EXPECT_EQ(cpc->EnumConnectionPoints(nullptr), E_POINTER);
  IEnumConnectionPoints* e = nullptr;
  ASSERT_EQ(cpc->EnumConnectionPoints(&e), S_OK);
  IConnectionPoint* got[3] = {};
  ULONG fetched = 9;
  EXPECT_EQ(e->Next(2, got, nullptr), E_POINTER);
  EXPECT_EQ(e->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  IID first, second;
  got[0]->GetConnectionInterface(&first);
  got[1]->GetConnectionInterface(&second);
  EXPECT_EQ(first, control::DIID_IVelmoraXEvents);
  EXPECT_EQ(second, IID_IPropertyNotifySink);
  got[0]->Release();
  got[1]->Release();
  EXPECT_EQ(e->Next(1, got, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(e->Reset(), S_OK);
  EXPECT_EQ(e->Skip(1), S_OK);
  IEnumConnectionPoints* clone = nullptr;
  EXPECT_EQ(e->Clone(nullptr), E_POINTER);
  ASSERT_EQ(e->Clone(&clone), S_OK);
  EXPECT_EQ(e->Skip(2), S_FALSE);
  ASSERT_EQ(clone->Next(1, got, nullptr), S_OK) << "a clone starts where its original stood";
  got[0]->GetConnectionInterface(&first);
  EXPECT_EQ(first, IID_IPropertyNotifySink);
  got[0]->Release();
  e->Release();
  clone->Release();
  cpc->Release();
  EXPECT_EQ(c.x->AddRef(), 2u) << "every reference taken was given back";
  c.x->Release();
}

TEST(Delivery, QueuedFromAnyThreadDeliveredInOrderOnTheApartment) {
  std::vector<std::pair<int, int32_t>> log;
  Sink a, b;
  Control c;
  a.onInvoke = [&](DISPID id, DISPPARAMS* p) { if (id == control::kOnPassMessage) log.push_back({0, p->rgvarg[1].lVal}); };
  b.onInvoke = [&](DISPID id, DISPPARAMS* p) { if (id == control::kOnPassMessage) log.push_back({1, p->rgvarg[1].lVal}); };
  Advise(c.x, &a);
  Advise(c.x, &b);
  std::thread reporter([&] {
    for (int i = 0; i < 100; ++i) c.x->PassMessage(static_cast<uint32_t>(i), "m");
  });
  reporter.join();
  EXPECT_TRUE(a.events.empty()) << "nothing runs on the reporting thread";
  ASSERT_TRUE(PumpUntil([&] { return b.events.size() == 100; }));
  for (size_t i = 0; i < 100; ++i) {
    EXPECT_EQ(log[2 * i], std::make_pair(0, static_cast<int32_t>(i)));
    EXPECT_EQ(log[2 * i + 1], std::make_pair(1, static_cast<int32_t>(i)));
  }
  // 255 is a console line only.
  c.x->PassMessage(255, "trace");
  c.x->PassMessage(254, "last");
  ASSERT_TRUE(PumpUntil([&] { return b.events.size() == 101; }));
  EXPECT_EQ(b.events.back().number, 254);
  EXPECT_EQ(b.events.back().text, u"last");
}

TEST(Delivery, FailingSinkAndUnadviseDuringDelivery) {
  Sink first, second, third;
  Control c;
  first.onInvoke = [](DISPID, DISPPARAMS*) { throw std::runtime_error("sink failed"); };
  Advise(c.x, &first);
  Advise(c.x, &second);
  const DWORD thirdCookie = Advise(c.x, &third);
  // The second sink unadvises the third while a message is being delivered.
  second.onInvoke = [&](DISPID, DISPPARAMS*) {
    IConnectionPointContainer* cpc = nullptr;
    c.x->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
    IConnectionPoint* cp = nullptr;
    cpc->FindConnectionPoint(control::DIID_IVelmoraXEvents, &cp);
    cp->Unadvise(thirdCookie);
    cp->Release();
    cpc->Release();
  };
  c.x->PassMessage(16, "a");
  c.x->PassMessage(17, "b");
  ASSERT_TRUE(PumpUntil([&] { return second.events.size() == 2; }));
  EXPECT_EQ(first.events.size(), 2u);
  EXPECT_TRUE(third.events.empty());
  EXPECT_EQ(third.refs, 1u);
}

TEST(Delivery, ReleaseDeliversTheQueueThenOnDestroyOnceThenNothing) {
  Sink sink;
  Control c;
  Advise(c.x, &sink);
  c.x->PassMessage(16, "one");
  c.x->PassMessage(17, "two");
  TestForm* form = c.form;
  c.Release();
  ASSERT_EQ(sink.events.size(), 3u);
  EXPECT_EQ(sink.events[0].number, 16);
  EXPECT_EQ(sink.events[1].number, 17);
  EXPECT_EQ(sink.events[2].id, control::kOnDestroy);
  EXPECT_EQ(sink.refs, 1u) << "sinks still advised are released";
  (void)form;
  VelmoraPumpMessages(10);
  EXPECT_EQ(sink.events.size(), 3u);
}

TEST(Delivery, ASinkThatReleasesTheControlLetsEverySinkSeeTheSameSequence) {
  Sink first, second;
  Control c;
  Advise(c.x, &first);
  Advise(c.x, &second);
  first.onInvoke = [&](DISPID id, DISPPARAMS* p) {
    if (id == control::kOnPassMessage && p->rgvarg[1].lVal == 97) c.Release();
  };
  c.x->PassMessage(97, "changed videnable(1->0)");
  c.x->PassMessage(100, "changed localvideo(0->1)");
  ASSERT_TRUE(PumpUntil([&] { return c.x == nullptr && !second.events.empty() &&
                                     second.events.back().id == control::kOnDestroy; }));
  for (Sink* s : {&first, &second}) {
    ASSERT_EQ(s->events.size(), 3u);
    EXPECT_EQ(s->events[0].number, 97);
    EXPECT_EQ(s->events[1].number, 100);
    EXPECT_EQ(s->events[2].id, control::kOnDestroy);
    EXPECT_EQ(s->refs, 1u);
  }
}

TEST(Delivery, AFullQueueOfChangesDropsTheOldestCameraTextsAndCounts) {
  Sink sink;
  Control c;
  Advise(c.x, &sink);
  const size_t limit = control::TVelmoraXImpl::kQueueLimit;
  c.x->PassMessage(16, "vid:connected");
  for (size_t i = 1; i < limit; ++i) c.x->PassMessage(240, std::to_string(i).c_str());
  c.x->PassMessage(48, "Get SIO 0");  // raised again while bytes wait: worth least
  c.x->PassMessage(18, "vid:error(10054)");
  EXPECT_EQ(c.x->DroppedMessages(), 2u);
  ASSERT_TRUE(PumpUntil([&] { return sink.events.size() == limit; }));
  EXPECT_EQ(sink.events.front().number, 16);
  EXPECT_EQ(sink.events[1].text, u"2");
  EXPECT_EQ(sink.events.back().number, 18);
}

TEST(FormEvents, ForwardedOnTheHostThreadWithTheKeyRoundTrip) {
  Sink sink;
  Control c;
  Advise(c.x, &sink);
  sink.onInvoke = [](DISPID id, DISPPARAMS* p) {
    if (id == control::kOnKeyPress && *p->rgvarg[0].piVal == 'q') *p->rgvarg[0].piVal = 0;
  };
  control::FormEvents& e = c.form->events;
  e.onActivate();
  e.onClick();
  e.onDblClick();
  e.onDeactivate();
  e.onPaint();
  char key = static_cast<char>(0xE9);
  e.onKeyPress(key);
  EXPECT_EQ(key, static_cast<char>(0xE9));
  char q = 'q';
  e.onKeyPress(q);
  EXPECT_EQ(q, 0);
  ASSERT_EQ(sink.events.size(), 7u);
  const DISPID order[] = {control::kOnActivate, control::kOnClick, control::kOnDblClick, control::kOnDeactivate,
                          control::kOnPaint, control::kOnKeyPress, control::kOnKeyPress};
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(sink.events[i].id, order[i]);
  EXPECT_EQ(sink.events[5].number, -23);
  for (auto& ev : sink.events) EXPECT_NE(ev.id, control::kOnCreate);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Sends the debug console to a new temporary file; returns its path.
std::string ConsoleToNewFile() {
  char path[] = "/tmp/velmora-console-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return {};
  close(fd);
  setenv("VELMORA_CONSOLE", path, 1);
  return path;
}

TEST(Console, OneLinePerMessageWithTheInstanceNumber) {
  const std::string path = ConsoleToNewFile();
  ASSERT_FALSE(path.empty());
  {
    Control three(false, 3), wide(false, 123);
    three.x->PassMessage(16, "closed console");
    ASSERT_TRUE(platform::OpenDebugConsole());
    three.x->PassMessage(16, "vid:connected");
    wide.x->PassMessage(255, "#####trace");
    platform::CloseDebugConsole();
    three.x->PassMessage(17, "after");
  }
  unsetenv("VELMORA_CONSOLE");
  EXPECT_EQ(ReadFile(path), "03-vid:connected\r\n123-#####trace\r\n");
  unlink(path.c_str());
}

// ---- Live against the camera simulator ----------------------------------------

camsim::SimConfig QuietCamera() {
  camsim::SimConfig c;
  c.video.enabled = false;
  c.audio.kind = camsim::AudioKind::None;
  return c;
}

struct LiveControl {
  LiveControl() : cam(QuietCamera()), control(true) {
    started = cam.Start();
    PutText(control.x, u"ipaddr", u"127.0.0.1");
    PutI4(control.x, u"port", cam.port());
    // One shared log: (place, number).
    for (int i = 0; i < 2; ++i) {
      sinks[i].onInvoke = [this, i](DISPID id, DISPPARAMS* p) {
        if (id == control::kOnPassMessage) log.push_back({i, p->rgvarg[1].lVal});
      };
      Advise(control.x, &sinks[i]);
    }
  }
  ~LiveControl() { control.Release(); }
  // Numbers that reached place 0, in order.
  std::vector<int32_t> Seen(int place) const {
    std::vector<int32_t> out;
    for (auto& [p, n] : log)
      if (p == place) out.push_back(n);
    return out;
  }
  bool Connect() {
    int32_t ignored = 0;
    Call(control.x, u"ConnectWebcam", {OutI4(&ignored)});
    return PumpUntil([&] { return sinks[1].Has(16) && sinks[1].Has(19) && sinks[1].Has(32); });
  }

  camsim::CameraSimulator cam;
  bool started = false;
  Control control;
  Sink sinks[2];
  std::vector<std::pair<int, int32_t>> log;
};

TEST(Live, ConnectReachesBothSinksInOneOrderLowerPlaceFirst) {
  LiveControl t;
  ASSERT_TRUE(t.started);
  ASSERT_TRUE(t.Connect());
  const auto first = t.Seen(0);
  EXPECT_EQ(first, t.Seen(1));
  for (size_t i = 0; i + 1 < t.log.size(); i += 2) {
    EXPECT_EQ(t.log[i].first, 0);
    EXPECT_EQ(t.log[i + 1].first, 1);
    EXPECT_EQ(t.log[i].second, t.log[i + 1].second);
  }
  EXPECT_EQ(GetI4(t.control.x, u"port"), static_cast<int16_t>(t.cam.port()));
}

TEST(Live, SerialLoopbackReadFromInsideTheSinkAndGpio) {
  LiveControl t;
  ASSERT_TRUE(t.started);
  ASSERT_TRUE(t.Connect());
  ASSERT_TRUE(PumpUntil([&] { return GetI4(t.control.x, u"vidconnected") == 1; }));
  std::vector<uint8_t> received;
  t.sinks[0].onInvoke = [&](DISPID id, DISPPARAMS* p) {
    if (id != control::kOnPassMessage || p->rgvarg[1].lVal != 48) return;
    uint8_t buf[254];
    int32_t length = 0;
    t.control.x->GetSIOData(0, reinterpret_cast<intptr_t>(buf), &length);
    received.insert(received.end(), buf, buf + length);
  };
  const uint8_t bytes[] = {'h', 'e', 'l', 'l', 'o'};
  ASSERT_EQ(t.control.x->PutSIOData(0, reinterpret_cast<intptr_t>(bytes), 5), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return received.size() >= 5; }));
  EXPECT_EQ(std::string(received.begin(), received.end()), "hello");

  ASSERT_EQ(t.control.x->PutGPIOValue(1), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return t.sinks[1].Has(64); }));

  const size_t before = t.sinks[1].events.size();
  ASSERT_EQ(t.control.x->DisconnectWebcam(), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return t.sinks[1].Has(17); }));
  std::vector<int32_t> after;
  for (size_t i = before; i < t.sinks[1].events.size(); ++i) after.push_back(t.sinks[1].events[i].number);
  auto at = [&](int32_t n) { return std::find(after.begin(), after.end(), n) - after.begin(); };
  EXPECT_LT(at(20), at(17));
}

// Waits for done() without pumping, as a host whose thread is busy elsewhere.
bool StallUntil(const std::function<bool()>& done, int timeoutMs) {
  return testing_support::WaitUntil(done, timeoutMs, 5);
}

TEST(Live, AStalledHostLosesOnlyRepeatsAndGetsEveryChangeInOrder) {
  const std::string path = ConsoleToNewFile();
  ASSERT_FALSE(path.empty());
  LiveControl t;
  ASSERT_TRUE(t.started);
  ASSERT_TRUE(t.Connect());
  ASSERT_TRUE(platform::OpenDebugConsole());
  auto logged = [&](const char* text) { return ReadFile(path).find(text) != std::string::npos; };
  // Serial bytes nobody reads: the link raises 48 and 49 on every pass.
  ASSERT_EQ(t.cam.SendSerialData(0, {'x'}), 1);
  ASSERT_EQ(t.cam.SendSerialData(1, {'y'}), 1);
  const size_t before = t.sinks[1].events.size();
  ASSERT_TRUE(StallUntil([&] { return t.control.x->DroppedMessages() > 0; }, 120000));
  t.cam.SendCameraText("before the reset");
  ASSERT_TRUE(StallUntil([&] { return logged("before the reset"); }, 10000));
  t.cam.Close(camsim::CloseKind::Reset);
  ASSERT_TRUE(StallUntil([&] { return logged("vid:error"); }, 10000));
  ASSERT_TRUE(PumpUntil([&] { return t.sinks[1].Has(18); }));
  platform::CloseDebugConsole();
  unsetenv("VELMORA_CONSOLE");

  std::vector<int32_t> changes;
  for (size_t i = before; i < t.sinks[1].events.size(); ++i)
    if (t.sinks[1].events[i].number != 48 && t.sinks[1].events[i].number != 49)
      changes.push_back(t.sinks[1].events[i].number);
  EXPECT_EQ(changes, (std::vector<int32_t>{240, 18}));
  EXPECT_EQ(t.Seen(0), t.Seen(1));
  EXPECT_TRUE(logged("queued messages dropped"));
  std::printf("stalled host: %zu messages delivered, %llu dropped\n", t.sinks[1].events.size(),
              static_cast<unsigned long long>(t.control.x->DroppedMessages()));
  unlink(path.c_str());
}

}  // namespace
}  // namespace control_test
