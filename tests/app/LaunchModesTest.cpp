#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "CommandLines.h"
#include "LaunchModes.h"
#include "LauncherLines.h"
#include "StatusDisplays.h"

namespace {

TEST(LaunchParams, RoomExampleStartsTheLowStreamHidden) {
  TLaunchParams p = ParseLaunchParams("Address=10.0.0.7&User=admin&Password=&isHD=0&id=3", "rtmp://h/hls/room3");
  EXPECT_EQ(p.Address, "10.0.0.7");
  EXPECT_EQ(p.User, "admin");
  EXPECT_EQ(p.Password, "");
  EXPECT_EQ(p.RtmpUrl, "rtmp://h/hls/room3");
  EXPECT_FALSE(p.RequestsHD());
  EXPECT_EQ(p.RtspPort, 554);
  EXPECT_EQ(p.HttpPort, 80);
  EXPECT_EQ(p.hwndFrom, 0);
  EXPECT_FALSE(p.ShowsWindow());
  EXPECT_EQ(p.Caption(), "TidecastMain-3");
}

TEST(LaunchParams, NamesIgnoreCaseAndTheFirstItemWins) {
  EXPECT_EQ(ParseLaunchParams("ID=3", "").id, 3);
  EXPECT_EQ(ParseLaunchParams("id=3&id=4", "").id, 3);
  EXPECT_EQ(ParseLaunchParams("ADDRESS=a&address=b", "").Address, "a");
  EXPECT_EQ(ParseLaunchParams("rtspport=8554", "").RtspPort, 8554);
}

TEST(LaunchParams, BadIntegersTakeTheirDefaults) {
  struct Case {
    const char* list;
    int32_t rtsp, http, isHD, id;
  } cases[] = {
      {"RtspPort=abc", 554, 80, 1, 0},
      {"RtspPort=", 554, 80, 1, 0},
      {"RtspPort=55 4", 554, 80, 1, 0},
      {"HttpPort=0x50", 554, 80, 1, 0},
      {"id=99999999999", 554, 80, 1, 0},
      {"id=-", 554, 80, 1, 0},
      {"id=+7&HttpPort=8080", 554, 8080, 1, 7},
      {"isHD=-1", 554, 80, -1, 0},
  };
  for (const Case& c : cases) {
    TLaunchParams p = ParseLaunchParams(c.list, "");
    EXPECT_EQ(p.RtspPort, c.rtsp) << c.list;
    EXPECT_EQ(p.HttpPort, c.http) << c.list;
    EXPECT_EQ(p.isHD, c.isHD) << c.list;
    EXPECT_EQ(p.id, c.id) << c.list;
  }
}

TEST(LaunchParams, BufferTimeOutsideTheWindowsLimitsIsAbsent) {
  EXPECT_FALSE(ParseLaunchParams("", "").BufferTime.has_value()) << "the stored delay counts";
  EXPECT_EQ(ParseLaunchParams("buffertime=0", "").BufferTime, 0);
  EXPECT_EQ(ParseLaunchParams("BufferTime=600", "").BufferTime, 600);
  for (const char* bad : {"BufferTime=601", "BufferTime=-1", "BufferTime=30s", "BufferTime="})
    EXPECT_FALSE(ParseLaunchParams(bad, "").BufferTime.has_value()) << bad;
}

TEST(LaunchParams, HighStreamFollowsTheLowestEightBits) {
  EXPECT_TRUE(ParseLaunchParams("isHD=-1", "").RequestsHD()) << "-1 asks for the high stream";
  EXPECT_FALSE(ParseLaunchParams("isHD=256", "").RequestsHD());
  EXPECT_TRUE(ParseLaunchParams("", "").RequestsHD()) << "the default is the high stream";
  EXPECT_EQ(ParseLaunchParams("isIPC=257", "").IpcMode(), 1);
  EXPECT_EQ(ParseLaunchParams("isIPC=2", "").IpcMode(), 2);
}

TEST(LaunchParams, TextsAreKeptAsTheyAreAndStrayLinesIgnored) {
  TLaunchParams p = ParseLaunchParams("noequals&Password= p=w d &Colour=red&&User", "");
  EXPECT_EQ(p.Password, " p=w d ") << "a value runs to the end of its item, '=' included";
  EXPECT_EQ(p.User, "") << "an item without '=' names nothing";
  EXPECT_EQ(p.Address, "");
}

TEST(LaunchParams, TwoOrMoreArgumentsMeanLaunchMode) {
  EXPECT_FALSE(IsLaunchMode({}));
  EXPECT_FALSE(IsLaunchMode({"Address=1.2.3.4"}));
  EXPECT_TRUE(IsLaunchMode({"Address=1.2.3.4", "rtmp://x/hls/a"}));
  EXPECT_TRUE(IsLaunchMode({"a", "b", "c"}));
}

TEST(LaunchParams, QuotedRunIsOneArgument) {
  EXPECT_EQ(SplitCommandLine(R"(Tidecast "Address=1.2.3.4&Password=a b" rtmp://h/hls/x)"),
            (std::vector<std::string>{"Tidecast", "Address=1.2.3.4&Password=a b", "rtmp://h/hls/x"}));
  EXPECT_EQ(SplitCommandLine("  a   b\t"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(SplitCommandLine(R"(a "" b)"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(SplitCommandLine(R"(a"b c"d)"), (std::vector<std::string>{"ab cd"}));
}

TEST(LaunchParams, ResultLineNamesInstanceAndCode) {
  EXPECT_EQ(StartResultLine(7, 1), "TIDECAST_START_RESULT id=7 result=1");
}

// The supervision's parameters and the lines and texts that report it.
TEST(LaunchParams, SupervisionParametersAndTheirLines) {
  TLaunchParams absent = ParseLaunchParams("id=2", "rtmp://h/a/b");
  EXPECT_EQ(absent.AutoReconnect, -1) << "the stored setting decides";
  EXPECT_EQ(absent.StatsInterval, 0);
  TLaunchParams p = ParseLaunchParams("autoreconnect=0&StatsInterval=5", "rtmp://h/a/b");
  EXPECT_EQ(p.AutoReconnect, 0);
  EXPECT_EQ(p.StatsInterval, 5);
  EXPECT_EQ(ParseLaunchParams("StatsInterval=-3", "u").StatsInterval, 0);
  EXPECT_EQ(absent.TlsVerify, -1) << "the stored setting decides";
  TLaunchParams tls = ParseLaunchParams("tlsverify=0&TlsCaFile=/etc/ingest-ca.pem", "rtmps://h/a/b");
  EXPECT_EQ(tls.TlsVerify, 0);
  EXPECT_EQ(tls.TlsCaFile, "/etc/ingest-ca.pem");
  EXPECT_EQ(ParseLaunchParams("hevcflv=id12", "rtmp://h/a/b").HevcFlv, "id12");
  EXPECT_EQ(absent.HevcFlv, "") << "the stored setting decides";

  EXPECT_EQ(StateLine(2, "running"), "TIDECAST_STATE id=2 state=running");
  EXPECT_EQ(StateLine(2, "reconnecting", 3, 4, "server_lost"),
            "TIDECAST_STATE id=2 state=reconnecting attempt=3 next_s=4 reason=server_lost");
  TStatsFigures f{1234.56, 1200, 25, 46.875, 7, 10.04};
  EXPECT_EQ(StatsLine(2, f),
            "TIDECAST_STATS id=2 recv_kbps=1234.6 sent_kbps=1200.0 video_fps=25.0 audio_fps=46.9 dropped=7 delay_s=10.0");
  EXPECT_EQ(ReconnectStatusLine(2, 4), "正在重连，第2次，4秒后重试");

  // Several destinations: arguments 2 to N, and lines that name one of them.
  TLaunchParams several = ParseLaunchParams("id=4", std::vector<std::string>{"rtmp://a/x/1", "file:///srv/rec"});
  EXPECT_EQ(several.RtmpUrl, "rtmp://a/x/1");
  EXPECT_EQ(several.Destinations, (std::vector<std::string>{"rtmp://a/x/1", "file:///srv/rec"}));
  EXPECT_EQ(StateLine(4, "reconnecting", 1, 1, "open_failed", 2),
            "TIDECAST_STATE id=4 state=reconnecting dest=2 attempt=1 next_s=1 reason=open_failed");
  EXPECT_EQ(DestinationStatsLine(4, 2, 812.34, 3), "TIDECAST_STATS id=4 dest=2 sent_kbps=812.3 dropped=3");
  // A room file: the lines after those the "-" arguments take are further destinations.
  std::istringstream room("Address=d&id=4\r\nrtmp://a/x/1\nrtmp://b/x/1\n\nfile:///srv/rec\n");
  std::vector<std::string> arguments{"-", "-"};
  std::string error;
  ASSERT_TRUE(ReadStandardInputArguments(arguments, room, error, true));
  EXPECT_EQ(arguments, (std::vector<std::string>{"Address=d&id=4", "rtmp://a/x/1", "rtmp://b/x/1", "file:///srv/rec"}));
  // The usage text comes from the table that parses: it cannot miss a parameter.
  const std::string usage = UsageText();
  for (const char* name : {"AutoReconnect=N", "StatsInterval=S", "BufferTime=S", "HttpPort=N"})
    EXPECT_NE(usage.find(name), std::string::npos) << name;
}

TEST(LaunchParams, RecordingParametersTakeTheirDefaultsBelowOne) {
  const std::vector<std::tuple<std::string, int32_t, int64_t>> cases = {
      {"id=2", 60, 20480},
      {"RecordSegmentMinutes=15&recordmaxmb=500", 15, 500},
      {"RecordSegmentMinutes=0&RecordMaxMB=-1", 60, 20480},
      {"RecordSegmentMinutes=ten&RecordMaxMB=99999999999", 60, 99999999999}};
  for (const auto& [list, minutes, maxMB] : cases) {
    TLaunchParams p = ParseLaunchParams(list, "file:///srv/rec");
    EXPECT_EQ(p.RecordSegmentMinutes, minutes) << list;
    EXPECT_EQ(p.RecordMaxMB, maxMB) << list;
  }
}

}  // namespace
