// Diagnostic trace lines. Every trace text of the system goes through DebugLog
// or DebugLogFmt; they reach standard error only while DebugOutputEnabled is
// on. The switch is off unless the environment sets TIDECAST_DEBUG=1, so an
// operator can get a trace without a rebuild. Each deliverable carries its own
// copy of this unit and so its own switch.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

extern std::atomic<bool> DebugOutputEnabled;

// Writes "hh:nn:ss " (local time) followed by the text as one line.
void DebugLog(std::string_view text);

// printf-style formatting (%s, %d, %x and the rest), then DebugLog.
void DebugLogFmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Lines to standard error are queued and written by a thread of their own,
// so that a standard error nobody reads never stalls the thread that traces;
// past a bound they are dropped and counted. This is the count so far.
uint64_t DebugLinesDropped();
// Queues a whole line (with its line end) for standard error on the same
// writer, whether traces are on or not (ErrorReports' default output).
void PostStandardErrorLine(std::string line);
// Waits, at most `bound`, until the queued lines are written (also done at exit).
void DrainDebugLines(std::chrono::milliseconds bound);

// Where trace lines go. The default writes them to standard error; tests
// install a sink to read the trace texts back. Pass nullptr for the default.
using TDebugSink = void (*)(const std::string& line);
void SetDebugSink(TDebugSink sink);

// The line DebugLog writes for a text at the given local time (exposed for tests).
std::string FormatDebugLine(std::string_view text, int hour, int minute, int second);
