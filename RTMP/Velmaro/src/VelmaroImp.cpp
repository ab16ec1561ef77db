#include "VelmaroImp.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "Assertions.h"
#include "Debugs.h"
#include "ErrorReports.h"
#include "Redactions.h"
#include "TlsSessions.h"

namespace velmaro {
namespace {

constexpr size_t kMaxBodyLength = INT32_MAX;  // the sorter's length is a signed 32-bit value
constexpr std::chrono::milliseconds kSorterStopGrace{1500};
constexpr std::chrono::milliseconds kSorterStopAfterAbort{10000};
// What may wait for a slow server before whole groups of pictures are dropped:
// the oldest sample's wait (live media: the span of media queued) and bytes.
constexpr int64_t kMaxQueuedMs = 8000;
constexpr size_t kMaxQueuedBytes = 32u * 1024 * 1024;
// An open ends by this, from name lookup to the start of publishing.
constexpr std::chrono::milliseconds kOpenTimeout{10000};
// Media messages remembered until acknowledged (about a minute of frames).
constexpr size_t kMaxSentMarks = 4096;

// Leading and trailing blanks are no part of a URL.
std::string Trimmed(std::string_view text) {
  const char* blanks = " \t\r\n\f\v";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

// "0", "false", "no", "off" (any case) turn a switch off; anything else on.
bool SwitchOn(const char* value) {
  std::string text = Trimmed(value != nullptr ? value : "");
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return !(text == "0" || text == "false" || text == "no" || text == "off");
}


TRTMPContext* ContextOf(TVelmaroHandle handle) { return static_cast<TRTMPContext*>(handle); }

// Makes SendBuffer hold at least `needed` bytes; false when it cannot grow
// (that one call fails, nothing else).
bool EnsureSendBuffer(TRTMPContext& context, size_t needed) {
  if (needed <= context.SendBufferSize) return true;
  if (needed > kMaxBodyLength) return false;
  std::unique_ptr<uint8_t[]> larger(new (std::nothrow) uint8_t[needed]);
  if (!larger) {
    ReportError("ERROR", "RTMP: out of memory for a message of " + std::to_string(needed) + " bytes");
    return false;
  }
  context.SendBuffer = std::move(larger);
  context.SendBufferSize = static_cast<uint32_t>(needed);
  return true;
}

// A message body has a 24-bit length on the wire: a larger one would go out
// with a truncated length and desynchronise the server. Refused, with a trace.
bool FitsOneMessage(size_t bodySize) {
  if (bodySize <= kMaxMessageBody) return true;
  DebugLogFmt("RTMP: a message body of %zu bytes exceeds RTMP's 16 MiB limit; not sent", bodySize);
  return false;
}

// No exception may cross the C boundary: report it and end the call with
// the given result.
template <class R, class F>
R Guarded(R onError, F&& body) {
  try {
    return body();
  } catch (const std::exception& error) {
    ReportError("ERROR", error.what());
  } catch (...) {
    ReportError("ERROR", "unexpected error in the sender library");
  }
  return onError;
}

// Bumped by RTMP_CancelOpen; an open that sees it change since it began gives up.
std::atomic<uint32_t> gOpenGeneration{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "RTMP_CancelOpen must be async-signal-safe");

bool OpenCancelled(uint32_t generation) { return gOpenGeneration.load() != generation; }

// The result of a stage that did not finish: the caller's cancel wins, and a
// deadline or failure gives the stage's own code.
// The stage's trace line keeps librtmp's form (err=0); a line of its own
// says when the deadline or a cancel ended it.
int32_t OpenStageCode(TOpenEnd end, const char* stage, int32_t stageCode) {
  DebugLogFmt("%s err=%d", stage, 0);
  if (end == TOpenEnd::TimedOut) DebugLogFmt("RTMP_Open gave up after %d ms", static_cast<int>(kOpenTimeout.count()));
  if (end == TOpenEnd::Cancelled) DebugLog("RTMP_Open cancelled");
  return end == TOpenEnd::Cancelled ? VELMARO_OPEN_CANCELLED : stageCode;
}

int OpenConnection(const char* url, std::unique_ptr<TRtmpConnection>& connection) {
  const uint32_t generation = gOpenGeneration.load();
  // The deadline runs from the first byte on the wire, name lookup included.
  const TOpenBounds bounds(std::chrono::steady_clock::now() + kOpenTimeout,
                           [generation] { return OpenCancelled(generation); });
  connection = TRtmpConnection::Allocate();
  if (!connection) return VELMARO_NO_CONNECTION_OBJECT;
  DebugLog(std::string("RTMP_Open ") + RedactUrl(url));
  int result = connection->SetupURL(url);
  if (result <= 0) {
    DebugLogFmt("RTMP_SetupURL err=%d", result);
    return VELMARO_URL_REJECTED;
  }
  connection->EnableWrite();
  if (OpenCancelled(generation)) return VELMARO_OPEN_CANCELLED;
  TOpenEnd end = connection->Connect(bounds);
  if (end == TOpenEnd::TlsRefused) return OpenStageCode(end, "RTMP_Connect", VELMARO_TLS_FAILED);
  if (end != TOpenEnd::Done) return OpenStageCode(end, "RTMP_Connect", VELMARO_CONNECT_FAILED);
  end = connection->ConnectStream(bounds);
  if (OpenCancelled(generation)) return VELMARO_OPEN_CANCELLED;
  if (end != TOpenEnd::Done) return OpenStageCode(end, "RTMP_ConnectStream", VELMARO_CONNECT_STREAM_FAILED);
  return VELMARO_OK;
}

// Stops the sorter's thread. A thread stuck in a send to a stalled server is
// freed by cutting the connection, so closing never hangs.
void StopSorter(TRTMPContext& context) {
  context.Sorter->Terminate();
  if (!context.Sorter->WaitFinished(kSorterStopGrace)) {
    context.Connection->Abort();
    context.Sorter->WaitFinished(kSorterStopAfterAbort);
  }
  context.Sorter.reset();  // joins the thread and discards what is still queued
}

}  // namespace

// ---- header messages --------------------------------------------------------

int SendMetadata(TRtmpConnection* connection, const TMediaHeader* header) {
  uint8_t buffer[kHeaderBufferSize];
  size_t length = BuildMetadata(header, buffer, sizeof buffer);
  if (connection == nullptr || length == 0) return 0;
  return connection->SendPacket(kMessageDataAmf0, buffer, static_cast<uint32_t>(length), 0, kHeaderFull);
}

int SendAVCSequenceHeaderVideo(TRtmpConnection* connection, const TMediaHeader& header) {
  uint8_t buffer[kHeaderBufferSize];
  size_t length = BuildVideoSequenceHeader(header, buffer, sizeof buffer);
  if (connection == nullptr || length == 0) return 0;  // a header that does not fit is refused
  return connection->SendPacket(kMessageVideo, buffer, static_cast<uint32_t>(length), 0, kHeaderFull);
}

int SendAVCSequenceHeaderAudio(TRtmpConnection* connection, const TMediaHeader& header) {
  uint8_t buffer[kHeaderBufferSize];
  size_t length = BuildAudioSequenceHeader(header, buffer, sizeof buffer);
  if (connection == nullptr || length == 0) return 0;
  return connection->SendPacket(kMessageAudio, buffer, static_cast<uint32_t>(length), 0, kHeaderFull);
}

int SendSetChunkSize(TRtmpConnection* connection, int32_t size) {
  return connection == nullptr ? 0 : connection->SendSetChunkSize(size);
}

void UpdateSentFigures(TRTMPContext& context, const TSentMark* written) {
  TLinkFigures figures;
  const bool known = context.Connection->Figures(figures);
  std::lock_guard guard(context.SentLock);
  if (written != nullptr) {
    context.Unacknowledged.push_back(*written);
    if (context.Unacknowledged.size() > kMaxSentMarks) context.Unacknowledged.pop_front();
  }
  if (!known) return;
  if (figures.Acknowledged > context.BytesSent.load(std::memory_order_relaxed))
    context.BytesSent.store(figures.Acknowledged, std::memory_order_relaxed);
  while (!context.Unacknowledged.empty() && context.Unacknowledged.front().EndOffset <= figures.Acknowledged) {
    context.SentMediaMs.store(context.Unacknowledged.front().TimeMs, std::memory_order_relaxed);
    context.AnyMediaSent.store(true, std::memory_order_release);
    context.Unacknowledged.pop_front();
  }
}

int32_t QueueHeaderMessages(TRTMPContext& context, const TMediaHeader& header) {
  if (header.HasAudio != context.Header.HasAudio) return VELMARO_HEADER_FAILED;  // the sorter's streams are fixed
  uint8_t buffer[kHeaderBufferSize];
  TSampleSort& sorter = *context.Sorter;
  size_t length = BuildMetadata(&header, buffer, sizeof buffer);
  if (length == 0 ||
      !sorter.PushKept(kVideoStream, buffer, static_cast<int32_t>(length), context.LastVideoMs, 0, kSampleMetadata))
    return VELMARO_METADATA_FAILED;
  length = BuildVideoSequenceHeader(header, buffer, sizeof buffer);
  if (length == 0 ||
      !sorter.PushKept(kVideoStream, buffer, static_cast<int32_t>(length), context.LastVideoMs, 0, kSampleVideoHeader))
    return VELMARO_HEADER_FAILED;
  const TMediaHeader& before = context.Header;
  bool audioChanged = header.AudioConfigLen != before.AudioConfigLen ||
                      std::memcmp(header.AudioConfig, before.AudioConfig,
                                  static_cast<size_t>(std::clamp(header.AudioConfigLen, 0, 1024))) != 0;
  if (header.HasAudio && audioChanged) {
    length = BuildAudioSequenceHeader(header, buffer, sizeof buffer);
    if (length == 0 ||
        !sorter.PushKept(kAudioStream, buffer, static_cast<int32_t>(length), context.LastAudioMs, 0, kSampleAudioHeader))
      return VELMARO_HEADER_FAILED;
  }
  return VELMARO_OK;
}

// ---- the sorter's sample event ----------------------------------------------

void TRTMPSampleEvent::HandleSample(void* self, int32_t streamIndex, const uint8_t* data, int32_t length,
                                    int64_t time, uint8_t /*keyFlag*/, int32_t extra) {
  auto* event = static_cast<TRTMPSampleEvent*>(self);
  TRTMPContext& context = *event->Context;
  uint8_t messageType = 0;
  if (extra == kSampleMetadata)
    messageType = kMessageDataAmf0;
  else if (streamIndex == kVideoStream)
    messageType = kMessageVideo;
  else if (streamIndex == kAudioStream)
    messageType = kMessageAudio;
  else
    return;
  if (context.SendFailed.load(std::memory_order_relaxed)) return;
  int form = event->FirstSent ? kHeaderNoStreamId : kHeaderFull;
  event->FirstSent = true;
  int result = context.Connection->SendPacket(messageType, data, static_cast<uint32_t>(length),
                                              static_cast<uint32_t>(time), form);
  if (result == 1 && extra == kSampleMedia) {
    // Written is not gone: it has left once the peer acknowledges its last byte.
    TLinkFigures figures;
    if (context.Connection->Figures(figures)) {
      const TSentMark written{figures.Acknowledged + figures.Outstanding, static_cast<uint32_t>(time)};
      UpdateSentFigures(context, &written);
    } else {  // no figures from the kernel: taken counts as sent
      context.SentMediaMs.store(static_cast<uint32_t>(time), std::memory_order_relaxed);
      context.AnyMediaSent.store(true, std::memory_order_release);
    }
  }
  if (result != 1) {
    context.SendFailed.store(true, std::memory_order_relaxed);
    event->Sorter->Terminate();
    DebugLog("Send failed");
  }
}

}  // namespace velmaro

// ---- the exports ------------------------------------------------------------

using namespace velmaro;

extern "C" {

int32_t VELMARO_CALL RTMP_Open(const char* url, TVelmaroHandle* handle) {
  if (handle == nullptr) return VELMARO_BAD_HANDLE;
  *handle = nullptr;
  if (url == nullptr) {
    DebugLogFmt("RTMP_SetupURL err=%d", 0);
    return VELMARO_URL_REJECTED;
  }
  return Guarded<int32_t>(VELMARO_NO_CONNECTION_OBJECT, [&]() -> int32_t {
    std::unique_ptr<TRtmpConnection> connection;
    const std::string trimmed = Trimmed(url);
    int32_t code = OpenConnection(trimmed.c_str(), connection);
    if (code != VELMARO_OK) return code;  // the connection object is released here
    auto context = std::make_unique<TRTMPContext>();
    context->Connection = std::move(connection);
    if (!EnsureSendBuffer(*context, kInitialSendBufferSize)) return VELMARO_NO_CONNECTION_OBJECT;
    context->Sorter = std::make_unique<TSampleSort>(2);
    context->Sorter->SetBound(kMaxQueuedMs, kMaxQueuedBytes, kVideoStream);
    context->SampleEvent = std::make_unique<TRTMPSampleEvent>(context.get());
    context->SampleEvent->Sorter = context->Sorter.get();
    context->Sorter->SetOnSample({&TRTMPSampleEvent::HandleSample, context->SampleEvent.get()});
    *handle = context.release();
    return VELMARO_OK;
  });
}

int32_t VELMARO_CALL RTMP_SendHeader(TVelmaroHandle handle, const TMediaHeader* header) {
  if (handle == nullptr) return VELMARO_BAD_HANDLE;
  TRTMPContext& context = *ContextOf(handle);
  return Guarded<int32_t>(VELMARO_HEADER_FAILED, [&]() -> int32_t {
    std::lock_guard guard(context.Lock);
    if (context.MediaQueued && header != nullptr) {
      const TMediaHeader copy = *header;
      int32_t code = QueueHeaderMessages(context, copy);
      DebugLogFmt("Header queued behind the media err=%d", code);
      if (code == VELMARO_OK) context.Header = copy;
      return code;
    }
    int result = SendMetadata(context.Connection.get(), header);
    DebugLogFmt("SendMetadata err=%d", result);
    if (result <= 0) return VELMARO_METADATA_FAILED;
    const TMediaHeader copy = *header;  // the caller may change its record meanwhile
    result = SendAVCSequenceHeaderVideo(context.Connection.get(), copy);
    DebugLogFmt("SendAVCSequenceHeaderVideo err=%d", result);
    if (result <= 0) return VELMARO_HEADER_FAILED;
    if (copy.HasAudio) {
      result = SendAVCSequenceHeaderAudio(context.Connection.get(), copy);
      DebugLogFmt("SendAVCSequenceHeaderAudio err=%d", result);
      if (result <= 0) return VELMARO_HEADER_FAILED;
    }
    if (SendSetChunkSize(context.Connection.get(), kMediaChunkSize) <= 0) return VELMARO_HEADER_FAILED;
    if (!copy.HasAudio) context.Sorter->SetStreamUnused(kAudioStream);  // video alone leaves as it comes
    context.Header = copy;
    context.HeaderSent.store(true);
    return VELMARO_OK;
  });
}

bool VELMARO_CALL RTMP_SendVideo(TVelmaroHandle handle, const uint8_t* data, uint32_t length, uint32_t timestampMs,
                                 uint8_t keyFrame) {
  if (handle == nullptr || data == nullptr || length == 0) return false;
  TRTMPContext& context = *ContextOf(handle);
  return Guarded(false, [&] {
    if (!context.HeaderSent.load() || context.SendFailed.load()) return false;
    std::lock_guard guard(context.Lock);
    const bool passThrough = context.PassThrough.load();
    const int32_t codec = context.Header.VideoCodecId;
    size_t bodySize = PlanVideoBody(codec, data, length, passThrough, context.NalUnits);
    if (bodySize == 0 || !FitsOneMessage(bodySize) || !EnsureSendBuffer(context, bodySize))
      return false;  // no start code, or too large for RTMP: nothing sent
    uint8_t* body = context.SendBuffer.get();
    BuildVideoBody(codec, context.NalUnits, keyFrame != 0, body, context.SendBufferSize);
    context.MediaQueued = true;
    context.LastVideoMs = timestampMs;
    return context.Sorter->Push(kVideoStream, body, static_cast<int32_t>(bodySize), timestampMs, keyFrame,
                                kSampleMedia);
  });
}

bool VELMARO_CALL RTMP_SendAudio(TVelmaroHandle handle, const uint8_t* data, uint32_t length, uint32_t timestampMs) {
  if (handle == nullptr || data == nullptr || length <= 2) return false;
  TRTMPContext& context = *ContextOf(handle);
  return Guarded(false, [&] {
    if (!context.HeaderSent.load() || context.SendFailed.load()) return false;
    std::lock_guard guard(context.Lock);
    const TMediaHeader& header = context.Header;
    if (!header.HasAudio) return false;
    if (header.AudioCodecId == kSoundAac && StartsWithAdtsSyncWord(data, length) &&
        !context.AdtsReported.exchange(true))
      ReportError("ERROR",
                  "RTMP_SendAudio():Malformed AAC bitstream detected: use audio bitstream filter aac_adtstoasc "
                  "to fix it");
    size_t bodySize = AudioBodySize(header.AudioCodecId, length);
    if (!FitsOneMessage(bodySize) || !EnsureSendBuffer(context, bodySize)) return false;
    uint8_t* body = context.SendBuffer.get();
    BuildAudioBody(header, data, length, body, context.SendBufferSize);
    context.MediaQueued = true;
    context.LastAudioMs = timestampMs;
    return context.Sorter->Push(kAudioStream, body, static_cast<int32_t>(bodySize), timestampMs, 0, kSampleMedia);
  });
}

bool VELMARO_CALL RTMP_Close(TVelmaroHandle handle) {
  if (handle == nullptr) return false;
  TRTMPContext* context = ContextOf(handle);
  context->HeaderSent.store(false);  // media calls are refused from here on
  Guarded(false, [&] {
    {
      std::lock_guard guard(context->Lock);
      StopSorter(*context);
      context->SampleEvent.reset();
      context->Connection->Close();
      context->SendBuffer.reset();
      context->SendBufferSize = 0;
    }
    return true;
  });
  delete context;
  return true;
}

int32_t VELMARO_CALL RTMP_SetParam(TVelmaroHandle handle, int32_t id, const char* value) {
  if (id == VELMARO_PARAM_TLS_CA_FILE || id == VELMARO_PARAM_TLS_VERIFY) {
    return Guarded<int32_t>(VELMARO_BAD_HANDLE, [&]() -> int32_t {
      TTlsOptions options = CurrentTlsOptions();
      if (id == VELMARO_PARAM_TLS_CA_FILE) options.CaFile = Trimmed(value != nullptr ? value : "");
      if (id == VELMARO_PARAM_TLS_VERIFY) options.Verify = SwitchOn(value);
      SetTlsOptions(options);
      return VELMARO_OK;
    });
  }
  if (handle == nullptr || id != VELMARO_PARAM_PASSTHROUGH) return VELMARO_BAD_HANDLE;
  // Case-insensitive "TRUE"; any other value (null counts as empty) turns it off.
  const char* text = value != nullptr ? value : "";
  bool on = std::strlen(text) == 4;
  for (size_t i = 0; on && i < 4; ++i) on = std::toupper(static_cast<unsigned char>(text[i])) == "TRUE"[i];
  ContextOf(handle)->PassThrough.store(on);
  return VELMARO_OK;
}

void VELMARO_CALL RTMP_CancelOpen(void) { gOpenGeneration.fetch_add(1); }

int32_t VELMARO_CALL RTMP_GetStats(TVelmaroHandle handle, TVelmaroStats* stats) {
  if (handle == nullptr || stats == nullptr) return VELMARO_BAD_HANDLE;
  TRTMPContext& context = *ContextOf(handle);
  *stats = TVelmaroStats{};
  Guarded(false, [&] {
    UpdateSentFigures(context);
    return true;
  });
  stats->BytesSent = context.BytesSent.load(std::memory_order_relaxed);
  stats->SendFailed = context.SendFailed.load(std::memory_order_relaxed) ? 1 : 0;
  stats->AnyMediaSent = context.AnyMediaSent.load(std::memory_order_acquire) ? 1 : 0;
  stats->SentMediaMs = context.SentMediaMs.load(std::memory_order_relaxed);
  if (const TSampleSort* sorter = context.Sorter.get()) {
    stats->VideoFramesDropped = sorter->Dropped(kVideoStream);
    stats->AudioFramesDropped = sorter->Dropped(kAudioStream);
    stats->QueuedMs = static_cast<uint32_t>(std::max<int64_t>(0, sorter->QueuedMs()));
    stats->QueuedBytes = static_cast<uint32_t>(sorter->QueuedBytes());
  }
  return VELMARO_OK;
}

}  // extern "C"
