// The latency stamps of bench builds: each message's stamps are matched by
// stream and timestamp, and the wait in the sorter is kept apart from our
// own work.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include "Latencies.h"

namespace {

// "latency NAME key=value ..." lines of the report, by name.
std::map<std::string, std::map<std::string, long long>> ParseReport(const std::string& report) {
  std::map<std::string, std::map<std::string, long long>> lines;
  std::istringstream in(report);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word, name;
    words >> word >> name;
    while (words >> word) {
      auto equals = word.find('=');
      lines[name][word.substr(0, equals)] = std::stoll(word.substr(equals + 1));
    }
  }
  return lines;
}

TEST(Latencies, HoldInTheSorterIsSeparatedAndStreamsWithOneTimestampStayApart) {
  // Video at 1000 ms waits 20 ms in the sorter; audio at the same time does not.
  LatencyCaptured(kLatencyVideo);
  LatencyQueued(kLatencyVideo, 1000);
  LatencyCaptured(kLatencyAudio);
  LatencyQueued(kLatencyAudio, 1000);
  LatencyTaken(kLatencyAudio, 1000);
  LatencySent(kLatencyAudio, 1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  LatencyTaken(kLatencyVideo, 1000);
  LatencySent(kLatencyVideo, 1000);
  // Queued with no capture on this thread (silence filled in, or a delayed
  // push): not a message of the measured path.
  LatencyQueued(kLatencyAudio, 1021);
  LatencyTaken(kLatencyAudio, 1021);
  LatencySent(kLatencyAudio, 1021);
  // Header messages reach librtmp without having been queued.
  LatencySent(kLatencyVideo, 0);

  auto report = ParseReport(LatencyReport());
  EXPECT_EQ(report["video"]["count"], 1);
  EXPECT_EQ(report["audio"]["count"], 1);
  EXPECT_EQ(report["all"]["count"], 2);
  const auto& video = report["video"];
  EXPECT_GE(video.at("hold_p50_us"), 20000) << "the sorter's wait is the hold";
  EXPECT_LE(std::llabs(video.at("total_p50_us") - video.at("processing_p50_us") - video.at("hold_p50_us")), 1)
      << "total = processing + hold";
  EXPECT_LT(report["audio"]["hold_p50_us"], video.at("hold_p50_us")) << "audio took the video's stamps";
  EXPECT_EQ(report.count("skew"), 1u);
}

}  // namespace
