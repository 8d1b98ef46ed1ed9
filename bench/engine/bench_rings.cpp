// Throughput of the byte ring (put/get in message-sized pieces) and of the
// frame queue (push/pop of video-frame-sized copies).
#include <benchmark/benchmark.h>

#include <vector>

#include "engine/byte_ring.h"
#include "engine/frame_queue.h"

static void BM_RingPutGet(benchmark::State& state) {
  CManage1DBUF ring;
  const auto n = static_cast<uint32_t>(state.range(0));
  std::vector<uint8_t> in(n, 0x5A), out(n);
  for (auto _ : state) {
    ring.PutBytes(in.data(), n);
    ring.GetBytes(out.data(), n);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_RingPutGet)->Arg(12)->Arg(132)->Arg(4096)->Arg(60012);

static void BM_QueuePushPop(benchmark::State& state) {
  CManage2DBUF queue(1000);
  const auto n = static_cast<int32_t>(state.range(0));
  std::vector<uint8_t> in(static_cast<size_t>(n), 1), out(static_cast<size_t>(n));
  for (auto _ : state) {
    queue.PushFrame(in.data(), n, 7);
    int32_t size, tag;
    queue.PopFrame(out.data(), &size, &tag);
    benchmark::DoNotOptimize(size);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_QueuePushPop)->Arg(4000)->Arg(60012);

BENCHMARK_MAIN();
