// The per-sample path of the push controller without a delay (capturer event
// → clock conversion → counters → key-frame gate → sender call), against a
// memcpy of the same access unit in the same run: the ratio is the figure.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "PushControllers.h"
#include "PushFakes.h"

namespace {

void BM_PerSamplePath(benchmark::State& state) {
  fakes::TNullSender sender;
  fakes::TFakeCapturer capturer;
  TConfig config("/nonexistent/unused.reg");
  TPushController controller(sender, capturer, config, nullptr);
  controller.StopWaitStepMs = 0;
  controller.StartPush("d", "u", "p", "rtmp://h/a/b", false, 0, 554, 80);
  std::vector<uint8_t> unit(static_cast<size_t>(state.range(0)), 0x11);
  unit[3] = 1;
  int64_t ticks = 0;
  capturer.Deliver(4, 2, unit, ticks);
  for (auto _ : state) {
    ticks += 3600;
    capturer.Deliver(4, 1, unit, ticks);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  controller.StopPush();
}
BENCHMARK(BM_PerSamplePath)->Arg(4000)->Arg(40000);

void BM_CopyOfTheSameBytes(benchmark::State& state) {
  std::vector<uint8_t> unit(static_cast<size_t>(state.range(0)), 0x11), copy(unit.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), unit.data(), unit.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CopyOfTheSameBytes)->Arg(4000)->Arg(40000);

}  // namespace

BENCHMARK_MAIN();
