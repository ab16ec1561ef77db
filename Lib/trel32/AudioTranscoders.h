// Sound a streaming server will not take (G.711 A-law and mu-law, as most IP
// cameras send, or anything else FFmpeg decodes) made into AAC-LC, so that the
// library's owner sees AAC as from any device: mono, 64 kbit/s, frames of
// 1024 samples timed on the device's audio clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

struct SwrContext;
struct AVAudioFifo;

class TAudioTranscoder {
 public:
  // One raw AAC frame (no header) and its time in microseconds, on the same
  // clock as the input packets' times.
  using TOutput = std::function<void(const uint8_t* frame, size_t size, int64_t timeUs)>;

  // Null when FFmpeg has no decoder for the stream or does not say its rate.
  static std::unique_ptr<TAudioTranscoder> Create(const AVCodecParameters& input, AVRational timeBase);
  ~TAudioTranscoder();
  TAudioTranscoder(const TAudioTranscoder&) = delete;
  TAudioTranscoder& operator=(const TAudioTranscoder&) = delete;

  // The AAC encoder's AudioSpecificConfig.
  const std::vector<uint8_t>& Config() const { return config_; }
  int SampleRate() const { return rate_; }

  // Decodes one packet and hands out every AAC frame it completes. A packet
  // that does not decode is lost alone.
  void AddPacket(const AVPacket& packet, const TOutput& output);

  // The AAC rate for an input rate: a rate AAC players all take, never below
  // 16 kHz (at 8 kHz, AAC-LC mono tops out near 48 kbit/s).
  static int OutputRate(int inputRate);

 private:
  TAudioTranscoder() = default;
  bool MakeResampler(const AVFrame& frame);
  void Resample(const AVFrame& frame);
  void Encode(const TOutput& output);

  AVCodecContext* decoder_ = nullptr;
  AVCodecContext* encoder_ = nullptr;
  SwrContext* resampler_ = nullptr;
  AVAudioFifo* fifo_ = nullptr;
  AVFrame* decoded_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVRational timeBase_{1, 1};
  int rate_ = 0;
  std::vector<uint8_t> config_;
  std::vector<float> converted_;
  bool timed_ = false;
  int64_t nextPts_ = 0;  // output samples: the time of the oldest sample in the FIFO
};
