#include "RtspClients.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "Debugs.h"
#include "ReconnectSchedules.h"
#include "h264utils.h"
#include "SequenceParameterSets.h"

namespace {

constexpr int64_t kSocketTimeoutUs = 5'000'000;  // RTSP socket I/O: a silent server fails after this
constexpr int64_t kOpenDeadlineUs = 10'000'000;  // the whole open, whatever the server does
constexpr int64_t kCloseGraceUs = 500'000;       // for TEARDOWN on the way out
constexpr int kDefaultFrameRate = 25;
constexpr size_t kMaxHeldBytes = 8 << 20;        // samples kept before the first registration
constexpr size_t kMaxUrlLength = 4096;           // a URL a source may give for a reconnect
// Without parameter sets in the description, how long Open waits for the
// first in-band SPS and PPS, counted from the first media (the answer to
// PLAY; a device sends them before each IDR picture, every few seconds).
constexpr int64_t kInBandSetsWaitUs = 5'000'000;

bool IsAsciiDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// rtsp://[user[:password]@]host[:port][/path][?query]
bool IsRtspUrl(const std::string& url) {
  const std::string scheme = "rtsp://";
  if (url.size() <= scheme.size()) return false;
  for (size_t i = 0; i < scheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return false;
  std::string authority = url.substr(scheme.size(), url.find_first_of("/?", scheme.size()) - scheme.size());
  authority = authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
  if (authority.empty() || authority.find_first_of(" \t\r\n") != std::string::npos) return false;
  size_t colon = authority.rfind(':');
  if (colon == std::string::npos || authority.back() == ']') return true;
  std::string port = authority.substr(colon + 1);
  return colon > 0 && IsAsciiDigits(port) && port.size() <= 5 && std::stoi(port) >= 1 && std::stoi(port) <= 65535;
}

// Our code for a failed open. A server that accepts and never answers makes
// libavformat report invalid data, not a time-out, so the time taken decides.
int32_t CodeOfOpenError(int error, int64_t elapsedUs, bool deadlinePassed) {
  if (deadlinePassed || error == AVERROR(ETIMEDOUT)) return TREL32_E_TIMEOUT;
  switch (error) {
    case AVERROR(ECONNREFUSED):
    case AVERROR(EHOSTUNREACH):
    case AVERROR(ENETUNREACH):
    case AVERROR(ENETDOWN):
    case AVERROR(EADDRNOTAVAIL):
    case AVERROR(EIO):  // what a failed name look-up becomes
      return TREL32_E_UNREACHABLE;
    case AVERROR_HTTP_NOT_FOUND:
    case AVERROR_STREAM_NOT_FOUND:
    case AVERROR(ENOENT):
      return TREL32_E_NOT_FOUND;
    case AVERROR_HTTP_UNAUTHORIZED:
    case AVERROR_HTTP_FORBIDDEN:
    case AVERROR(EACCES):
    case AVERROR(EPERM):
      return TREL32_E_NOT_AUTHORISED;
    default:
      break;
  }
  if (error == AVERROR_INVALIDDATA && elapsedUs >= kSocketTimeoutUs * 9 / 10) return TREL32_E_TIMEOUT;
  return TREL32_E_PROTOCOL;
}

std::string ErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

int RoundedFrameRate(const AVStream& stream) {
  AVRational rate = stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return kDefaultFrameRate;
  auto rounded = static_cast<int>(std::lround(av_q2d(rate)));
  return rounded >= 1 && rounded <= 240 ? rounded : kDefaultFrameRate;
}

// The first VPS (H.265 only), SPS and PPS of Annex B data.
struct TParameterSets {
  std::vector<uint8_t> vps, sps, pps;
  bool Complete(bool hevc) const { return !sps.empty() && !pps.empty() && (!hevc || !vps.empty()); }
};

TParameterSets FindParameterSets(const uint8_t* data, size_t size, bool hevc) {
  TParameterSets sets;
  if (data == nullptr) return sets;
  ForEachNalUnit(data, size, [&](const uint8_t* nal, size_t length) {
    int type = NalUnitTypeOf(nal, hevc);
    std::vector<uint8_t>* set = nullptr;
    if (hevc) set = type == kHevcNalVps ? &sets.vps : type == kHevcNalSps ? &sets.sps : type == kHevcNalPps ? &sets.pps : nullptr;
    else set = type == kNalTypeSps ? &sets.sps : type == kNalTypePps ? &sets.pps : nullptr;
    if (set != nullptr && set->empty()) set->assign(nal, nal + length);
  });
  return sets;
}

void AppendAnnexB(std::vector<uint8_t>& target, const std::vector<uint8_t>& nal) {
  static const uint8_t kStartCode[] = {0, 0, 0, 1};
  target.insert(target.end(), std::begin(kStartCode), std::end(kStartCode));
  target.insert(target.end(), nal.begin(), nal.end());
}

// An H.265 picture's size and frame rate, as FFmpeg's parser reads them from
// the parameter sets and a slice that refers to them (hand-reading an H.265
// SPS means its profile, layer and VUI syntax: the parser knows them all).
bool ReadHevcPictureInfo(const std::vector<uint8_t>& stream, TSequenceInfo& info) {
  AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_HEVC);
  AVCodecContext* context = avcodec_alloc_context3(nullptr);
  bool read = false;
  if (parser != nullptr && context != nullptr) {
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(parser, context, &out, &outSize, stream.data(), static_cast<int>(stream.size()),
                     AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    read = parser->width > 0 && parser->height > 0;
    info.Width = parser->width;
    info.Height = parser->height;
    AVRational rate = context->framerate;
    info.FrameRate = rate.num > 0 && rate.den > 0 ? static_cast<int32_t>(std::lround(av_q2d(rate))) : 0;
    if (info.FrameRate > 240) info.FrameRate = 0;
  }
  avcodec_free_context(&context);
  if (parser != nullptr) av_parser_close(parser);
  return read;
}

void StoreParameterSet(const std::vector<uint8_t>& set, uint8_t* buffer, int32_t* length) {
  static const uint8_t kStartCode[] = {0, 0, 0, 1};
  std::memcpy(buffer, kStartCode, sizeof kStartCode);
  std::memcpy(buffer + sizeof kStartCode, set.data(), set.size());
  *length = static_cast<int32_t>(set.size() + sizeof kStartCode);
}

}  // namespace

TRtspClient::TRtspClient(int32_t channel, std::string url)
    : channel_(channel),
      url_(std::move(url)),
      assembler_([this](const std::vector<uint8_t>& unit, bool idr, int64_t time, int64_t nextTime) {
        DeliverAccessUnit(unit, idr, time, nextTime);
      }),
      videoClock_(90000, 90),  // a time at or before the last one moves on by 1 ms
      audioClock_(1, 1) {}

TRtspClient::~TRtspClient() { Close(); }

namespace {
// Bumped by CancelOpens; an Open that sees it change since it began gives up.
std::atomic<uint32_t> openCancels{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "trel32CancelOpen must be async-signal-safe");
constexpr auto kCancelPollStep = std::chrono::milliseconds(50);
}  // namespace

void TRtspClient::CancelOpens() { openCancels.fetch_add(1); }

bool TRtspClient::OpenCancelled() const {
  return opening_.load(std::memory_order_relaxed) &&
         openCancels.load(std::memory_order_relaxed) != openGeneration_.load(std::memory_order_relaxed);
}

std::chrono::milliseconds TRtspClient::ReconnectPause(int attempt) {
  return std::chrono::milliseconds(1000 * ReconnectPauseSeconds(attempt + 1));  // attempt counts from 0 here
}

int TRtspClient::Interrupted(void* opaque) {
  auto* self = static_cast<TRtspClient*>(opaque);
  // Runs thousands of times while a stream opens: atomics, and the clock
  // only while a deadline is set.
  if (self->stopping_.load(std::memory_order_relaxed) && !self->closing_.load(std::memory_order_relaxed))
    return 1;
  if (self->restartRequested_.load(std::memory_order_relaxed) && self->reading_.load(std::memory_order_relaxed))
    return 1;
  if (self->OpenCancelled()) return 1;
  int64_t deadline = self->deadlineUs_.load(std::memory_order_relaxed);
  return deadline != 0 && WallMicroseconds() > deadline ? 1 : 0;
}

int32_t TRtspClient::OpenSession(TSession& session) {
  if (!IsRtspUrl(url_)) return TREL32_E_BAD_URL;
  AVFormatContext* format = avformat_alloc_context();
  if (format == nullptr) return TREL32_E_INTERNAL;
  format->interrupt_callback = {&TRtspClient::Interrupted, this};
  // Enough to learn every field in about 0.2 s instead of 1.1 s; the probed
  // packets stay queued, so the first IDR picture is not lost.
  format->probesize = 32768;
  format->max_analyze_duration = 200000;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "rtsp_transport", "tcp", 0);
  av_dict_set_int(&options, "timeout", kSocketTimeoutUs, 0);  // µs; bounds connect and every read

