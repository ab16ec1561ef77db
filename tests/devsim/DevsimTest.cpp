// The device simulator serves what its options say, as ffprobe sees it, and
// guards its logged-in streams.
#include <gtest/gtest.h>

#include "DeviceSimulator.h"
#include "Processes.h"

using namespace testsupport;

namespace {

std::string Probe(const std::string& url) {
  TCommandResult result = RunCommand({"ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-show_entries",
                                      "stream=codec_name,width,height,sample_rate,channels,profile", "-of",
                                      "compact", url},
                                     std::chrono::seconds(30));
  return result.output + result.errors;
}

std::string Curl(const std::string& url) {
  return RunCommand({"curl", "-s", "--max-time", "5", url}).output;
}

}  // namespace

TEST(DevsimTest, ServesTheConfiguredStreamOnEveryOpenPath) {
  TDeviceSimulatorOptions options;
  options.width = 176;
  options.height = 144;
  options.audioRate = 32000;
  options.audioChannels = 1;
  TDeviceSimulator simulator(options);
  simulator.Start();
  for (const char* path : {"/dispatch/0?config.client_type=web", "/dispatch/1?config.client_type=web"}) {
    std::string probe = Probe(simulator.RtspUrl(path));
    EXPECT_NE(probe.find("codec_name=h264|profile=Constrained Baseline|width=176|height=144"), std::string::npos)
        << path << ": " << probe;
    EXPECT_NE(probe.find("codec_name=aac|profile=LC|sample_rate=32000|channels=1"), std::string::npos)
        << path << ": " << probe;
  }
  EXPECT_FALSE(simulator.Requests("RTSP PLAY /dispatch/1").empty());
}

TEST(DevsimTest, VideoOnlyWithoutAudio) {
  TDeviceSimulatorOptions options;
  options.audio = false;
  TDeviceSimulator simulator(options);
  simulator.Start();
  std::string probe = Probe(simulator.RtspUrl("/dispatch/0"));
  EXPECT_NE(probe.find("codec_name=h264"), std::string::npos) << probe;
  EXPECT_EQ(probe.find("codec_name=aac"), std::string::npos) << probe;
}

TEST(DevsimTest, LoggedInStreamsOpenOnlyWithAKeyTheLogonHandedOut) {
  TDeviceSimulatorOptions options;
  options.password = "Secret";
  TDeviceSimulator simulator(options);
  simulator.Start();
  std::string base = "http://127.0.0.1:" + std::to_string(simulator.HttpPort()) + "/cgi-bin/logon.cgi?username=admin";
  // md5("Secret") and md5("secret"): the hash of the password as typed.
  EXPECT_EQ(Curl(base + "&upswd=5ebe2294ecd0e0f08eab7690d2a6ee69"), "-1");
  std::string reply = Curl(base + "&upswd=" + RunCommand({"sh", "-c", "printf Secret | md5sum"}).output.substr(0, 32));
  ASSERT_EQ(reply.rfind("1|", 0), 0u) << reply;
  std::string key = reply.substr(2, reply.find('|', 2) - 2);
  ASSERT_EQ(key.size(), 32u);

  EXPECT_NE(Probe(simulator.RtspUrl("/stream/4?config.login=" + key)).find("codec_name=h264"), std::string::npos);
  EXPECT_NE(Probe(simulator.RtspUrl("/stream/0?config.login=wrong")).find("401"), std::string::npos);
  EXPECT_NE(Probe(simulator.RtspUrl("/stream/0")).find("401"), std::string::npos);
  EXPECT_NE(Probe(simulator.RtspUrl("/nothing")).find("404"), std::string::npos);
  EXPECT_EQ(simulator.Requests("RTSP DESCRIBE /stream/4?config.login=" + key).size(), 1u);
  EXPECT_EQ(simulator.Requests("HTTP GET /cgi-bin/logon.cgi?username=admin").size(), 2u);
}
