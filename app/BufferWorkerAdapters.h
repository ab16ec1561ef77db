// The delay buffer seam of the push controller, on the real TBufferWorker.
#pragma once

#include <memory>

#include "BufferWorkers.h"
#include "PushSeams.h"

class TBufferWorkerAdapter : public TDelayBuffer {
 public:
  // `ticks` is the worker's clock: the shared ticker unless a test injects one.
  explicit TBufferWorkerAdapter(TTickSource ticks = nullptr) : FWorker(ticks) {}

  int SetDelay(uint32_t ms) override { return FWorker.SetDelay(ms); }
  void SetOnSample(TReleaseEvent handler) override { FWorker.OnSample = std::move(handler); }
  void Start() override { FWorker.Start(); }
  void AddSample(int kind, const void* data, int32_t length, int64_t timeMs, bool isKey) override {
    FWorker.AddSample(kind, data, length, timeMs, isKey);
  }
  void Stop() override { FWorker.Stop(); }
  uint32_t FramesDropped() const override { return FWorker.FramesDropped(); }
  int64_t TimeOffsetMs() const override { return FWorker.TimeOffset(); }

 private:
  TBufferWorker FWorker;
};

// The factory the program gives the controller: a fresh worker per push.
TDelayBufferFactory BufferWorkerFactory(TTickSource ticks = nullptr);
