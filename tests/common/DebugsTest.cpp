#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Assertions.h"
#include "Debugs.h"
#include "ErrorReports.h"

namespace {

std::vector<std::string> captured;
void Capture(const std::string& line) { captured.push_back(line); }

struct TraceCapture {
  TraceCapture() {
    captured.clear();
    SetDebugSink(Capture);
  }
  ~TraceCapture() {
    SetDebugSink(nullptr);
    DebugOutputEnabled = false;
  }
};

TEST(Debugs, LineCarriesTwoDigitClockAndOneBlank) {
  EXPECT_EQ(FormatDebugLine("Send failed", 7, 5, 9), "07:05:09 Send failed\n");
  EXPECT_EQ(FormatDebugLine("", 23, 59, 59), "23:59:59 \n");
}

TEST(Debugs, NothingIsWrittenWhileTheSwitchIsOff) {
  TraceCapture capture;
  DebugOutputEnabled = false;
  DebugLog("hidden");
  DebugLogFmt("RTMP_Open err=%d", -4);
  EXPECT_TRUE(captured.empty());
}

TEST(Debugs, FormattedTraceKeepsTheConversions) {
  TraceCapture capture;
  DebugOutputEnabled = true;
  DebugLogFmt("%x %d %s", 0x65, 1234, "KEY FRAME");
  ASSERT_EQ(captured.size(), 1u);
  ASSERT_GE(captured[0].size(), 9u);
  EXPECT_EQ(captured[0].substr(9), "65 1234 KEY FRAME\n");
  EXPECT_EQ(captured[0][2], ':');
  EXPECT_EQ(captured[0][5], ':');
}

TEST(Debugs, LongTextIsNotCut) {
  TraceCapture capture;
  DebugOutputEnabled = true;
  std::string reply(5000, 'k');
  DebugLogFmt("GetLoginKey: %s", reply.c_str());
  ASSERT_EQ(captured.size(), 1u);
  EXPECT_EQ(captured[0].size(), 9 + 13 + 5000 + 1u);
}

TEST(Assertions, TextNamesMessageUnitAndLine) {
  try {
    RaiseAssertion("FLV only supports mono Speex audio", "VelmaroImp", 308);
    FAIL() << "no exception";
  } catch (const EAssertionFailed& e) {
    EXPECT_STREQ(e.what(), "FLV only supports mono Speex audio (VelmaroImp, line 308)");
  }
}

std::string lastCaption, lastText;
void Remember(const std::string& caption, const std::string& text) {
  lastCaption = caption;
  lastText = text;
}

TEST(ErrorReports, InstalledHandlerReceivesTheReport) {
  SetErrorReportHandler(Remember);
  ReportError("ERROR", "TSampleSort.Push() out of memory");
  SetErrorReportHandler(nullptr);
  EXPECT_EQ(lastCaption, "ERROR");
  EXPECT_EQ(lastText, "TSampleSort.Push() out of memory");
}

}  // namespace

// With traces on and standard error a pipe nobody reads, tracing must not
// block the thread that traces; what could not be queued is counted, and the
// count is written once the pipe is read again.
TEST(Debugs, BlockedStandardErrorNeverStallsTheTracingThread) {
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  int saved = dup(STDERR_FILENO);
  dup2(pipeEnds[1], STDERR_FILENO);
  close(pipeEnds[1]);
  DebugOutputEnabled = true;
  uint64_t droppedBefore = DebugLinesDropped();
  std::atomic<bool> done{false};
  std::thread media([&] {
    for (int i = 0; i < 20'000; ++i) DebugLogFmt("frame %d %s", i, std::string(200, 'm').c_str());  // 4 MB
    ReportError("ERROR", "reported while blocked");  // the default report goes to standard error too
    done = true;
  });
  for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(done.load()) << "tracing blocked on a full standard error";
  std::string text;
  std::thread reader([&] {  // from now on the pipe is read (an old-style blocked writer can finish)
    char buffer[65536];
    for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  });
  media.join();
  EXPECT_GT(DebugLinesDropped(), droppedBefore);
  // Once the reader has emptied the queue, a new line has room again.
  DrainDebugLines(std::chrono::seconds(5));
  DebugLog("after the block");
  DrainDebugLines(std::chrono::seconds(5));
  DebugOutputEnabled = false;
  dup2(saved, STDERR_FILENO);  // closes the pipe's last write end: the reader ends
  close(saved);
  reader.join();
  close(pipeEnds[0]);
  EXPECT_NE(text.find("trace lines dropped: standard error is blocked"), std::string::npos);
  EXPECT_NE(text.find("after the block\n"), std::string::npos);
}
