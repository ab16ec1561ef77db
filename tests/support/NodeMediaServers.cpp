#include "NodeMediaServers.h"

#include <filesystem>
#include <stdexcept>

namespace testsupport {

namespace {
std::string ServerFolder() { return SourceDir() + "/tests/node/node_modules/node-media-server/bin"; }
std::string ServerScript() { return ServerFolder() + "/app.js"; }
}  // namespace

TNodeMediaServer::TNodeMediaServer() : rtmpPort_(FreeLoopbackPort()) {
  std::filesystem::create_directories(dir_.File("rec"));
  std::filesystem::create_directories(dir_.File("data"));
}

TNodeMediaServer::~TNodeMediaServer() { Stop(); }

void TNodeMediaServer::Start() {
  if (process_.Running()) return;
  if (!std::filesystem::exists(ServerScript()))
    throw std::runtime_error(ServerScript() + " is missing: scripts/test.sh installs it with npm");
  // The server writes the secrets it generates into its configuration: each
  // start gets a copy of its own (with the key and certificate the copy
  // names), so that tests running at once never write the same file.
  for (const char* file : {"config.json", "key.pem", "cert.pem"})
    std::filesystem::copy_file(ServerFolder() + "/" + file, dir_.File(file),
                               std::filesystem::copy_options::overwrite_existing);
  // Every port of its own, so that parallel tests never meet; the others
  // (RTMPS, HTTP) are not used but cannot be switched off.
  const auto port = [](int p) { return std::to_string(p); };
  process_.Start({"node", ServerScript(), "--config", dir_.File("config.json"), "--bind", "127.0.0.1",
                  "--rtmp-port", port(rtmpPort_), "--rtmps-port",
                  port(FreeLoopbackPort()), "--http-port", port(FreeLoopbackPort()), "--https-port",
                  port(FreeLoopbackPort()), "--data-path", dir_.File("data"), "--record-path", dir_.File("rec"),
                  "--record-auto", "--no-admin"},
                 dir_.File("server.log"));
  if (!WaitForListener(rtmpPort_, std::chrono::seconds(20))) {
    process_.Stop();
    throw std::runtime_error("the RTMP server did not start listening; its log:\n" + Log());
  }
}

void TNodeMediaServer::Stop() {
  if (process_.Running()) process_.Stop();
}

std::string TNodeMediaServer::PublishUrl(const std::string& stream) const {
  return "rtmp://127.0.0.1:" + std::to_string(rtmpPort_) + "/live/" + stream;
}

std::string TNodeMediaServer::RecordingPath(const std::string& stream) const {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.File("rec/live/" + stream), error))
    if (entry.path().extension() == ".flv") return entry.path().string();
  return {};
}

bool TNodeMediaServer::WaitForRecording(const std::string& stream, std::chrono::milliseconds timeout) const {
  return WaitForSettledFile([&] { return RecordingPath(stream); }, timeout, std::chrono::milliseconds(500));
}

}  // namespace testsupport
