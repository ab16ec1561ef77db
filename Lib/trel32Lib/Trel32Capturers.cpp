#include "Trel32Capturers.h"

#include <cctype>
#include <cstring>

#include "Assertions.h"
#include "Debugs.h"
#include "DeviceLogons.h"
#include "Redactions.h"

namespace {

constexpr int32_t kTransportTcp = 1;

std::string RtspBase(const std::string& address, int32_t rtspPort) {
  return "rtsp://" + address + ":" + std::to_string(rtspPort);
}

// RFC 3986 userinfo: everything but the unreserved characters percent-encoded,
// so that any byte of a user name or password survives (libavformat decodes it).
std::string UserInfoPart(const std::string& text) { return PercentEncoded(text); }

// The camera URL with the credentials the library answers a challenge with.
std::string WithCredentials(const std::string& url, const std::string& user, const std::string& password) {
  if (user.empty()) return url;
  const size_t authority = std::strlen("rtsp://");
  return url.substr(0, authority) + UserInfoPart(user) + ":" + UserInfoPart(password) + "@" + url.substr(authority);
}

std::string LoginStreamUrl(const std::string& address, int32_t rtspPort, int32_t channel, const std::string& key) {
  return RtspBase(address, rtspPort) + "/stream/" + std::to_string(channel) + "?config.login=" + key;
}

}  // namespace

std::string TTrel32Capturer::CodecName(int32_t channel, uint8_t streamCode) {
  char name[64] = {};
  if (trel32GetCodecName(channel, streamCode, name, sizeof name) != TREL32_OK) return {};
  return std::string(name);
}

int32_t TTrel32Capturer::Connect(const std::string& address, const std::string& user, const std::string& password,
                                 int32_t mode, int32_t rtspPort, int32_t httpPort, bool hd) {
  int32_t channel = 0;
  std::string url;
  std::string libraryUrl;  // Url, with a camera's credentials
  bool loginStream = false;
  if (mode == 1) {
    url = RtspBase(address, rtspPort) + "/stream/0";
    libraryUrl = WithCredentials(url, user, password);
  } else if (mode == 0) {
    std::string key = httpPort != 0 ? GetLoginKey(address, user, password, httpPort) : std::string();
    // The two URL forms number the qualities differently.
    if (!key.empty()) {
      channel = hd ? 0 : 4;
      url = LoginStreamUrl(address, rtspPort, channel, key);
      loginStream = true;
    } else {
      channel = hd ? 1 : 0;
      url = RtspBase(address, rtspPort) + "/dispatch/" + std::to_string(channel) + "?config.client_type=web";
    }
  } else {
    return -1;
  }
  // A client left by an earlier start that failed at a later step would
  // hold its channel: release it first.
  if (clientOpen_) Disconnect();
  Channel = channel;
  Url = url;
  logon_ = {address, user, password, rtspPort, httpPort};
  DebugLog("URL: " + RedactUrl(Url));

  if (libraryUrl.empty()) libraryUrl = Url;
  int32_t result = trel32CreateRTSPClient(libraryUrl.c_str(), Channel, kTransportTcp);
  DebugLogFmt("CreateRTSPClient ret=%d mode: TCP", result);
  VideoCodecName = CodecName(Channel, TREL32_STREAM_VIDEO);
  AudioCodecName.clear();
  if (result != 0) {
    Connected = false;
    return result;
  }
  AudioCodecName = CodecName(Channel, TREL32_STREAM_AUDIO);
  clientOpen_ = true;
  if (loginStream) trel32SetReconnectUrlSource(&TTrel32Capturer::FreshLoginUrl, Channel, this);
  result = trel32GetSPSPPS(Channel, Sps, &SpsLen, Pps, &PpsLen);
  VpsLen = 0;
  if (result == 0 && VideoCodecName == "hevc") result = trel32GetVPS(Channel, Vps, &VpsLen);
  if (result != 0) {
    DebugLog("GetSPSPPS failed");
    ReleaseClient();
    return result;
  }
  std::memset(&MediaInfo, 0, sizeof MediaInfo);
  result = trel32GetMediaInfo(Channel, &MediaInfo);
  if (result == 0 && trel32GetAudioConfig(Channel, AudioConfig, sizeof AudioConfig, &AudioConfigLen) != 0)
    AudioConfigLen = 0;  // the computed configuration serves
  DebugLogFmt("GetMediaInfo = %d", result);
  Connected = result == 0;
  if (!Connected) ReleaseClient();
  return result;
}

int32_t TTrel32Capturer::StartCapture() {
  if (Capturing) return -1;
  if (!Connected) {
    Capturing = false;
    return -1;
  }
  int32_t result = trel32RegisteRTSPClientCallback(&TTrel32Capturer::HandleSample, Channel, this);
  Capturing = result == 0;
  return result;
}

int32_t TTrel32Capturer::StopCapture() {
  if (!Capturing) return -1;
  int32_t result = trel32UnRegisteRTSPClientCallback(Channel);
  Capturing = result != 0;  // a failed removal leaves the flag set
  return result;
}

int32_t TTrel32Capturer::RestartStream() {
  if (!Connected) return -1;
  return trel32RestartRTSPClient(Channel);
}

void TTrel32Capturer::Disconnect() {
  if (Capturing) StopCapture();
  if (Connected || clientOpen_) ReleaseClient();
  Connected = false;
}

void TTrel32Capturer::ReleaseClient() {
  // The library's thread may sit in a logon for a reconnect (FreshLoginUrl):
  // it is cut short rather than waited for.
  SetLogonsCancelled(true);
  trel32DestroyRTSPClient(Channel);
  SetLogonsCancelled(false);
  clientOpen_ = false;
  Capturing = false;
}

int32_t TREL32_CALL TTrel32Capturer::FreshLoginUrl(int32_t channel, void* user, char* url, int32_t capacity) {
  const TLogon& logon = static_cast<TTrel32Capturer*>(user)->logon_;
  std::string key = GetLoginKey(logon.address, logon.user, logon.password, logon.httpPort);
  if (key.empty()) return 0;  // the device is not back yet: try the old URL
  std::string fresh = LoginStreamUrl(logon.address, logon.rtspPort, channel, key);
  if (fresh.size() >= static_cast<size_t>(capacity)) return 0;
  std::memcpy(url, fresh.c_str(), fresh.size() + 1);
  return 1;
}

void TREL32_CALL TTrel32Capturer::HandleSample(int32_t, void* user, uint8_t streamCode, uint8_t frameType,
                                               const uint8_t* data, int32_t length, int64_t timestamp) {
  // No copy, no lock: the owner's handler does whatever copying it needs.
  auto* self = static_cast<TTrel32Capturer*>(user);
  if (self->OnSample) self->OnSample(streamCode, frameType, data, length, timestamp);
}

void Trel32CapturersStartup() {
  if (trel32Init() != 0) RaiseAssertion("terl32Lib.Init failed", "Trel32Capturers", __LINE__);
}

void Trel32CapturersShutdown() { trel32Uninit(); }
