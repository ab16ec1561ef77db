// The library's C interface: a table of clients by channel. Every export
// checks its arguments and catches every exception before it crosses the C
// boundary.
#include <map>
#include <memory>
#include <mutex>
#include <cstring>
#include <new>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "Debugs.h"
#include "RtspClients.h"
#include "trel32.h"

namespace {

std::mutex tableLock;
std::map<int32_t, std::shared_ptr<TRtspClient>> clients;
// The video codec a create refused, by channel, for the caller to name it.
std::map<int32_t, std::string> refusedVideo;

std::shared_ptr<TRtspClient> FindClient(int32_t channel) {
  std::lock_guard guard(tableLock);
  auto found = clients.find(channel);
  return found == clients.end() ? nullptr : found->second;
}

// libavformat's own messages join our trace (warnings and worse).
void LogFromAv(void* object, int level, const char* format, va_list arguments) {
  if (level > AV_LOG_WARNING || !DebugOutputEnabled.load(std::memory_order_relaxed)) return;
  char line[1024];
  int prefix = 1;
  av_log_format_line2(object, level, format, arguments, line, sizeof line, &prefix);
  std::string text(line);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  DebugLog("trel32: " + text);
}

template <typename F>
int32_t Guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return TREL32_E_INTERNAL;
  } catch (...) {
    return TREL32_E_INTERNAL;
  }
}

}  // namespace

