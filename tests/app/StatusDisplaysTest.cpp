#include <gtest/gtest.h>

#include "StatusDisplays.h"

namespace {

TEST(StatusDisplay, FormatCountChangesUnitAtPowersOfAThousand) {
  struct Case {
    int32_t n;
    const char* text;
  } cases[] = {{999, "999"},          {1000, "1.00K"},        {999999, "1000.00K"}, {1000000, "1.00M"},
               {1536000, "1.54M"},    {2000000000, "2.00G"},  {-5, "-5"},          {0, "0"},
               {-2000000, "-2000000"}};
  for (const Case& c : cases) EXPECT_EQ(FormatCount(c.n), c.text) << c.n;
  EXPECT_EQ(FormatCount(1536000, ","), "1,54M") << "the regional decimal separator";
  EXPECT_EQ(FormatCount(1536000, "٫"), "1٫54M") << "a separator of more than one byte";
}

TEST(StatusDisplay, FormatElapsedGrowsTheHours) {
  EXPECT_EQ(FormatElapsed(0), "00:00:00");
  EXPECT_EQ(FormatElapsed(59999), "00:00:59");
  EXPECT_EQ(FormatElapsed(3600000), "01:00:00");
  EXPECT_EQ(FormatElapsed(360000000), "100:00:00");
  EXPECT_EQ(FormatElapsed(3723000), "01:02:03");
}

TEST(StatusDisplay, ThreeLinesWhileStreaming) {
  TTrafficCounts c;
  c.RecvBytes = 256250;  // 2.05 Mbps
  c.VideoBits = 1990000;
  c.VideoFrames = 25;
  c.AudioBits = 64000;
  c.AudioFrames = 43;
  c.SentBytes = 251250;
  EXPECT_EQ(FormatStatusLines(c, 0, 1000),
            "接收码流: 2.05Mbps\r     (视频: 1.99Mbps, 25fps  音频: 64.00Kbps, 43fps)\r发送码流：2.01Mbps");
  c.VideoCodec = "H.265";
  EXPECT_NE(FormatStatusLines(c, 0, 1000).find("(视频 H.265: 1.99Mbps, 25fps"), std::string::npos);
}

TEST(StatusDisplay, CountdownFromTheConfiguredDelay) {
  TTrafficCounts c;
  c.RecvBytes = 1000;
  std::string lines = FormatStatusLines(c, 30, 1000);
  EXPECT_EQ(lines, "接收码流: 8.00Kbps\r     (视频: 0bps, 0fps  音频: 0bps, 0fps)\r发送码流：缓冲中...29");
  EXPECT_NE(FormatStatusLines(c, 30, 29999).find("缓冲中...1"), std::string::npos);
  EXPECT_NE(FormatStatusLines(c, 30, 30000).find("发送码流：0bps"), std::string::npos);
  EXPECT_NE(FormatStatusLines(c, 0, 0).find("发送码流：0bps"), std::string::npos) << "no delay: the rate at once";
}

TEST(StatusDisplay, VersionLabel) {
  EXPECT_EQ(VersionLabel("1.5.0.0"), "V1.5.0.0");
  EXPECT_EQ(VersionLabel(""), "V");
  EXPECT_EQ(VersionLabel(std::string(300, '9')).size(), 256u) << "at most 255 characters of version text";
}

}  // namespace
