#include <gtest/gtest.h>

#include <string>
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
