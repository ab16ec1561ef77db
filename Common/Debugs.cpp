#include "Debugs.h"

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

bool DebugSwitchFromEnvironment() {
  const char* value = std::getenv("TIDECAST_DEBUG");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

std::atomic<TDebugSink> debugSink{nullptr};

std::string StampedLine(std::string_view text) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return FormatDebugLine(text, local.tm_hour, local.tm_min, local.tm_sec);
}

// Standard error may be a pipe that nobody reads: a write there blocks for
// good once the pipe is full. The threads that trace (media threads among
// them) only queue the line; a writer thread of its own does the writing.
// Past kMaxQueuedBytes lines are dropped and counted, and the count is
// written once the pipe takes lines again.
class TTraceWriter {
 public:
  static constexpr size_t kMaxQueuedBytes = 1 << 20;

  void Post(std::string line) {
    {
      std::lock_guard guard(lock_);
      if (!started_) {
        std::thread([this] { Run(); }).detach();  // lives as long as the process
        started_ = true;
      }
      if (queuedBytes_ + line.size() > kMaxQueuedBytes) {
        ++dropped_;
        droppedTotal_.fetch_add(1);
        return;
      }
      queuedBytes_ += line.size();
      lines_.push_back(std::move(line));
    }
    wake_.notify_one();
  }

  // Waits (at most `bound`) until every queued line is written.
  void Drain(std::chrono::milliseconds bound) {
    std::unique_lock guard(lock_);
    drained_.wait_for(guard, bound, [this] { return lines_.empty() && !writing_; });
  }

  uint64_t Dropped() const { return droppedTotal_.load(); }

 private:
  void Run() {
    std::unique_lock guard(lock_);
    for (;;) {
      wake_.wait(guard, [this] { return !lines_.empty(); });
      std::deque<std::string> lines;
      lines.swap(lines_);
      queuedBytes_ = 0;
      uint64_t dropped = std::exchange(dropped_, 0);
      writing_ = true;
      guard.unlock();
      for (const std::string& line : lines) WriteToStandardError(line);
      if (dropped > 0)
        WriteToStandardError(StampedLine(std::to_string(dropped) + " trace lines dropped: standard error is blocked"));
      guard.lock();
      writing_ = false;
      drained_.notify_all();
    }
  }

  static void WriteToStandardError(const std::string& line) {
    // One write() per line keeps lines from several deliverables whole.
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
      ssize_t n = ::write(STDERR_FILENO, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      p += n;
      left -= static_cast<size_t>(n);
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::deque<std::string> lines_;
  size_t queuedBytes_ = 0;
  uint64_t dropped_ = 0;  // since the last count written
  std::atomic<uint64_t> droppedTotal_{0};
  bool writing_ = false;
  bool started_ = false;
};

// Never destroyed: the writer thread may still run while statics go away at
// exit. The last lines are written at exit, if standard error takes them soon.
TTraceWriter& Writer() {
  static TTraceWriter* writer = [] {
    auto* created = new TTraceWriter;
    std::atexit([] { DrainDebugLines(std::chrono::milliseconds(200)); });
    return created;
  }();
  return *writer;
}

}  // namespace

std::atomic<bool> DebugOutputEnabled{DebugSwitchFromEnvironment()};

void SetDebugSink(TDebugSink sink) { debugSink.store(sink); }

std::string FormatDebugLine(std::string_view text, int hour, int minute, int second) {
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d ", hour % 100, minute % 100, second % 100);
  std::string line(stamp);
  line.append(text);
  line.push_back('\n');
  return line;
}

void DebugLog(std::string_view text) {
  if (!DebugOutputEnabled.load(std::memory_order_relaxed)) return;
  std::string line = StampedLine(text);
  if (TDebugSink sink = debugSink.load())
    sink(line);
  else
    Writer().Post(std::move(line));
}

uint64_t DebugLinesDropped() { return Writer().Dropped(); }

void PostStandardErrorLine(std::string line) { Writer().Post(std::move(line)); }

void DrainDebugLines(std::chrono::milliseconds bound) { Writer().Drain(bound); }

void DebugLogFmt(const char* format, ...) {
  if (!DebugOutputEnabled.load(std::memory_order_relaxed)) return;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed < 0) {
    va_end(args);
    return;
  }
  std::vector<char> text(static_cast<size_t>(needed) + 1);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  DebugLog(std::string_view(text.data(), static_cast<size_t>(needed)));
}
