// A real nginx with the RTMP module on a free loopback port, started for one
// test (or one test binary) with a generated configuration that records every
// published stream as <RecordDir()>/<stream>.flv.
#pragma once

#include <chrono>
#include <string>

#include "Processes.h"

namespace testsupport {

class TNginxRtmp {
 public:
  TNginxRtmp();  // picks a free port and a fresh folder; does not start
  ~TNginxRtmp();

  // Starts nginx and waits until it accepts connections; throws on failure.
  void Start();
  // Ends nginx (SIGQUIT lets it close recordings, SIGKILL after the grace).
  void Stop();
  // SIGKILL: the server goes away without closing anything.
  void Kill();
  // SIGSTOP / SIGCONT: the server stops reading and answering, then resumes.
  void Pause();
  void Resume();
  bool Running() { return process_.Running(); }

  int Port() const { return port_; }
  std::string Application() const { return "hls"; }
  // rtmp://127.0.0.1:<port>/hls/<stream>
  std::string PublishUrl(const std::string& stream) const;
  std::string RecordDir() const { return recordDir_; }
  std::string RecordingPath(const std::string& stream) const;
  // Waits until the recording of the stream exists and has not grown for the
  // settle time (nginx finishes it after the publisher goes away).
  bool WaitForRecording(const std::string& stream, std::chrono::milliseconds timeout,
                        std::chrono::milliseconds settle = std::chrono::milliseconds(500)) const;
  std::string ErrorLog() const;

 private:
  void WriteConfig() const;

  TTempDir dir_{"tidecast-nginx"};
  std::string recordDir_;
  int port_;
  TChildProcess process_;
};

}  // namespace testsupport
