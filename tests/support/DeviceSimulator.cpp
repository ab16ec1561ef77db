#include "DeviceSimulator.h"

#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

TDeviceSimulator::TDeviceSimulator(TDeviceSimulatorOptions options)
    : options_(std::move(options)), httpPort_(FreeLoopbackPort()), rtspPort_(FreeLoopbackPort()) {
  while (rtspPort_ == httpPort_) rtspPort_ = FreeLoopbackPort();
}

void TDeviceSimulator::Start() {
  const TDeviceSimulatorOptions& o = options_;
  std::vector<std::string> argv = {BuildDir() + "/bin/devsim",
                                   "--http-port", std::to_string(httpPort_),
                                   "--rtsp-port", std::to_string(rtspPort_),
                                   "--user", o.user, "--password", o.password,
                                   "--size", std::to_string(o.width) + "x" + std::to_string(o.height),
                                   "--fps", std::to_string(o.frameRate),
                                   "--key-interval", std::to_string(o.keyInterval),
                                   "--slices", std::to_string(o.slices),
                                   "--audio-rate", std::to_string(o.audioRate),
                                   "--audio-channels", std::to_string(o.audioChannels)};
  if (!o.audio) argv.push_back("--no-audio");
  if (o.inBandSets) argv.push_back("--in-band-sets");
  if (o.noSets) argv.push_back("--no-sets");
  if (o.resizeAfter > 0)
    argv.insert(argv.end(), {"--resize-after", std::to_string(o.resizeAfter), "--resize-to",
                             std::to_string(o.resizeWidth) + "x" + std::to_string(o.resizeHeight)});
  if (o.heAac) argv.insert(argv.end(), {"--audio-profile", "he"});
  argv.insert(argv.end(), {"--rtsp-auth", o.rtspAuth, "--video-codec", o.videoCodec, "--audio-codec", o.audioCodec});
  if (!o.video) argv.push_back("--no-video");
  if (o.logonReply) {
    argv.push_back("--logon-reply");
    argv.push_back(*o.logonReply);
  }
  size_t readyBefore = Requests("devsim ready").size();
  process_.Start(argv, dir_.File("devsim.log"));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Requests("devsim ready").size() > readyBefore) return;
    if (!process_.Running()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  throw std::runtime_error("devsim did not start:\n" + ReadWholeFile(dir_.File("devsim.log")));
}

void TDeviceSimulator::Stop() { process_.Stop(); }

std::string TDeviceSimulator::RtspUrl(const std::string& pathAndQuery) const {
  return "rtsp://127.0.0.1:" + std::to_string(rtspPort_) + pathAndQuery;
}

std::vector<std::string> TDeviceSimulator::LogLines() const {
  std::vector<std::string> lines;
  std::istringstream log(ReadWholeFile(dir_.File("devsim.log")));
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> TDeviceSimulator::Requests(const std::string& text) const {
  std::vector<std::string> matching;
  for (const std::string& line : LogLines())
    if (line.find(text) != std::string::npos) matching.push_back(line);
  return matching;
}

}  // namespace testsupport
