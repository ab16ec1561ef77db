// velmaro-push [--fps N] URL VIDEO.h264 AUDIO.aac
// Publishes an Annex B H.264 stream and an ADTS AAC stream to an RTMP server
// through libvelmaro.so, paced in real time by the streams' own timestamps
// (video at N frames per second, 25 unless told; audio 1024 samples a frame).
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "MediaFiles.h"
#include "velmaro.h"

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void RequestStop(int) { stopRequested.store(true); }

const char* OpenFailure(int32_t code) {
  switch (code) {
    case VELMARO_NO_CONNECTION_OBJECT: return "no connection object";
    case VELMARO_URL_REJECTED: return "the URL was rejected";
    case VELMARO_CONNECT_FAILED: return "the server could not be reached";
    case VELMARO_CONNECT_STREAM_FAILED: return "the server refused the stream";
    default: return "unknown error";
  }
}

TMediaHeader MakeHeader(const TVideoFile& video, const TAudioFile& audio, double fps) {
  TMediaHeader header{};
  header.VideoCodecId = 7;  // AVC
  header.Width = video.width;
  header.Height = video.height;
  header.FrameRate = fps;
  size_t videoBytes = 0;
  for (const TBytes& unit : video.accessUnits) videoBytes += unit.size();
  header.VideoDataRate = static_cast<int32_t>(static_cast<double>(videoBytes) * 8.0 * fps /
                                              static_cast<double>(video.accessUnits.size()));
  header.SpsLen = static_cast<int32_t>(video.sps.size());
  std::memcpy(header.Sps, video.sps.data(), video.sps.size());
  header.PpsLen = static_cast<int32_t>(video.pps.size());
  std::memcpy(header.Pps, video.pps.data(), video.pps.size());
  header.HasAudio = 1;
  header.AudioCodecId = 0xA0;  // AAC
  size_t audioBytes = 0;
  for (const TBytes& frame : audio.frames) audioBytes += frame.size();
  header.AudioDataRate = static_cast<int32_t>(static_cast<double>(audioBytes) * 8.0 * audio.sampleRate /
                                              (1024.0 * static_cast<double>(audio.frames.size())));
  header.AudioSampleRate = audio.sampleRate;
  header.AudioSampleSize = 16;
  header.AudioChannels = audio.channels;
  header.AudioConfigLen = static_cast<int32_t>(audio.audioSpecificConfig.size());
  std::memcpy(header.AudioConfig, audio.audioSpecificConfig.data(), audio.audioSpecificConfig.size());
  return header;
}

int Usage() {
  std::fprintf(stderr, "usage: velmaro-push [--fps N] RTMP_URL VIDEO.h264 AUDIO.aac\n");
  return 2;
}

int Publish(const std::string& url, const TVideoFile& video, const TAudioFile& audio, double fps) {
  TVelmaroHandle handle = nullptr;
  int32_t code = RTMP_Open(url.c_str(), &handle);
  if (code != VELMARO_OK) {
    std::fprintf(stderr, "velmaro-push: cannot open %s: %s (%d)\n", url.c_str(), OpenFailure(code), code);
    return 1;
  }
  TMediaHeader header = MakeHeader(video, audio, fps);
  code = RTMP_SendHeader(handle, &header);
  if (code != VELMARO_OK) {
    std::fprintf(stderr, "velmaro-push: the stream header was not sent (%d)\n", code);
    RTMP_Close(handle);
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  size_t v = 0, a = 0;
  bool failed = false;
  while (!failed && !stopRequested.load() && (v < video.accessUnits.size() || a < audio.frames.size())) {
    auto videoTime = static_cast<uint32_t>(static_cast<double>(v) * 1000.0 / fps);
    auto audioTime = static_cast<uint32_t>(a * 1024 * 1000 / static_cast<size_t>(audio.sampleRate));
    bool sendVideo = a >= audio.frames.size() || (v < video.accessUnits.size() && videoTime <= audioTime);
    uint32_t due = sendVideo ? videoTime : audioTime;
    std::this_thread::sleep_until(start + std::chrono::milliseconds(due));
    if (sendVideo) {
      const TBytes& unit = video.accessUnits[v];
      failed = !RTMP_SendVideo(handle, unit.data(), static_cast<uint32_t>(unit.size()), due, video.keyFrames[v] ? 1 : 0);
      ++v;
    } else {
      const TBytes& frame = audio.frames[a];
      failed = !RTMP_SendAudio(handle, frame.data(), static_cast<uint32_t>(frame.size()), due);
      ++a;
    }
  }
  RTMP_Close(handle);
  if (failed) {
    std::fprintf(stderr, "velmaro-push: sending failed after %zu video and %zu audio frames (server gone?)\n", v, a);
    return 1;
  }
  std::printf("Published %zu video frames and %zu audio frames%s.\n", v, a, stopRequested ? " (stopped)" : "");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  double fps = 25.0;
  int first = 1;
  if (argc > 1 && std::strcmp(argv[1], "--fps") == 0) {
    if (argc < 3) return Usage();
    fps = std::atof(argv[2]);
    if (!(fps > 0.0 && fps <= 1000.0)) {
      std::fprintf(stderr, "velmaro-push: bad frame rate %s\n", argv[2]);
      return 2;
    }
    first = 3;
  }
  if (argc - first != 3) return Usage();
  signal(SIGINT, RequestStop);
  signal(SIGTERM, RequestStop);
  try {
    TVideoFile video = ReadH264File(argv[first + 1]);
    TAudioFile audio = ReadAdtsFile(argv[first + 2]);
    return Publish(argv[first], video, audio, fps);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "velmaro-push: %s\n", error.what());
    return 1;
  }
}
