// Message delivery of the control: what PassMessage costs the reporting
// thread, and how many messages per second reach one sink on the apartment
// thread.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <thread>

#include "control/velmorax_impl.h"
#include "platform/message_queue.h"

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

}  // namespace

BENCHMARK_MAIN();
