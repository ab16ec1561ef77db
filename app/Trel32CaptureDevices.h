// The capturer seam of the push controller, on the real TTrel32Capturer, and
// the client library's start-up and shut-down for the process.
#pragma once

#include "PushSeams.h"
#include "Trel32Capturers.h"

class TTrel32CaptureDevice : public TCaptureDevice {
 public:
  void SetOnSample(TSampleEvent handler) override { FCapturer.OnSample = std::move(handler); }
  int Connect(const std::string& address, const std::string& user, const std::string& password, uint8_t isIPC,
              int32_t rtspPort, int32_t httpPort, bool isHD) override {
    return FCapturer.Connect(address, user, password, isIPC, rtspPort, httpPort, isHD);
  }
  int StartCapture() override { return FCapturer.StartCapture(); }
  int StopCapture() override { return FCapturer.StopCapture(); }
  void Disconnect() override { FCapturer.Disconnect(); }
  TCaptureInfo Info() const override;
  void RestartStream() override { FCapturer.RestartStream(); }
  void CancelConnect() override { CancelConnects(); }
  // CancelConnect for every capturer of the process (a quit signal).
  static void CancelConnects();

  const TTrel32Capturer& Capturer() const { return FCapturer; }

 private:
  TTrel32Capturer FCapturer;
};

// trel32Init for the lifetime of the object (trel32Uninit at its end);
// throws EAssertionFailed when the library refuses to start.
class TTrel32Library {
 public:
  TTrel32Library() { Trel32CapturersStartup(); }
  ~TTrel32Library() { Trel32CapturersShutdown(); }
  TTrel32Library(const TTrel32Library&) = delete;
  TTrel32Library& operator=(const TTrel32Library&) = delete;
};
