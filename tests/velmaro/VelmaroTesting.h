// Helpers shared by the sender library's server tests: a media header for the
// generated test media, and the bodies the server must record, worked out
// here independently of the library's own builders.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FlvFile.h"
#include "NginxRtmp.h"
#include "Processes.h"
#include "TestMedia.h"
#include "velmaro.h"

namespace velmarotest {

using testsupport::TBytes;

inline TMediaHeader HeaderFor(const testsupport::TTestMedia& media, bool hasAudio) {
  TMediaHeader h{};
  h.VideoCodecId = 7;
  h.Width = media.options.width;
  h.Height = media.options.height;
  h.FrameRate = media.options.frameRate;
  h.VideoDataRate = 500000;
  h.SpsLen = static_cast<int32_t>(media.sps.size());
  std::memcpy(h.Sps, media.sps.data(), media.sps.size());
  h.PpsLen = static_cast<int32_t>(media.pps.size());
  std::memcpy(h.Pps, media.pps.data(), media.pps.size());
  h.HasAudio = hasAudio ? 1 : 0;
  h.AudioCodecId = 0xA0;
  h.AudioDataRate = 96000;
  h.AudioSampleRate = media.options.audioRate;
  h.AudioSampleSize = 16;
  h.AudioChannels = media.options.audioChannels;
  h.AudioConfigLen = static_cast<int32_t>(media.audioSpecificConfig.size());
  std::memcpy(h.AudioConfig, media.audioSpecificConfig.data(), media.audioSpecificConfig.size());
  return h;
}

// An FLV AVC body of one access unit: every NAL unit behind its 4-byte length.
inline TBytes ExpectedVideoBody(const TBytes& accessUnit, bool key) {
  TBytes body = {static_cast<uint8_t>(key ? 0x17 : 0x27), 0x01, 0x00, 0x00, 0x00};
  for (const TBytes& nal : testsupport::SplitNalUnits(accessUnit)) {
    size_t code = nal[2] == 1 ? 3 : 4;
    size_t n = nal.size() - code;
    for (int shift = 24; shift >= 0; shift -= 8) body.push_back(static_cast<uint8_t>(n >> shift));
    body.insert(body.end(), nal.begin() + static_cast<long>(code), nal.end());
  }
  return body;
}

inline TBytes ExpectedAacBody(const TBytes& raw) {
  TBytes body = {0xAF, 0x01};
  body.insert(body.end(), raw.begin(), raw.end());
  return body;
}

inline TBytes ExpectedAvcSequenceHeader(const TBytes& sps, const TBytes& pps) {
  TBytes b = {0x17, 0x00, 0x00, 0x00, 0x00, 0x01, sps[1], sps[2], sps[3], 0xFF, 0xE1,
              static_cast<uint8_t>(sps.size() >> 8), static_cast<uint8_t>(sps.size())};
  b.insert(b.end(), sps.begin(), sps.end());
  b.insert(b.end(), {0x01, static_cast<uint8_t>(pps.size() >> 8), static_cast<uint8_t>(pps.size())});
  b.insert(b.end(), pps.begin(), pps.end());
  return b;
}

// The access unit followed by a filler-data NAL unit up to `size` bytes.
inline TBytes Padded(const TBytes& accessUnit, size_t size) {
  TBytes padded = accessUnit;
  if (padded.size() + 6 >= size) return padded;
  padded.insert(padded.end(), {0x00, 0x00, 0x00, 0x01, 0x0C});  // NAL unit type 12: filler data
  padded.resize(size - 1, 0xFF);
  padded.push_back(0x80);  // rbsp trailing bits
  return padded;
}

// Video and audio tags that carry media (sequence headers left out).
inline std::vector<testsupport::TFlvTag> MediaTags(const testsupport::TFlvFile& file) {
  std::vector<testsupport::TFlvTag> tags;
  for (const auto& tag : file.tags)
    if ((tag.IsVideo() || tag.IsAudio()) && !tag.IsSequenceHeader()) tags.push_back(tag);
  return tags;
}

// Waits for nginx to finish the recording of a closed stream, then reads it.
inline testsupport::TFlvFile Recording(const testsupport::TNginxRtmp& server, const std::string& stream) {
  if (!server.WaitForRecording(stream, std::chrono::seconds(15)))
    throw std::runtime_error("no recording of " + stream + "; nginx says:\n" + server.ErrorLog());
  return testsupport::ReadFlvFile(server.RecordingPath(stream));
}

// A handle that is closed when the test ends, whatever happens.
class THandle {
 public:
  THandle() = default;
  ~THandle() { Close(); }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  int32_t Open(const std::string& url) { return RTMP_Open(url.c_str(), &handle_); }
  // As the program does: give the sorter's thread half a second to send what
  // it can release before closing (closing discards what is still queued).
  bool CloseAfterDrain() {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return Close();
  }
  bool Close() {
    bool closed = handle_ != nullptr && RTMP_Close(handle_);
    handle_ = nullptr;
    return closed;
  }
  TVelmaroHandle Get() const { return handle_; }

 private:
  TVelmaroHandle handle_ = nullptr;
};

// One of the misbehaving peers of hostile_rtmp_server.py, on a port of its
// own; it ends by itself after `lifetime` at the latest.
class THostileServer {
 public:
  explicit THostileServer(const std::vector<std::string>& modeArguments,
                          std::chrono::seconds lifetime = std::chrono::seconds(60))
      : port_(testsupport::FreeLoopbackPort()) {
    std::vector<std::string> argv = {"python3", testsupport::SourceDir() + "/tests/velmaro/hostile_rtmp_server.py"};
    argv.insert(argv.end(), modeArguments.begin(), modeArguments.end());
    argv.insert(argv.end(), {"--port", std::to_string(port_), "--lifetime", std::to_string(lifetime.count())});
    process_.Start(argv, log_.File("server.log"));
    if (!testsupport::WaitForListener(port_, std::chrono::seconds(10)))
      throw std::runtime_error("the hostile server did not start");
  }
  std::string Url(const std::string& app = "app", const std::string& stream = "stream") const {
    return "rtmp://127.0.0.1:" + std::to_string(port_) + "/" + app + "/" + stream;
  }

 private:
  testsupport::TTempDir log_;
  int port_;
  testsupport::TChildProcess process_;
};

}  // namespace velmarotest