  int64_t started = WallMicroseconds();
  deadlineUs_.store(started + kOpenDeadlineUs);
  int error = avformat_open_input(&format, url_.c_str(), nullptr, &options);
  // An option libavformat did not take is silently ignored: make it loud.
  bool optionLeft = false;
  for (const AVDictionaryEntry* entry = nullptr;
       error >= 0 && (entry = av_dict_get(options, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr;) {
    DebugLogFmt("trel32: option %s not taken", entry->key);
    optionLeft = true;
  }
  av_dict_free(&options);
  // PLAY is answered: media flows from here on, the probe reads the first of it.
  if (error >= 0 && firstMediaUs_.load() == 0) firstMediaUs_.store(WallMicroseconds());
  if (error >= 0 && !optionLeft) error = avformat_find_stream_info(format, nullptr);
  bool deadlinePassed = WallMicroseconds() > deadlineUs_.load();
  deadlineUs_.store(0);
  if (error < 0 || optionLeft) {
    DebugLogFmt("trel32: channel %d open failed: %s", channel_, ErrorText(error).c_str());
    avformat_close_input(&format);
    if (optionLeft) return TREL32_E_INTERNAL;
    if (OpenCancelled()) return TREL32_E_CANCELLED;
    return stopping_.load() ? TREL32_E_PROTOCOL : CodeOfOpenError(error, WallMicroseconds() - started, deadlinePassed);
  }

  TSession opened;
  opened.format = format;
  ChooseStreams(opened);
  for (unsigned i = 0; i < format->nb_streams; ++i)
    if (static_cast<int>(i) != opened.video && static_cast<int>(i) != opened.audio)
      format->streams[i]->discard = AVDISCARD_ALL;
  if (opened.video < 0) {
    DebugLogFmt("trel32: channel %d has %s video", channel_,
                opened.videoName.empty() ? "no" : ("unsupported " + opened.videoName).c_str());
    int32_t code = opened.videoName.empty() ? TREL32_E_NO_VIDEO : TREL32_E_UNSUPPORTED_VIDEO;
    std::string name = opened.videoName;
    CloseSession(opened);
    session.videoName = name;  // for the caller to name what it refused
    return code;
  }
  session = opened;
  return TREL32_OK;
}

// The first H.264 or H.265 video, else the first video's name. Sound: AAC
// with its configuration in the description passes as it is; any other
// sound FFmpeg decodes (LATM included) becomes AAC here; sound it cannot
// decode, and raw AAC frames without a configuration, are named and left out.
void TRtspClient::ChooseStreams(TSession& opened) {
  AVFormatContext* format = opened.format;
  int otherAudio = -1;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodecParameters& codec = *format->streams[i]->codecpar;
    if (codec.codec_type == AVMEDIA_TYPE_VIDEO && opened.video < 0) {
      bool usable = codec.codec_id == AV_CODEC_ID_H264 || codec.codec_id == AV_CODEC_ID_HEVC;
      if (usable || opened.videoName.empty()) opened.videoName = avcodec_get_name(codec.codec_id);
      if (usable) opened.video = static_cast<int>(i);
      opened.hevc = codec.codec_id == AV_CODEC_ID_HEVC;
    }
    if (codec.codec_type != AVMEDIA_TYPE_AUDIO || opened.audio >= 0) continue;
    if (codec.codec_id == AV_CODEC_ID_AAC && codec.extradata_size >= 2 &&
        ParseAudioSpecificConfig(codec.extradata, static_cast<size_t>(codec.extradata_size), opened.aac)) {
      opened.audio = static_cast<int>(i);
      opened.audioName = avcodec_get_name(codec.codec_id);
    } else if (otherAudio < 0) {
      otherAudio = static_cast<int>(i);
    }
  }
  if (opened.video < 0 || opened.audio >= 0 || otherAudio < 0) return;
  const AVStream& audio = *format->streams[otherAudio];
  opened.audioName = avcodec_get_name(audio.codecpar->codec_id);
  std::shared_ptr<TAudioTranscoder> transcoder;
  if (audio.codecpar->codec_id != AV_CODEC_ID_AAC)
    transcoder = TAudioTranscoder::Create(*audio.codecpar, audio.time_base);
  if (transcoder == nullptr || !ParseAudioSpecificConfig(transcoder->Config().data(), transcoder->Config().size(),
                                                         opened.aac)) {
    DebugLogFmt("trel32: channel %d: its %s sound cannot be made AAC, going without", channel_,
                opened.audioName.c_str());
    return;
  }
  opened.audio = otherAudio;
  opened.transcoder = std::move(transcoder);
}

void TRtspClient::CloseSession(TSession& session) {
  if (session.format == nullptr) return;
  // A short grace for TEARDOWN even while stopping; a hung device costs no more.
  closing_.store(true);
  deadlineUs_.store(WallMicroseconds() + kCloseGraceUs);
  avformat_close_input(&session.format);
  deadlineUs_.store(0);
  closing_.store(false);
  session = TSession();
}

int32_t TRtspClient::Open() {
  openGeneration_.store(openCancels.load());
  opening_.store(true);
  struct TOpeningEnds {
    std::atomic<bool>& opening;
    ~TOpeningEnds() { opening.store(false); }
  } openingEnds{opening_};
  int32_t result = OpenSession(session_);
  if (result != TREL32_OK) {
    videoName_ = session_.videoName;  // what was refused, if anything
    return result;
  }
  const AVStream& video = *session_.format->streams[session_.video];
  const AVCodecParameters& codec = *video.codecpar;
  hevc_ = session_.hevc;
  assembler_.SetHevc(hevc_);
  videoName_ = session_.videoName;
  audioName_ = session_.audioName;
  // RTSP gives the parameter sets as Annex B, built from sprop-parameter-sets
  // (H.265: sprop-vps, sprop-sps and sprop-pps).
  TParameterSets described =
      FindParameterSets(codec.extradata, static_cast<size_t>(std::max(codec.extradata_size, 0)), hevc_);
  vps_ = std::move(described.vps);
  sps_ = std::move(described.sps);
  pps_ = std::move(described.pps);
  width_ = codec.width;
  height_ = codec.height;
  frameRate_ = RoundedFrameRate(video);
  hasAudio_ = session_.audio >= 0;
  aac_ = session_.aac;
  audioCodec_ = hasAudio_ ? (session_.transcoder != nullptr ? TREL32_AUDIO_AAC_TRANSCODED : TREL32_AUDIO_AAC)
                          : (audioName_.empty() ? TREL32_AUDIO_NONE : TREL32_AUDIO_UNSUPPORTED);
  if (session_.transcoder != nullptr) {
    audioConfig_ = session_.transcoder->Config();
  } else if (hasAudio_) {
    const AVCodecParameters& audio = *session_.format->streams[session_.audio]->codecpar;
    audioConfig_.assign(audio.extradata, audio.extradata + audio.extradata_size);
  }
  audioClock_.SetRate(hasAudio_ ? aac_.sampleRate : 1, aac_.frameLength);
  // The picture size comes from the first SPS in the stream when the probe
  // did not learn it.
  bool inBand = !TParameterSets{vps_, sps_, pps_}.Complete(hevc_) || width_ <= 0 || height_ <= 0;
  awaitingSets_.store(inBand);
  thread_ = std::thread(&TRtspClient::Run, this);
  threadId_.store(thread_.get_id());
  if (inBand) {
    DebugLogFmt("trel32: channel %d has no parameter sets in its description, waiting for them in the stream",
                channel_);
    if (int32_t awaited = AwaitInBandSets(); awaited != TREL32_OK) {
      Close();
      return awaited;
    }
  }
  std::lock_guard guard(setsLock_);
  DebugLogFmt("trel32: channel %d open: %s %dx%d %d fps, audio %s%s %d Hz %d channels", channel_, videoName_.c_str(),
              width_, height_, frameRate_, audioName_.empty() ? "none" : audioName_.c_str(),
              session_.transcoder != nullptr ? " as AAC" : "", hasAudio_ ? aac_.sampleRate : 0,
              hasAudio_ ? aac_.channelConfig : 0);
  return TREL32_OK;
}

int32_t TRtspClient::AwaitInBandSets() {
  const int64_t deadline = firstMediaUs_.load() + kInBandSetsWaitUs;
  std::unique_lock guard(setsLock_);
  while (awaitingSets_.load()) {
    int64_t now = WallMicroseconds();
    if (OpenCancelled()) return TREL32_E_CANCELLED;
    if (now >= deadline) {
      DebugLogFmt("trel32: channel %d sent no parameter sets in time", channel_);
      return TREL32_E_NO_PARAMETER_SETS;
    }
    setsFound_.wait_for(guard, std::min<std::chrono::microseconds>(std::chrono::microseconds(deadline - now),
                                                                   kCancelPollStep));
  }
  return TREL32_OK;
}

void TRtspClient::TakeInBandSets(const std::vector<uint8_t>& unit) {
  TParameterSets sets = FindParameterSets(unit.data(), unit.size(), hevc_);
  TSequenceInfo info;
  if (hevc_) {
    {  // sets from the description stand in for those the unit lacks
      std::lock_guard guard(setsLock_);
      if (sets.vps.empty()) sets.vps = vps_;
      if (sets.sps.empty()) sets.sps = sps_;
      if (sets.pps.empty()) sets.pps = pps_;
    }
    if (!sets.Complete(true)) return;
    std::vector<uint8_t> stream;
    for (const auto* set : {&sets.vps, &sets.sps, &sets.pps}) AppendAnnexB(stream, *set);
    stream.insert(stream.end(), unit.begin(), unit.end());
    if (!ReadHevcPictureInfo(stream, info)) return;
  } else if (sets.sps.empty() || sets.pps.empty() ||
             !ReadSequenceParameterSet(sets.sps.data(), sets.sps.size(), info)) {
    return;
  }
  {
    std::lock_guard guard(setsLock_);
    vps_ = std::move(sets.vps);
    sps_ = std::move(sets.sps);
    pps_ = std::move(sets.pps);
    width_ = info.Width;
    height_ = info.Height;
    if (info.FrameRate > 0) frameRate_ = info.FrameRate;
    awaitingSets_.store(false);
  }
  setsFound_.notify_all();
}

int32_t TRtspClient::GetParameterSets(uint8_t* sps, int32_t* spsLength, uint8_t* pps, int32_t* ppsLength) const {
  std::lock_guard guard(setsLock_);
  if (sps_.empty() || pps_.empty()) return TREL32_E_NO_PARAMETER_SETS;
  if (sps_.size() + 4 > TREL32_PARAMETER_SET_SIZE || pps_.size() + 4 > TREL32_PARAMETER_SET_SIZE)
    return TREL32_E_SET_TOO_LONG;
  StoreParameterSet(sps_, sps, spsLength);
  StoreParameterSet(pps_, pps, ppsLength);
  return TREL32_OK;
}

int32_t TRtspClient::GetVideoParameterSet(uint8_t* vps, int32_t* vpsLength) const {
  std::lock_guard guard(setsLock_);
  if (vps_.empty()) return TREL32_E_NO_PARAMETER_SETS;
  if (vps_.size() + 4 > TREL32_PARAMETER_SET_SIZE) return TREL32_E_SET_TOO_LONG;
  StoreParameterSet(vps_, vps, vpsLength);
  return TREL32_OK;
}

void TRtspClient::FillMediaInfo(TRtspMediaInfo& info) const {
  std::lock_guard guard(setsLock_);
  info.VideoCodec = hevc_ ? TREL32_VIDEO_H265 : TREL32_VIDEO_H264;
  info.AudioCodec = audioCodec_;
  info.VideoWidth = width_;
  info.VideoHeight = height_;
  info.VideoFrameRate = frameRate_;
  info.AudioSampleRate = hasAudio_ ? aac_.sampleRate : 0;
  info.AudioChannels = hasAudio_ ? aac_.channelConfig : 0;
}

int32_t TRtspClient::GetAudioConfig(uint8_t* config, int32_t capacity, int32_t* length) const {
  if (audioConfig_.size() > static_cast<size_t>(std::max(capacity, 0))) return TREL32_E_SET_TOO_LONG;
  if (!audioConfig_.empty()) std::memcpy(config, audioConfig_.data(), audioConfig_.size());
  *length = static_cast<int32_t>(audioConfig_.size());
  return TREL32_OK;
}

int32_t TRtspClient::Register(TRtspClientCallback callback, void* user) {
  // From the callback itself the lock is already ours.
  std::unique_lock guard(callbackLock_, std::defer_lock);
  if (!OnDeliveringThread()) guard.lock();
  callback_ = callback;
  user_ = user;
  everRegistered_ = true;
  return TREL32_OK;
}

void TRtspClient::SetUrlSource(TRtspUrlSource source, void* user) {
  std::lock_guard guard(urlSourceLock_);
  urlSource_ = source;
  urlSourceUser_ = user;
}

void TRtspClient::RefreshUrl() {
  std::lock_guard guard(urlSourceLock_);
  if (urlSource_ == nullptr) return;
  char url[kMaxUrlLength] = {};
  if (urlSource_(channel_, urlSourceUser_, url, static_cast<int32_t>(sizeof url)) == 1 && url[sizeof url - 1] == 0)
    url_ = url;
}

int32_t TRtspClient::Unregister() {
  // Taking the lock waits for a running callback; none starts after.
  std::unique_lock guard(callbackLock_, std::defer_lock);
  if (!OnDeliveringThread()) guard.lock();
  if (callback_ == nullptr) return TREL32_E_NOT_REGISTERED;
  callback_ = nullptr;
  user_ = nullptr;
  return TREL32_OK;
}

void TRtspClient::Close() {
  {
    std::lock_guard guard(pauseLock_);
    stopping_.store(true);
  }
  pauseWake_.notify_all();
  if (thread_.joinable()) thread_.join();
  CloseSession(session_);
}

// Nothing may end the process from this thread (an exception would reach
// std::terminate): a failure while handling one packet, an allocation failure
// or an exception from the owner's callback, costs that packet and its
// picture; one outside the packet loop costs the session, which reconnects.
void TRtspClient::Run() {
  while (!stopping_.load()) {
    try {
      if (session_.format != nullptr) ReadSession();
      if (stopping_.load()) break;
      assembler_.Flush();  // the last picture before the drop is whole
    } catch (...) {
      ReportFailure("session", std::current_exception());
      assembler_.Reset();
    }
    CloseSession(session_);
    try {
      if (!Reconnect()) break;
    } catch (...) {
      ReportFailure("reconnect", std::current_exception());
      CloseSession(session_);
    }
  }
}

void TRtspClient::ReportFailure(const char* where, std::exception_ptr failure) noexcept {
  auto count = static_cast<unsigned long long>(failures_.fetch_add(1) + 1);
  try {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      DebugLogFmt("trel32: channel %d: %s failed (%s), going on; %llu failures", channel_, where, e.what(), count);
    } catch (...) {
      DebugLogFmt("trel32: channel %d: %s failed, going on; %llu failures", channel_, where, count);
    }
  } catch (...) {  // not even the trace line could be written
  }
}

