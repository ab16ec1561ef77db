// A real RTMP server that takes enhanced RTMP (H.265 as 'hvc1' video tags),
// which nginx-rtmp drops: the npm package tests/node installs, started for
// one test on free loopback ports and recording every published stream.
#pragma once

#include <chrono>
#include <string>

#include "Processes.h"

namespace testsupport {

class TNodeMediaServer {
 public:
  TNodeMediaServer();  // picks free ports and a fresh folder; does not start
  ~TNodeMediaServer();

  // Starts the server and waits until it accepts connections; throws when
  // it is not installed (scripts/test.sh installs it) or does not start.
  void Start();
  void Stop();

  // rtmp://127.0.0.1:<port>/live/<stream>
  std::string PublishUrl(const std::string& stream) const;
  // The stream's recording (the server names it by the time it began); empty
  // while there is none.
  std::string RecordingPath(const std::string& stream) const;
  bool WaitForRecording(const std::string& stream, std::chrono::milliseconds timeout) const;
  std::string Log() const { return ReadWholeFile(dir_.File("server.log")); }

 private:
  TTempDir dir_{"tidecast-nms"};
  int rtmpPort_;
  TChildProcess process_;
};

}  // namespace testsupport
