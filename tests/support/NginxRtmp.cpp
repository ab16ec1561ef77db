#include "NginxRtmp.h"

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {
const char* const kRtmpModule = "/usr/lib/nginx/modules/ngx_rtmp_module.so";
}

TNginxRtmp::TNginxRtmp() : recordDir_(dir_.File("rec")), port_(FreeLoopbackPort()) {
  std::filesystem::create_directories(recordDir_);
}

TNginxRtmp::~TNginxRtmp() { Stop(); }

void TNginxRtmp::WriteConfig() const {
  std::ofstream conf(dir_.File("nginx.conf"));
  conf << "load_module " << kRtmpModule << ";\n"
       << "error_log " << dir_.File("error.log") << " info;\n"
       << "pid " << dir_.File("nginx.pid") << ";\n"
       << "daemon off;\n"
       // One process: the test can pause or kill the whole server with one signal.
       << "master_process off;\n"
       << "events { worker_connections 256; }\n"
       << "rtmp {\n"
       << "  server {\n"
       << "    listen 127.0.0.1:" << port_ << ";\n"
       << "    application " << Application() << " {\n"
       << "      live on;\n"
       << "      record all;\n"
       << "      record_path " << recordDir_ << ";\n"
       << "      record_unique off;\n"
       << "    }\n"
       << "  }\n"
       << "}\n";
}

void TNginxRtmp::Start() {
  if (process_.Running()) return;
  WriteConfig();
  process_.Start({"nginx", "-p", dir_.Path(), "-c", dir_.File("nginx.conf")}, dir_.File("stdout.log"));
  if (!WaitForListener(port_, std::chrono::seconds(10))) {
    process_.Stop();
    throw std::runtime_error("nginx did not start listening; error log:\n" + ErrorLog());
  }
}

void TNginxRtmp::Stop() {
  if (!process_.Running()) return;
  process_.Signal(SIGCONT);
  process_.Signal(SIGQUIT);
  if (process_.WaitExit(std::chrono::seconds(5)) == -1) process_.Stop();
}

void TNginxRtmp::Kill() {
  process_.Signal(SIGKILL);
  process_.WaitExit(std::chrono::seconds(5));
}

void TNginxRtmp::Pause() { process_.Signal(SIGSTOP); }
void TNginxRtmp::Resume() { process_.Signal(SIGCONT); }

std::string TNginxRtmp::PublishUrl(const std::string& stream) const {
  return "rtmp://127.0.0.1:" + std::to_string(port_) + "/" + Application() + "/" + stream;
}

std::string TNginxRtmp::RecordingPath(const std::string& stream) const {
  return recordDir_ + "/" + stream + ".flv";
}

bool TNginxRtmp::WaitForRecording(const std::string& stream, std::chrono::milliseconds timeout,
                                  std::chrono::milliseconds settle) const {
  return WaitForSettledFile([&] { return RecordingPath(stream); }, timeout, settle);
}

std::string TNginxRtmp::ErrorLog() const { return ReadWholeFile(dir_.File("error.log")); }

}  // namespace testsupport
