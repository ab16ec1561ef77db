// The whole program in one test process: the main window (offscreen) with the
// real capturer on the client library, the real delay buffer and the real
// sender library, pushing from the device simulator to nginx-rtmp. Error
// boxes are recorded instead of shown.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DeviceSimulator.h"
#include "NginxRtmp.h"
#include "Processes.h"
#include "TidecastMains.h"
#include "Trel32CaptureDevices.h"
#include "VelmaroSenders.h"

namespace testsupport {

// The client library, once for the process, as the program starts it.
class TTrel32Environment : public testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;

 private:
  std::unique_ptr<TTrel32Library> library_;
};

// The real sender, counting what it is asked to do and what it answers.
class TObservedSender : public TVelmaroSender {
 public:
  int SendHeader(void* handle, const TMediaHeader* header) override;
  bool SendVideo(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey) override;
  bool SendAudio(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs) override;

  std::atomic<int> headers{0};
  std::atomic<int> accepted{0};
  std::atomic<int> refused{0};
  std::atomic<int> acceptedAfterRefusal{0};  // a refusing handle that took media again

 private:
  void Count(bool ok);
};

struct TBox {
  QString text, caption;
};

// Threads of this process, from /proc.
int ThreadCount();
// Keeps the window's messages flowing (its timer, queued reports) while waiting.
void RunFor(std::chrono::milliseconds time);
bool RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
double SecondsSince(std::chrono::steady_clock::time_point start);

struct TWindowRig {
  TNginxRtmp nginx;
  TDeviceSimulator device;
  TTempDir dir{"tidecast-window-rig"};
  TConfig config{dir.Path() + "/Orvane/Tidecast.reg"};
  TObservedSender sender;
  TTrel32CaptureDevice capturer;
  std::unique_ptr<TTidecastMain> window;
  std::vector<TBox> boxes;

  // Starts nginx and the device and fills the form to push from one to the
  // other as stream `stream`.
  explicit TWindowRig(TDeviceSimulatorOptions options = {}, int delaySeconds = 0, std::string stream = "e2e");

  // Presses start and waits until the recording holds more than `videoTags`
  // video tags; a fatal failure when the start shows a box or media does not
  // arrive within 20 s.
  void StartUntilRecorded(size_t videoTags);
  std::string RecordingPath() const { return nginx.RecordingPath(stream_); }
  // Video tags of the recording so far, without sequence headers (0 while
  // nginx has none).
  size_t RecordedVideoTags() const;
  // Presses stop, prints how long it took and expects the push ended and
  // within a bound that only a hang exceeds.
  void StopPromptly(const char* what);
  // Presses stop and waits for nginx to finish the recording.
  std::string StopAndRecord();

 private:
  std::string stream_;
};

}  // namespace testsupport
