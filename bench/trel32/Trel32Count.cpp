// Opens an RTSP URL through libtrel32 for a number of seconds and prints how
// many access units and audio frames (and bytes) the callback delivered, and
// how long after the open began the first picture came.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "trel32.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TCounts {
  std::atomic<long> video{0}, audio{0}, bytes{0};
  Clock::time_point opening;
  std::atomic<long> firstPictureMs{-1};
};

void TREL32_CALL Count(int32_t, void* user, uint8_t stream, uint8_t, const uint8_t*, int32_t length, int64_t) {
  auto* counts = static_cast<TCounts*>(user);
  if (stream == TREL32_STREAM_VIDEO && counts->video.load() == 0)
    counts->firstPictureMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - counts->opening).count();
  (stream == TREL32_STREAM_VIDEO ? counts->video : counts->audio).fetch_add(1, std::memory_order_relaxed);
  counts->bytes.fetch_add(length, std::memory_order_relaxed);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "Usage: trel32-count RTSP_URL SECONDS\n");
    return 2;
  }
  int seconds = std::atoi(argv[2]);
  TCounts counts;
  if (trel32Init() != 0) return 1;
  counts.opening = Clock::now();
  int32_t result = trel32CreateRTSPClient(argv[1], 0, 1);
  if (result == 0) result = trel32RegisteRTSPClientCallback(&Count, 0, &counts);
  if (result != 0) {
    std::fprintf(stderr, "trel32-count: open failed with %d\n", result);
    trel32Uninit();
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  trel32UnRegisteRTSPClientCallback(0);
  trel32DestroyRTSPClient(0);
  trel32Uninit();
  std::printf("video %ld audio %ld bytes %ld first-picture-ms %ld\n", counts.video.load(), counts.audio.load(),
              counts.bytes.load(), counts.firstPictureMs.load());
  return 0;
}
