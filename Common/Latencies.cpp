#include "Latencies.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kStreams = 2;
// Messages that never reach librtmp (a push cut short) must not pile up.
constexpr size_t kMaxInFlight = 4096;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool ValidStream(int stream) { return stream >= 0 && stream < kStreams; }

uint64_t Key(int stream, int64_t time) {
  return static_cast<uint64_t>(stream) << 32 | static_cast<uint32_t>(time);
}

struct TStamps {
  int64_t captured = 0;
  int64_t queued = 0;
  int64_t taken = 0;  // 0: sent without the sorter (a push without audio)
  int64_t time = 0;   // the message's timestamp, ms
};

// One message's figures in ns: all of it, our own work, the wait in the
// sorter for the other stream, and when it was captured against its own
// timestamp (comparing the streams' medians shows which one the device
// delivers late, and so what the sorter waits for).
struct TMessage {
  int stream;
  int64_t total;
  int64_t processing;
  int64_t hold;
  int64_t arrival;
};

int64_t Percentile(std::vector<int64_t> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(rank, values.size() - 1)];
}

class TLatencyLog {
 public:
  ~TLatencyLog() {
    std::string text = Text();
    const char* path = std::getenv("TIDECAST_LATENCY_FILE");
    FILE* out = path != nullptr && path[0] != '\0' ? std::fopen(path, "w") : nullptr;
    std::fputs(text.c_str(), out != nullptr ? out : stderr);
    if (out != nullptr) std::fclose(out);
  }

  void Queued(int stream, int64_t time, int64_t captured) {
    std::lock_guard guard(lock_);
    if (inFlight_.size() >= kMaxInFlight) inFlight_.clear();
    inFlight_[Key(stream, time)] = TStamps{captured, NowNs(), 0, time};
  }

  void Taken(int stream, int64_t time) {
    std::lock_guard guard(lock_);
    auto found = inFlight_.find(Key(stream, time));
    if (found != inFlight_.end()) found->second.taken = NowNs();
  }

  void Sent(int stream, int64_t time) {
    int64_t now = NowNs();
    std::lock_guard guard(lock_);
    auto found = inFlight_.find(Key(stream, time));
    if (found == inFlight_.end()) return;  // a header message, or one sent twice
    const TStamps& s = found->second;
    int64_t taken = s.taken != 0 ? s.taken : s.queued;
    done_.push_back({stream, now - s.captured, (s.queued - s.captured) + (now - taken), taken - s.queued,
                     s.captured - s.time * 1000000});
    inFlight_.erase(found);
  }

  std::string Text() {
    std::lock_guard guard(lock_);
    std::string text;
    const char* names[] = {"video", "audio", "all"};
    int64_t arrivalMedian[kStreams] = {};
    for (int which = 0; which <= kStreams; ++which) {
      std::vector<int64_t> total, processing, hold, arrival;
      for (const TMessage& m : done_) {
        if (which < kStreams && m.stream != which) continue;
        total.push_back(m.total);
        processing.push_back(m.processing);
        hold.push_back(m.hold);
        arrival.push_back(m.arrival);
      }
      if (which < kStreams) arrivalMedian[which] = Percentile(arrival, 0.5);
      char line[512];
      std::snprintf(line, sizeof line,
                    "latency %s count=%zu total_p50_us=%lld total_p99_us=%lld processing_p50_us=%lld "
                    "processing_p99_us=%lld hold_p50_us=%lld hold_p99_us=%lld\n",
                    names[which], total.size(), static_cast<long long>(Percentile(total, 0.5) / 1000),
                    static_cast<long long>(Percentile(total, 0.99) / 1000),
                    static_cast<long long>(Percentile(processing, 0.5) / 1000),
                    static_cast<long long>(Percentile(processing, 0.99) / 1000),
                    static_cast<long long>(Percentile(hold, 0.5) / 1000),
                    static_cast<long long>(Percentile(hold, 0.99) / 1000));
      text += line;
    }
    char skew[128];
    std::snprintf(skew, sizeof skew, "latency skew video_after_audio_us=%lld\n",
                  static_cast<long long>((arrivalMedian[kLatencyVideo] - arrivalMedian[kLatencyAudio]) / 1000));
    text += skew;
    return text;
  }

 private:
  std::mutex lock_;
  std::unordered_map<uint64_t, TStamps> inFlight_;
  std::vector<TMessage> done_;
};

TLatencyLog& Log() {
  static TLatencyLog log;
  return log;
}

// The capture stamp of the sample this thread is handling, per stream; the
// sender takes it when it queues the message, on the same thread (a push
// without delay). 0: none.
thread_local int64_t capturedOnThisThread[kStreams] = {};

}  // namespace

void LatencyCaptured(int stream) {
  if (ValidStream(stream)) capturedOnThisThread[stream] = NowNs();
}

void LatencyQueued(int stream, int64_t time) {
  if (!ValidStream(stream) || capturedOnThisThread[stream] == 0) return;  // silence fill, or a delayed push
  int64_t captured = capturedOnThisThread[stream];
  capturedOnThisThread[stream] = 0;
  Log().Queued(stream, time, captured);
}

void LatencyTaken(int stream, int64_t time) {
  if (ValidStream(stream)) Log().Taken(stream, time);
}

void LatencySent(int stream, int64_t time) {
  if (ValidStream(stream)) Log().Sent(stream, time);
}

std::string LatencyReport() { return Log().Text(); }
