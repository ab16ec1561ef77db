// The device simulator (build/bin/devsim) as a test fixture: started on free
// loopback ports, its request log readable, stoppable and restartable on the
// same ports.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Processes.h"

namespace testsupport {

struct TDeviceSimulatorOptions {
  std::string user = "admin";
  std::string password = "admin";
  int width = 320;
  int height = 240;
  int frameRate = 25;
  int keyInterval = 25;
  int slices = 2;
  bool video = true;
  bool audio = true;
  int audioRate = 48000;
  int audioChannels = 2;
  std::optional<std::string> logonReply;
  bool inBandSets = false;  // parameter sets only in the stream
  bool noSets = false;      // no parameter sets at all
  int resizeAfter = 0;      // seconds; 0: one picture size throughout
  int resizeWidth = 640, resizeHeight = 480;
  bool heAac = false;            // described as HE-AAC at audioRate
  std::string rtspAuth = "none";  // "basic", "digest"
  const char* videoCodec = "h264";  // "h265", "mjpeg"
  const char* audioCodec = "aac";   // "pcma", "pcmu" (8 kHz mono)
};

class TDeviceSimulator {
 public:
  explicit TDeviceSimulator(TDeviceSimulatorOptions options = {});
  // Starts it (again, on the same ports) and waits until it reports ready.
  // Throws std::runtime_error when it does not come up within 15 s.
  void Start();
  void Stop();

  int HttpPort() const { return httpPort_; }
  int RtspPort() const { return rtspPort_; }
  pid_t Pid() const { return process_.Pid(); }
  bool Running() { return process_.Running(); }
  // rtsp://127.0.0.1:PORT + pathAndQuery
  std::string RtspUrl(const std::string& pathAndQuery) const;
  // Every line the simulator has logged so far (across restarts).
  std::vector<std::string> LogLines() const;
  // The logged request lines that contain `text`.
  std::vector<std::string> Requests(const std::string& text) const;

 private:
  TDeviceSimulatorOptions options_;
  TTempDir dir_{"tidecast-devsim"};
  TChildProcess process_;
  int httpPort_ = 0;
  int rtspPort_ = 0;
};

}  // namespace testsupport
