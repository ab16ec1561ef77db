// Prints the delay buffer's figures (a program, not a test: the machine is
// shared, so the numbers are for reading, not for asserting):
//  - release error (release tick - due tick) of video at 25 fps and audio at
//    43 fps through a 3-second delay, at p50, p99 and max;
//  - the CPU an idle started worker takes per second;
//  - resident memory growth while a 4 Mbps stream of 300 s is held, against
//    the bytes held;
//  - the worker thread's wake-ups and CPU per second while it holds a 10 s
//    delay of that stream.
// Usage: buffer_bench [seconds of streaming, default 60]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "BufferWorkers.h"
#include "Ticks.h"

namespace {

using namespace std::chrono;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

void ReleaseError(int seconds) {
  constexpr uint32_t kDelay = 3000;
  TBufferWorker worker;
  std::mutex lock;
  std::vector<int64_t> errors;
  int64_t firstTick[3] = {0, 0, 0};
  worker.OnSample = [&](int kind, const uint8_t*, int32_t, int64_t time, bool) {
    int64_t now = CurrentTicks();
    int64_t due = firstTick[kind] + (time - kDelay) + kDelay;  // the first sample of each kind has time 0
    std::lock_guard guard(lock);
    errors.push_back(now - due);
  };
  worker.SetDelay(kDelay);
  worker.Start();
  std::vector<uint8_t> frame(20000, 0x42), audioFrame(400, 0x17);
  auto start = steady_clock::now();
  int video = 0, audio = 0;
  while (steady_clock::now() - start < seconds * 1s) {
    auto elapsed = duration_cast<milliseconds>(steady_clock::now() - start).count();
    while (video * 40 <= elapsed) {
      if (video == 0) firstTick[1] = CurrentTicks();
      worker.AddSample(1, frame.data(), static_cast<int32_t>(frame.size()), video * 40, video % 25 == 0);
      ++video;
    }
    while (audio * 1024 * 1000 / 44100 <= elapsed) {
      if (audio == 0) firstTick[2] = CurrentTicks();
      worker.AddSample(2, audioFrame.data(), static_cast<int32_t>(audioFrame.size()), audio * 1024 * 1000 / 44100,
                       false);
      ++audio;
    }
    std::this_thread::sleep_for(2ms);
  }
  std::this_thread::sleep_for(milliseconds(kDelay + 200));
  worker.Stop();
  std::sort(errors.begin(), errors.end());
  if (errors.empty()) return;
  auto at = [&](double q) { return errors[static_cast<size_t>(q * static_cast<double>(errors.size() - 1))]; };
  std::printf("release error over %zu samples (%d s, delay %u ms): p50 %lld ms, p99 %lld ms, max %lld ms, min %lld ms\n",
              errors.size(), seconds, kDelay, static_cast<long long>(at(0.5)), static_cast<long long>(at(0.99)),
              static_cast<long long>(errors.back()), static_cast<long long>(errors.front()));
}

std::set<int> ThreadIds() {
  std::set<int> ids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ids.insert(std::atoi(entry->d_name));
    closedir(dir);
  }
  return ids;
}

// Context switches (the thread's wake-ups) and CPU seconds of one thread.
std::pair<long, double> ThreadReadings(int id) {
  std::string path = "/proc/self/task/" + std::to_string(id);
  std::ifstream status(path + "/status");
  long switches = 0;
  for (std::string line; std::getline(status, line);)
    if (line.find("ctxt_switches:") != std::string::npos) switches += std::atol(line.substr(line.find(':') + 1).c_str());
  std::ifstream statFile(path + "/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i == 14 || i == 15) ticks += std::atol(field.c_str());
  return {switches, static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK))};
}

void HoldingCost(int seconds) {
  constexpr uint32_t kDelay = 10'000;
  std::set<int> before = ThreadIds();
  TBufferWorker worker;
  int workerThread = 0;
  for (int id : ThreadIds())
    if (before.count(id) == 0) workerThread = id;
  std::atomic<long> released{0};
  worker.OnSample = [&](int, const uint8_t*, int32_t, int64_t, bool) { released.fetch_add(1); };
  worker.SetDelay(kDelay);
  worker.Start();
  std::vector<uint8_t> frame(20000, 0x42), audioFrame(400, 0x17);
  auto start = steady_clock::now();
  int video = 0, audio = 0;
  std::pair<long, double> first{};
  bool measuring = false;
  auto measureFrom = milliseconds(kDelay + 1000);
  while (steady_clock::now() - start < measureFrom + seconds * 1s) {
    auto elapsed = duration_cast<milliseconds>(steady_clock::now() - start).count();
    if (!measuring && elapsed >= measureFrom.count()) {
      first = ThreadReadings(workerThread);
      measuring = true;
    }
    for (; video * 40 <= elapsed; ++video)
      worker.AddSample(1, frame.data(), static_cast<int32_t>(frame.size()), video * 40, video % 25 == 0);
    for (; audio * 1024 * 1000 / 48000 <= elapsed; ++audio)
      worker.AddSample(2, audioFrame.data(), static_cast<int32_t>(audioFrame.size()), audio * 1024 * 1000 / 48000,
                       false);
    std::this_thread::sleep_for(2ms);
  }
  auto last = ThreadReadings(workerThread);
  worker.Stop();
  std::printf("worker holding a %u ms delay of 25 + 47 samples/s: %.0f wake-ups/s, %.3f%% of one core\n", kDelay,
              static_cast<double>(last.first - first.first) / seconds, 100.0 * (last.second - first.second) / seconds);
}

void IdleCost() {
  TBufferWorker worker;
  worker.SetDelay(3000);
  worker.Start();
  std::this_thread::sleep_for(200ms);
  double before = CpuSeconds();
  auto start = steady_clock::now();
  std::this_thread::sleep_for(5s);
  double used = CpuSeconds() - before;
  double wall = duration<double>(steady_clock::now() - start).count();
  std::printf("idle started worker: %.2f%% of one core (%.4f CPU s per s)\n", 100.0 * used / wall, used / wall);
  worker.Stop();
}

void MemoryPerByteHeld() {
  constexpr int kSeconds = 300, kFps = 25;
  constexpr int kFrameBytes = 4'000'000 / 8 / kFps;  // 4 Mbps
  TBufferWorker worker;
  worker.SetDelay(1'000'000);  // hold everything
  worker.Start();
  std::vector<uint8_t> frame(kFrameBytes, 0x33);
  long before = ResidentBytes();
  long long held = 0;
  for (int i = 0; i < kSeconds * kFps; ++i) {
    worker.AddSample(1, frame.data(), kFrameBytes, i * 40, i % 25 == 0);
    held += kFrameBytes;
  }
  long growth = ResidentBytes() - before;
  std::printf("holding %d s of 4 Mbps: %.1f MB held, resident growth %.1f MB, ratio %.3f\n", kSeconds,
              static_cast<double>(held) / 1e6, static_cast<double>(growth) / 1e6,
              static_cast<double>(growth) / static_cast<double>(held));
  worker.Stop();
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
  MemoryPerByteHeld();
  IdleCost();
  HoldingCost(std::min(seconds, 30));
  ReleaseError(seconds);
  return 0;
}