void TRtspClient::ReadSession() {
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return;
  restartRequested_.store(false);
  reading_.store(true);
  while (!stopping_.load(std::memory_order_relaxed) && !restartRequested_.load(std::memory_order_relaxed)) {
    int error = av_read_frame(session_.format, packet);
    if (error == AVERROR(EAGAIN)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    if (error < 0) {
      if (!stopping_.load()) DebugLogFmt("trel32: channel %d stream lost: %s", channel_, ErrorText(error).c_str());
      break;
    }
    try {
      if (packet->stream_index == session_.video) HandleVideo(*packet);
      else if (packet->stream_index == session_.audio) HandleAudio(*packet);
    } catch (...) {
      ReportFailure("a packet", std::current_exception());
      assembler_.Reset();  // the picture it belonged to is lost
    }
    av_packet_unref(packet);
  }
  reading_.store(false);
  if (restartRequested_.exchange(false)) DebugLogFmt("trel32: channel %d restart requested", channel_);
  av_packet_free(&packet);
}

bool TRtspClient::Reconnect() {
  for (int attempt = 0;; ++attempt) {
    {
      std::unique_lock guard(pauseLock_);
      if (pauseWake_.wait_for(guard, ReconnectPause(attempt), [this] { return stopping_.load(); })) return false;
    }
    DebugLogFmt("trel32: channel %d reconnecting, attempt %d", channel_, attempt + 1);
    RefreshUrl();
    TSession session;
    if (OpenSession(session) != TREL32_OK) continue;
    if (session.hevc != hevc_) {  // what the owner was told no longer holds
      DebugLogFmt("trel32: channel %d now sends %s; the owner must open it again", channel_,
                  session.videoName.c_str());
      CloseSession(session);
      continue;
    }
    session_ = session;
    timeline_.NewSession(WallMicroseconds());
    assembler_.Reset();
    lastVideoTime_ = TAccessUnitAssembler::kNoTime;
    DebugLogFmt("trel32: channel %d reconnected", channel_);
    return true;
  }
}

void TRtspClient::HandleVideo(const AVPacket& packet) {
  if (packet.data == nullptr || packet.size <= 0) return;
  assembler_.AddPacket(packet.data, static_cast<size_t>(packet.size),
                       packet.pts == AV_NOPTS_VALUE ? TAccessUnitAssembler::kNoTime : packet.pts);
}

void TRtspClient::DeliverAccessUnit(const std::vector<uint8_t>& unit, bool idr, int64_t time, int64_t nextTime) {
  constexpr int64_t kNoTime = TAccessUnitAssembler::kNoTime;
  if (awaitingSets_.load(std::memory_order_relaxed)) TakeInBandSets(unit);
  AVRational timeBase = session_.format->streams[session_.video]->time_base;
  int64_t frame = av_rescale_q(1, AVRational{1, frameRate_}, timeBase);
  // The first packet of a session comes without a time: one frame before the next.
  if (time == kNoTime && nextTime != kNoTime) time = nextTime - frame;
  if (time == kNoTime && lastVideoTime_ != kNoTime) time = lastVideoTime_ + frame;
  if (time != kNoTime) lastVideoTime_ = time;
  int64_t lineUs = time != kNoTime ? timeline_.Place(av_rescale_q(time, timeBase, AV_TIME_BASE_Q)) : timeline_.Place(0);
  Deliver(TREL32_STREAM_VIDEO, idr ? TREL32_FRAME_IDR : TREL32_FRAME_PICTURE, unit.data(), unit.size(), lineUs,
          videoClock_.Ticks(lineUs));
}

void TRtspClient::HandleAudio(const AVPacket& packet) {
  if (!hasAudio_ || packet.data == nullptr || packet.size <= 0) return;
  if (session_.transcoder != nullptr) {
    session_.transcoder->AddPacket(packet, [this](const uint8_t* frame, size_t size, int64_t sessionUs) {
      DeliverAacFrame(frame, size, sessionUs);
    });
    return;
  }
  AVRational timeBase = session_.format->streams[session_.audio]->time_base;
  DeliverAacFrame(packet.data, static_cast<size_t>(packet.size),
                  packet.pts != AV_NOPTS_VALUE ? av_rescale_q(packet.pts, timeBase, AV_TIME_BASE_Q) : 0);
}

void TRtspClient::DeliverAacFrame(const uint8_t* frame, size_t size, int64_t sessionUs) {
  audioFrame_.resize(kAdtsHeaderSize + size);
  if (!WriteAdtsHeader(session_.aac, size, audioFrame_.data())) return;
  std::memcpy(audioFrame_.data() + kAdtsHeaderSize, frame, size);
  // Frames of one RTP packet can share a time: the clock moves them on by a frame.
  int64_t lineUs = timeline_.Place(sessionUs);
  Deliver(TREL32_STREAM_AUDIO, TREL32_FRAME_AUDIO, audioFrame_.data(), audioFrame_.size(), lineUs,
          audioClock_.Ticks(lineUs));
}

void TRtspClient::Deliver(uint8_t streamCode, uint8_t frameType, const uint8_t* data, size_t size, int64_t lineUs,
                          int64_t ticks) {
  timeline_.Note(lineUs, WallMicroseconds());
  std::lock_guard guard(callbackLock_);
  if (callback_ == nullptr) {
    if (!everRegistered_) Hold(streamCode, frameType, data, size, ticks);
    return;
  }
  DeliverHeld();
  // The callback may have unregistered itself meanwhile.
  if (callback_ != nullptr) Call(streamCode, frameType, data, size, ticks);
}

// The owner's callback is C, but a C++ owner's exception can still come
// through it: the sample is lost, the others still go out.
void TRtspClient::Call(uint8_t streamCode, uint8_t frameType, const uint8_t* data, size_t size, int64_t ticks) {
  try {
    callback_(channel_, user_, streamCode, frameType, data, static_cast<int32_t>(size), ticks);
  } catch (...) {
    ReportFailure("the owner's callback", std::current_exception());
  }
}

void TRtspClient::Hold(uint8_t streamCode, uint8_t frameType, const uint8_t* data, size_t size, int64_t ticks) {
  if (streamCode == TREL32_STREAM_VIDEO && frameType == TREL32_FRAME_IDR) {
    held_.clear();
    heldBytes_ = 0;
  } else if (held_.empty()) {
    return;  // nothing before the first key frame is of use
  }
  if (heldBytes_ + size > kMaxHeldBytes) {  // no key frame for too long: wait for the next
    held_.clear();
    heldBytes_ = 0;
    return;
  }
  held_.push_back({streamCode, frameType, std::vector<uint8_t>(data, data + size), ticks});
  heldBytes_ += size;
}

void TRtspClient::DeliverHeld() {
  if (held_.empty()) return;
  std::vector<THeldSample> held;
  held.swap(held_);
  heldBytes_ = 0;
  for (const THeldSample& sample : held) {
    if (callback_ == nullptr) break;
    Call(sample.streamCode, sample.frameType, sample.data.data(), sample.data.size(), sample.ticks);
  }
}
