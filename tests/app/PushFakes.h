// Fakes of the controller's three seams: they record every call and can be
// told to fail, so the per-sample path and the start and stop sequences can
// be driven without a device, a server or a delay.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "PushSeams.h"

namespace fakes {

struct TSent {
  char kind;  // 'V' video, 'A' audio
  std::vector<uint8_t> data;
  uint32_t timeMs;
  bool isKey;
};

class TFakeSender : public TSender {
 public:
  int openResult = 0;
  int headerResult = 0;
  std::atomic<bool> mediaResult{true};  // the supervising thread reads it too
  std::function<void()> onHeader;  // runs inside SendHeader
  std::function<void()> onMedia;   // runs inside SendVideo / SendAudio
  // GetStats answers (with `stats`) only when this is set; the other fields
  // are guarded by `mutex`.
  bool withStats = false;
  TVelmaroStats stats{};
  std::string fatal;             // FatalReason's answer
  uint32_t refuseUpTo = 0;       // media this short is refused, the link stays fine
  std::vector<int> openResults;  // the next Opens' results, then openResult

  int Open(const char* url, void** handle) override {
    std::lock_guard<std::mutex> lock(mutex);
    urls.emplace_back(url);
    int result = openResult;
    if (!openResults.empty()) {
      result = openResults.front();
      openResults.erase(openResults.begin());
    }
    *handle = result == 0 ? &handleTarget : nullptr;
    return result;
  }
  bool GetStats(void*, TVelmaroStats* out) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (withStats) *out = stats;
    return withStats;
  }
  std::string FatalReason(void*) override {
    std::lock_guard<std::mutex> lock(mutex);
    return fatal;
  }
  int SendHeader(void* handle, const TMediaHeader* header) override {
    if (onHeader) onHeader();
    std::lock_guard<std::mutex> lock(mutex);
    CheckHandle(handle);
    headers.push_back(*header);
    return headerResult;
  }
  bool SendVideo(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey) override {
    if (onMedia) onMedia();
    std::lock_guard<std::mutex> lock(mutex);
    CheckHandle(handle);
    if (length <= refuseUpTo) return false;
    sent.push_back({'V', {data, data + length}, timeMs, isKey});
    return mediaResult;
  }
  bool SendAudio(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs) override {
    if (onMedia) onMedia();
    std::lock_guard<std::mutex> lock(mutex);
    CheckHandle(handle);
    if (length <= refuseUpTo) return false;
    sent.push_back({'A', {data, data + length}, timeMs, false});
    return mediaResult;
  }
  bool Close(void* handle) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (handle != &handleTarget) ++foreignHandles;
    ++closes;
    return handle != nullptr;
  }

  std::vector<TSent> Sent() {
    std::lock_guard<std::mutex> lock(mutex);
    return sent;
  }
  size_t HeaderCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return headers.size();
  }
  void Forget() {
    std::lock_guard<std::mutex> lock(mutex);
    sent.clear();
  }

  std::mutex mutex;
  int handleTarget = 0;
  std::vector<std::string> urls;
  std::vector<TMediaHeader> headers;
  std::vector<TSent> sent;
  int closes = 0;
  int foreignHandles = 0;  // Close or a send with a handle Open never gave

 private:
  void CheckHandle(void* handle) {
    if (handle != &handleTarget) ++foreignHandles;
  }
};

// Accepts everything and keeps nothing: for measuring and counting the
// controller's own work.
class TNullSender : public TSender {
 public:
  int Open(const char*, void** handle) override {
    *handle = this;
    return 0;
  }
  int SendHeader(void*, const TMediaHeader*) override { return 0; }
  bool SendVideo(void*, const uint8_t*, uint32_t, uint32_t, bool) override { return ++calls > 0; }
  bool SendAudio(void*, const uint8_t*, uint32_t, uint32_t) override { return ++calls > 0; }
  bool Close(void*) override { return true; }
  long calls = 0;
};

class TFakeCapturer : public TCaptureDevice {
 public:
  int connectResult = 0;
  int startResult = 0;
  TCaptureInfo info = DefaultInfo();
  std::function<void()> onConnect;
  std::atomic<int> connectCancels{0};

  static TCaptureInfo DefaultInfo() {
    TCaptureInfo i;
    i.VideoWidth = 1280;
    i.VideoHeight = 720;
    i.VideoFrameRate = 25;
    i.AudioSampleRate = 48000;
    i.AudioChannels = 2;
    i.Sps = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1F};
    i.Pps = {0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
    return i;
  }

  void SetOnSample(TSampleEvent handler) override { onSample = std::move(handler); }
  void CancelConnect() override { ++connectCancels; }
  int Connect(const std::string& address, const std::string& user, const std::string& password, uint8_t isIPC,
              int32_t rtspPort, int32_t httpPort, bool isHD) override {
    if (onConnect) onConnect();
    lastUser = user;
    lastIpc = isIPC;
    calls.push_back("Connect " + address + " " + password + " " + std::to_string(rtspPort) + " " +
                    std::to_string(httpPort) + (isHD ? " HD" : " SD"));
    return connectResult;
  }
  int StartCapture() override {
    calls.push_back("StartCapture");
    capturing = startResult == 0;
    return startResult;
  }
  int StopCapture() override {
    calls.push_back("StopCapture");
    capturing = false;
    return 0;
  }
  void Disconnect() override { calls.push_back("Disconnect"); }
  TCaptureInfo Info() const override { return info; }

  void Deliver(uint8_t code, uint8_t frameType, const std::vector<uint8_t>& data, int64_t ticks) {
    if (onSample) onSample(code, frameType, data.data(), static_cast<int32_t>(data.size()), ticks);
  }

  TSampleEvent onSample;
  std::vector<std::string> calls;  // main thread only
  std::string lastUser;
  int lastIpc = -1;
  std::atomic<bool> capturing{false};
};

// A delay buffer that holds samples until the test releases them.
class TFakeDelayBuffer : public TDelayBuffer {
 public:
  struct THeld {
    int kind;
    std::vector<uint8_t> data;
    int64_t timeMs;
    bool isKey;
  };
  struct TLog {
    int created = 0, started = 0, stops = 0, destroyed = 0;
    uint32_t delay = 0;
  };

  explicit TFakeDelayBuffer(TLog& log) : FLog(log) { ++FLog.created; }
  ~TFakeDelayBuffer() override { ++FLog.destroyed; }
  int SetDelay(uint32_t ms) override {
    FLog.delay = ms;
    return 0;
  }
  void SetOnSample(TReleaseEvent handler) override { FOnSample = std::move(handler); }
  void Start() override { ++FLog.started; }
  void AddSample(int kind, const void* data, int32_t length, int64_t timeMs, bool isKey) override {
    std::lock_guard<std::mutex> lock(FMutex);
    auto bytes = static_cast<const uint8_t*>(data);
    held.push_back({kind, {bytes, bytes + length}, timeMs, isKey});
  }
  void Stop() override { ++FLog.stops; }

  // Releases every held sample through OnSample, on the calling thread.
  void ReleaseAll() {
    std::vector<THeld> out;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      out.swap(held);
    }
    for (const THeld& h : out)
      FOnSample(h.kind, h.data.data(), static_cast<int32_t>(h.data.size()), h.timeMs, h.isKey);
  }
  std::vector<THeld> Held() {
    std::lock_guard<std::mutex> lock(FMutex);
    return held;
  }

 private:
  TLog& FLog;
  TReleaseEvent FOnSample;
  std::mutex FMutex;
  std::vector<THeld> held;
};

}  // namespace fakes