extern "C" {

TREL32_API int32_t TREL32_CALL trel32Init(void) {
  return Guarded([] {
    av_log_set_callback(LogFromAv);
    return avformat_network_init() < 0 ? TREL32_E_INTERNAL : TREL32_OK;
  });
}

TREL32_API int32_t TREL32_CALL trel32Uninit(void) {
  return Guarded([] {
    std::map<int32_t, std::shared_ptr<TRtspClient>> closing;
    {
      std::lock_guard guard(tableLock);
      closing.swap(clients);
    }
    for (auto& entry : closing) entry.second->Close();
    av_log_set_callback(av_log_default_callback);  // ours may be unloaded after this
    avformat_network_deinit();
    return TREL32_OK;
  });
}

TREL32_API int32_t TREL32_CALL trel32CreateRTSPClient(const char* url, int32_t channel, int32_t transport) {
  return Guarded([&] {
    if (url == nullptr || transport != 1) return TREL32_E_ARGUMENT;
    if (FindClient(channel) != nullptr) return TREL32_E_CHANNEL_IN_USE;
    auto client = std::make_shared<TRtspClient>(channel, url);
    int32_t result = client->Open();  // up to about 10 s: outside the table's lock
    std::lock_guard guard(tableLock);
    refusedVideo.erase(channel);
    if (result == TREL32_E_UNSUPPORTED_VIDEO) refusedVideo[channel] = client->CodecName(true);
    if (result != TREL32_OK) return result;
    if (!clients.emplace(channel, client).second) {
      client->Close();  // another thread created the channel meanwhile
      return TREL32_E_CHANNEL_IN_USE;
    }
    return TREL32_OK;
  });
}

TREL32_API int32_t TREL32_CALL trel32GetSPSPPS(int32_t channel, uint8_t* sps, int32_t* spsLength, uint8_t* pps,
                                               int32_t* ppsLength) {
  return Guarded([&] {
    if (sps == nullptr || spsLength == nullptr || pps == nullptr || ppsLength == nullptr) return TREL32_E_ARGUMENT;
    auto client = FindClient(channel);
    return client != nullptr ? client->GetParameterSets(sps, spsLength, pps, ppsLength) : TREL32_E_UNKNOWN_CHANNEL;
  });
}

TREL32_API int32_t TREL32_CALL trel32GetVPS(int32_t channel, uint8_t* vps, int32_t* vpsLength) {
  return Guarded([&] {
    if (vps == nullptr || vpsLength == nullptr) return TREL32_E_ARGUMENT;
    auto client = FindClient(channel);
    return client != nullptr ? client->GetVideoParameterSet(vps, vpsLength) : TREL32_E_UNKNOWN_CHANNEL;
  });
}

TREL32_API int32_t TREL32_CALL trel32GetCodecName(int32_t channel, uint8_t streamCode, char* name,
                                                  int32_t capacity) {
  return Guarded([&] {
    if (name == nullptr || capacity <= 0 || (streamCode != TREL32_STREAM_VIDEO && streamCode != TREL32_STREAM_AUDIO))
      return TREL32_E_ARGUMENT;
    std::string codec;
    if (auto client = FindClient(channel)) {
      codec = client->CodecName(streamCode == TREL32_STREAM_VIDEO);
    } else {
      std::lock_guard guard(tableLock);
      auto refused = refusedVideo.find(channel);
      if (refused == refusedVideo.end() || streamCode != TREL32_STREAM_VIDEO) return TREL32_E_UNKNOWN_CHANNEL;
      codec = refused->second;
    }
    if (codec.size() + 1 > static_cast<size_t>(capacity)) return TREL32_E_SET_TOO_LONG;
    std::memcpy(name, codec.c_str(), codec.size() + 1);
    return TREL32_OK;
  });
}

TREL32_API int32_t TREL32_CALL trel32GetMediaInfo(int32_t channel, TRtspMediaInfo* info) {
  return Guarded([&] {
    if (info == nullptr) return TREL32_E_ARGUMENT;
    auto client = FindClient(channel);
    if (client == nullptr) return TREL32_E_UNKNOWN_CHANNEL;
    client->FillMediaInfo(*info);
    return TREL32_OK;
  });
}

TREL32_API int32_t TREL32_CALL trel32GetAudioConfig(int32_t channel, uint8_t* config, int32_t capacity,
                                                    int32_t* length) {
  return Guarded([&] {
    if (config == nullptr || length == nullptr) return TREL32_E_ARGUMENT;
    auto client = FindClient(channel);
    return client != nullptr ? client->GetAudioConfig(config, capacity, length) : TREL32_E_UNKNOWN_CHANNEL;
  });
}

TREL32_API int32_t TREL32_CALL trel32RegisteRTSPClientCallback(TRtspClientCallback callback, int32_t channel,
                                                               void* user) {
  return Guarded([&] {
    if (callback == nullptr) return TREL32_E_ARGUMENT;
    auto client = FindClient(channel);
    return client != nullptr ? client->Register(callback, user) : TREL32_E_UNKNOWN_CHANNEL;
  });
}

TREL32_API int32_t TREL32_CALL trel32SetReconnectUrlSource(TRtspUrlSource source, int32_t channel, void* user) {
  return Guarded([&] {
    auto client = FindClient(channel);
    if (client == nullptr) return TREL32_E_UNKNOWN_CHANNEL;
    client->SetUrlSource(source, user);
    return TREL32_OK;
  });
}

TREL32_API void TREL32_CALL trel32CancelOpen(void) { TRtspClient::CancelOpens(); }

TREL32_API int32_t TREL32_CALL trel32RestartRTSPClient(int32_t channel) {
  return Guarded([&] {
    auto client = FindClient(channel);
    if (client == nullptr) return TREL32_E_UNKNOWN_CHANNEL;
    client->RequestRestart();
    return TREL32_OK;
  });
}

TREL32_API int32_t TREL32_CALL trel32UnRegisteRTSPClientCallback(int32_t channel) {
  return Guarded([&] {
    auto client = FindClient(channel);
    return client != nullptr ? client->Unregister() : TREL32_E_UNKNOWN_CHANNEL;
  });
}

TREL32_API int32_t TREL32_CALL trel32DestroyRTSPClient(int32_t channel) {
  return Guarded([&] {
    std::shared_ptr<TRtspClient> client;
    {
      std::lock_guard guard(tableLock);
      auto found = clients.find(channel);
      if (found == clients.end()) return TREL32_E_UNKNOWN_CHANNEL;
      if (found->second->OnDeliveringThread()) return TREL32_E_WRONG_THREAD;
      client = found->second;
      clients.erase(found);
    }
    client->Close();
    return TREL32_OK;
  });
}

}  // extern "C"
