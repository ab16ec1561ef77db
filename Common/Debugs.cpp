#include "Debugs.h"

#include "LineWriters.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

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

// Standard error may be a pipe that nobody reads: the threads that trace
// (media threads among them) only queue the line (LineWriters).
TLineWriter& Writer() {
  static TLineWriter& writer = ProcessLineWriter(STDERR_FILENO, [](uint64_t dropped) {
    return StampedLine(std::to_string(dropped) + " trace lines dropped: standard error is blocked");
  });
  return writer;
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
