// The control's costs on the host: what PassMessage costs the reporting
// thread, how many messages per second reach one sink on the apartment
// thread, how long an unconnected viewer form takes to make and destroy, and
// the host thread's CPU per second while a form streams from the camera
// simulator.
#include <benchmark/benchmark.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "control/velmora_form.h"
#include "control/velmorax_impl.h"
#include "platform/message_queue.h"
#include "shared/command_codes.h"
#include "tools/camsim/camsim.h"

namespace {

class BenchForm final : public control::ViewerForm {
 public:
  BenchForm() {
    link = std::make_unique<CNetManage>(std::make_unique<NoRecorder>(), 0);
    video = std::make_unique<CVideoMPEG4>(nullptr);
    audio = std::make_unique<CAudioG726>();
  }
  CNetManage& Link() override { return *link; }
  CVideoMPEG4& Video() override { return *video; }
  CAudioG726& Audio() override { return *audio; }
  int32_t InstanceNumber() const override { return 1; }
  control::FormProperties& Properties() override { return properties; }
  MessageClosure& PassMessage() override { return passMessage; }
  void ActiveFormDestroy() override {}

  std::unique_ptr<CNetManage> link;
  std::unique_ptr<CVideoMPEG4> video;
  std::unique_ptr<CAudioG726> audio;
  control::FormProperties properties;
  MessageClosure passMessage;
};

class CountingSink final : public IDispatch {
 public:
  std::atomic<uint64_t> count{0};
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == control::DIID_IVelmoraXEvents) {
      *ppv = this;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    count.fetch_add(1, std::memory_order_relaxed);
    return S_OK;
  }
};

void Advise(control::TVelmoraXImpl* x, IUnknown* sink) {
  IConnectionPoint* cp = nullptr;
  x->FindConnectionPoint(control::DIID_IVelmoraXEvents, &cp);
  DWORD cookie = 0;
  cp->Advise(sink, &cookie);
  cp->Release();
}

// The reporting thread's cost: format, queue, wake (the queue is drained
// between batches, outside the timing).
void BM_PassMessageOnReportingThread(benchmark::State& state) {
  setenv("VELMORA_AUDIO", "null", 1);
  auto* x = control::CreateVelmoraX(std::make_unique<BenchForm>());
  CountingSink sink;
  Advise(x, &sink);
  int batch = 0;
  for (auto _ : state) {
    x->PassMessage(16, "Video connected");
    if (++batch == 1000) {
      state.PauseTiming();
      platform::PumpMessages();
      batch = 0;
      state.ResumeTiming();
    }
  }
  platform::PumpMessages();
  x->Release();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PassMessageOnReportingThread);

// Messages per second delivered to one sink: an engine-like thread reports
// while the apartment thread pumps.
void BM_DeliveredToOneSink(benchmark::State& state) {
  setenv("VELMORA_AUDIO", "null", 1);
  auto* x = control::CreateVelmoraX(std::make_unique<BenchForm>());
  CountingSink sink;
  Advise(x, &sink);
  constexpr int kBatch = 2000;
  uint64_t delivered = 0;
  for (auto _ : state) {
    const uint64_t target = sink.count.load() + kBatch;
    std::thread reporter([x] {
      for (int i = 0; i < kBatch; ++i) x->PassMessage(48, "Get SIO 0");
    });
    while (sink.count.load() < target) VelmoraPumpMessages(1);
    reporter.join();
    delivered += kBatch;
  }
  x->Release();
  state.SetItemsProcessed(static_cast<int64_t>(delivered));
}
BENCHMARK(BM_DeliveredToOneSink)->UseRealTime();

control::FormSeams PrivateAreaNoServer() {
  setenv("VELMORA_AUDIO", "null", 1);
  setenv("VELMORA_VIDEO", "headless", 1);
  setenv("VELMORA_OSTRANE", "", 1);
  control::FormSeams s;
  s.attachArea = [](std::string*) { return std::unique_ptr<SharedAreaAttachment>(); };
  return s;
}

// Create and destroy of an unconnected form: engine objects, their threads,
// the window and the recorder, and the ordered teardown.
void BM_FormCreateDestroy(benchmark::State& state) {
  const control::FormSeams seams = PrivateAreaNoServer();
  for (auto _ : state) {
    control::TVelmoraX form(seams);
    benchmark::DoNotOptimize(form.instanceNumber);
  }
}
BENCHMARK(BM_FormCreateDestroy)->Unit(benchmark::kMillisecond)->UseRealTime();

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// The host thread's share while streaming 30 pictures a second with audio:
// its pump runs the socket handlers' messages and the timers. Reported as
// CPU milliseconds per second of streaming.
void BM_HostThreadWhileStreaming(benchmark::State& state) {
  camsim::SimConfig config;
  config.video.fps = 30;
  camsim::CameraSimulator cam(config);
  if (!cam.Start()) {
    state.SkipWithError("camera simulator did not start");
    return;
  }
  control::FormSeams seams = PrivateAreaNoServer();
  seams.linkStartDelayMs = 0;
  control::TVelmoraX form(seams);
  form.link->SetText(form.link->ipaddr, "127.0.0.1");
  form.link->port = static_cast<int16_t>(cam.port());
  form.link->loginLevel = 0;
  form.link->PostCommand(CmdConnectVideo);
  form.link->PostCommand(CmdConnectAudio);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!(form.link->videoState == 100 && form.link->audconnected == 1) && std::chrono::steady_clock::now() < deadline)
    VelmoraPumpMessages(5);
  if (form.link->videoState != 100) {
    state.SkipWithError("the form did not start streaming");
    return;
  }
  double cpuMs = 0, seconds = 0;
  for (auto _ : state) {
    const double before = ThreadCpuMs();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < end) VelmoraPumpMessages(10);
    cpuMs += ThreadCpuMs() - before;
    seconds += 1;
  }
  state.counters["host_cpu_ms_per_s"] = cpuMs / seconds;
  state.counters["frmrate"] = form.link->frmrate.load();
}
BENCHMARK(BM_HostThreadWhileStreaming)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
