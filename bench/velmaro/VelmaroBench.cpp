// Sender library speed, measured side by side in one run:
// - the whole body path of one access unit (split, build, push into the
//   sorter) against a plain memcpy of the same bytes: the ratio is the figure;
// - the sorter's push-to-release latency with video and audio both flowing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "SampleSorts.h"
#include "VelmaroImp.h"

namespace {

using TBytes = std::vector<uint8_t>;
using TClock = std::chrono::steady_clock;

// An access unit like an encoder's: SPS, PPS and two slices of entropy-coded
// bytes (no start-code pattern inside, as emulation prevention guarantees).
TBytes MakeAccessUnit(size_t sliceBytes) {
  std::mt19937 random(42);
  TBytes au = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x02, 0x80, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
  for (int slice = 0; slice < 2; ++slice) {
    au.insert(au.end(), {0, 0, 1, 0x65});
    for (size_t i = 0; i < sliceBytes; ++i) {
      uint8_t byte = static_cast<uint8_t>(random());
      if (byte <= 3 && au.back() == 0) byte = 0x80;  // keep 00 00 0x out of the payload
      au.push_back(byte);
    }
  }
  return au;
}

void NoRelease(void*, int32_t, const uint8_t*, int32_t, int64_t, uint8_t, int32_t) {}

void BodyPath(benchmark::State& state) {
  const TBytes au = MakeAccessUnit(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> sendBuffer(velmaro::kInitialSendBufferSize);
  TSampleSort sorter(1);  // one stream: every sample leaves at once and is freed
  sorter.SetOnSample({&NoRelease, nullptr});
  std::vector<TNalUnit> units;
  uint32_t time = 0;
  for (auto _ : state) {
    size_t size = velmaro::PlanVideoBody(velmaro::kCodecAvc, au.data(), au.size(), false, units);
    if (size > sendBuffer.size()) sendBuffer.resize(size);
    velmaro::BuildVideoBody(velmaro::kCodecAvc, units, true, sendBuffer.data(), sendBuffer.size());
    sorter.Push(0, sendBuffer.data(), static_cast<int32_t>(size), time += 40, 1, 0);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * au.size()));
}

void PlainMemcpy(benchmark::State& state) {
  const TBytes au = MakeAccessUnit(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> target(au.size());
  for (auto _ : state) {
    std::memcpy(target.data(), au.data(), au.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * au.size()));
}

// Latency from a push to the release it makes possible. The feed is video
// every 40 ms and audio every 21.33 ms of stream time, pushed in time order;
// a mirror of the merge rule says how many samples must have left after each
// push, and the clock runs until the sorter's thread has released them.
std::atomic<int64_t> releasedCount{0};
void CountRelease(void*, int32_t, const uint8_t*, int32_t, int64_t, uint8_t, int32_t) {
  releasedCount.fetch_add(1, std::memory_order_release);
}

void SorterLatency(benchmark::State& state) {
  TSampleSort sorter(2);
  sorter.SetOnSample({&CountRelease, nullptr});
  releasedCount.store(0);
  std::deque<int64_t> queues[2];
  int64_t expectedReleased = 0;
  int64_t nextTime[2] = {0, 0};
  int64_t audioFrames = 0;
  const uint8_t payload[200] = {};
  std::vector<double> latenciesUs;
  for (auto _ : state) {
    int stream = nextTime[0] <= nextTime[1] ? 0 : 1;
    int64_t time = nextTime[stream];
    if (stream == 0)
      nextTime[0] += 40;
    else
      nextTime[1] = ++audioFrames * 1024 * 1000 / 48000;
    queues[stream].push_back(time);
    int64_t before = expectedReleased;
    while (!queues[0].empty() && !queues[1].empty()) {
      int chosen = queues[1].front() < queues[0].front() ? 1 : 0;
      queues[chosen].pop_front();
      ++expectedReleased;
    }
    auto pushed = TClock::now();
    sorter.Push(stream, payload, sizeof payload, time, 0, 0);
    if (expectedReleased == before) continue;
    while (releasedCount.load(std::memory_order_acquire) < expectedReleased) std::this_thread::yield();
    latenciesUs.push_back(std::chrono::duration<double, std::micro>(TClock::now() - pushed).count());
  }
  std::sort(latenciesUs.begin(), latenciesUs.end());
  if (!latenciesUs.empty()) {
    state.counters["p50_us"] = latenciesUs[latenciesUs.size() / 2];
    state.counters["p99_us"] = latenciesUs[latenciesUs.size() * 99 / 100];
    state.counters["max_us"] = latenciesUs.back();
  }
}

}  // namespace

BENCHMARK(BodyPath)->Arg(2000)->Arg(20000)->Arg(50000)->Arg(100000);
BENCHMARK(PlainMemcpy)->Arg(2000)->Arg(20000)->Arg(50000)->Arg(100000);
BENCHMARK(SorterLatency)->Iterations(20000)->UseRealTime();

BENCHMARK_MAIN();
