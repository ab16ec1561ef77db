#include "AudioTranscoders.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "Debugs.h"

namespace {

constexpr int64_t kBitRate = 64000;

}  // namespace

int TAudioTranscoder::OutputRate(int inputRate) {
  for (int rate : {16000, 22050, 24000, 32000, 44100, 48000})
    if (rate == inputRate) return rate;
  return inputRate < 16000 ? 16000 : 48000;
}

std::unique_ptr<TAudioTranscoder> TAudioTranscoder::Create(const AVCodecParameters& input, AVRational timeBase) {
  const AVCodec* decoder = avcodec_find_decoder(input.codec_id);
  const AVCodec* encoder = avcodec_find_encoder_by_name("aac");
  if (decoder == nullptr || encoder == nullptr || input.sample_rate <= 0) return nullptr;
  std::unique_ptr<TAudioTranscoder> t(new TAudioTranscoder());
  t->timeBase_ = timeBase;
  t->decoder_ = avcodec_alloc_context3(decoder);
  if (t->decoder_ == nullptr || avcodec_parameters_to_context(t->decoder_, &input) < 0) return nullptr;
  t->decoder_->pkt_timebase = timeBase;
  if (avcodec_open2(t->decoder_, decoder, nullptr) < 0) return nullptr;

  t->rate_ = OutputRate(input.sample_rate);
  AVCodecContext* e = t->encoder_ = avcodec_alloc_context3(encoder);
  if (e == nullptr) return nullptr;
  e->sample_fmt = AV_SAMPLE_FMT_FLTP;
  e->sample_rate = t->rate_;
  av_channel_layout_default(&e->ch_layout, 1);
  e->bit_rate = kBitRate;
  e->profile = FF_PROFILE_AAC_LOW;
  e->time_base = AVRational{1, t->rate_};
  e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // the AudioSpecificConfig in extradata
  if (avcodec_open2(e, encoder, nullptr) < 0 || e->extradata_size < 2 || e->frame_size <= 0) return nullptr;
  // The two bytes of AAC-LC's core config: the encoder appends an explicit
  // "no SBR" extension that ADTS cannot carry and some players stumble on.
  t->config_.assign(e->extradata, e->extradata + 2);

  t->fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 1, e->frame_size * 4);
  t->decoded_ = av_frame_alloc();
  t->frame_ = av_frame_alloc();
  t->packet_ = av_packet_alloc();
  if (t->fifo_ == nullptr || t->decoded_ == nullptr || t->frame_ == nullptr || t->packet_ == nullptr) return nullptr;
  t->frame_->format = AV_SAMPLE_FMT_FLTP;
  t->frame_->sample_rate = t->rate_;
  t->frame_->nb_samples = e->frame_size;
  if (av_channel_layout_copy(&t->frame_->ch_layout, &e->ch_layout) < 0 || av_frame_get_buffer(t->frame_, 0) < 0)
    return nullptr;
  return t;
}

TAudioTranscoder::~TAudioTranscoder() {
  avcodec_free_context(&decoder_);
  avcodec_free_context(&encoder_);
  swr_free(&resampler_);
  if (fifo_ != nullptr) av_audio_fifo_free(fifo_);
  av_frame_free(&decoded_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
}

void TAudioTranscoder::AddPacket(const AVPacket& packet, const TOutput& output) {
  if (avcodec_send_packet(decoder_, &packet) < 0) return;
  while (avcodec_receive_frame(decoder_, decoded_) >= 0) {
    Resample(*decoded_);
    av_frame_unref(decoded_);
  }
  Encode(output);
}

// Made from the first decoded frame: some decoders say their layout only then.
bool TAudioTranscoder::MakeResampler(const AVFrame& frame) {
  AVChannelLayout layout{};
  if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
    av_channel_layout_default(&layout, frame.ch_layout.nb_channels);
  else if (av_channel_layout_copy(&layout, &frame.ch_layout) < 0)
    return false;
  int error = swr_alloc_set_opts2(&resampler_, &encoder_->ch_layout, encoder_->sample_fmt, rate_, &layout,
                                  static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
  av_channel_layout_uninit(&layout);
  if (error < 0 || swr_init(resampler_) < 0) {
    swr_free(&resampler_);
    DebugLog("trel32: the device's sound cannot be resampled");
    return false;
  }
  return true;
}

void TAudioTranscoder::Resample(const AVFrame& frame) {
  if (frame.nb_samples <= 0 || (resampler_ == nullptr && !MakeResampler(frame))) return;
  // Times come from the device's clock: the first frame sets it, and a gap
  // (packets the device or network lost) moves it on, so that the AAC frames
  // stay with the pictures. Never back: the times only grow.
  int64_t pts = frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
  if (pts != AV_NOPTS_VALUE) {
    int64_t at = av_rescale_q(pts, timeBase_, AVRational{1, rate_});
    int64_t expected = nextPts_ + av_audio_fifo_size(fifo_);
    if (!timed_) nextPts_ = at;
    else if (at - expected > rate_ / 5) nextPts_ += at - expected;
    timed_ = true;
  }
  int capacity = swr_get_out_samples(resampler_, frame.nb_samples);
  if (capacity <= 0) return;
  converted_.resize(static_cast<size_t>(capacity));
  auto* out = reinterpret_cast<uint8_t*>(converted_.data());
  int made = swr_convert(resampler_, &out, capacity, const_cast<const uint8_t**>(frame.extended_data),
                         frame.nb_samples);
  void* planes[] = {out};
  if (made > 0) av_audio_fifo_write(fifo_, planes, made);
}

void TAudioTranscoder::Encode(const TOutput& output) {
  const int frameSize = encoder_->frame_size;
  while (av_audio_fifo_size(fifo_) >= frameSize) {
    if (av_frame_make_writable(frame_) < 0) return;
    void* planes[] = {frame_->data[0]};
    av_audio_fifo_read(fifo_, planes, frameSize);
    frame_->pts = nextPts_;
    nextPts_ += frameSize;
    if (avcodec_send_frame(encoder_, frame_) < 0) return;
    while (avcodec_receive_packet(encoder_, packet_) >= 0) {
      if (packet_->size > 0)
        output(packet_->data, static_cast<size_t>(packet_->size),
               av_rescale_q(packet_->pts, AVRational{1, rate_}, AVRational{1, 1000000}));
      av_packet_unref(packet_);
    }
  }
}
