// Child processes for tests: real servers (nginx, the device simulator) and
// the command-line tools that judge results (ffmpeg, ffprobe).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// One child process. Its output goes to a log file; the destructor ends it
// (SIGTERM, then SIGKILL after a grace period) so a failing test leaves no
// server behind.
class TChildProcess {
 public:
  TChildProcess() = default;
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;
  ~TChildProcess();

  // Starts argv[0] (looked up on PATH) with its output appended to logPath.
  // Throws std::runtime_error when the process cannot be started.
  void Start(const std::vector<std::string>& argv, const std::string& logPath,
             const std::vector<std::string>& extraEnvironment = {});
  // Standard input of the next Start: a file, /dev/null unless set.
  void SetInput(const std::string& path) { inputPath_ = path; }
  bool Running();
  void Signal(int signal);
  // Ends the process: SIGTERM, then SIGKILL after the grace period. Returns
  // the exit status as waitpid gives it, or -1 when nothing ran.
  int Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));
  // Waits up to the time-out for the process to end by itself; returns the
  // waitpid status, or -1 on time-out.
  int WaitExit(std::chrono::milliseconds timeout);
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string inputPath_ = "/dev/null";
  bool reaped_ = false;
  int status_ = -1;
};

struct TCommandResult {
  int exitCode = -1;  // -1 when killed by the time-out or a signal
  std::string output; // standard output
  std::string errors; // standard error
};

// Runs a command to its end (bounded by the time-out) and collects its output.
TCommandResult RunCommand(const std::vector<std::string>& argv,
                          std::chrono::seconds timeout = std::chrono::seconds(120));

// A fresh directory under the system's temporary folder, removed with its
// contents by the destructor.
class TTempDir {
 public:
  explicit TTempDir(const std::string& prefix = "tidecast-test");
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  ~TTempDir();
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A TCP port on 127.0.0.1 that nothing listens on at the moment of the call.
int FreeLoopbackPort();

// True once something accepts TCP connections on 127.0.0.1:port.
bool WaitForListener(int port, std::chrono::milliseconds timeout);

std::string ReadWholeFile(const std::string& path);
// Waits until the file `path()` names exists and has not grown for the
// settle time (a server finishes a recording after the publisher goes away);
// `path` is asked again each time, for servers that name files as they go.
bool WaitForSettledFile(const std::function<std::string()>& path, std::chrono::milliseconds timeout,
                        std::chrono::milliseconds settle);

// The build folder (from the TIDECAST_BUILD_DIR environment ctest sets, else
// the current folder's parent) and files within it.
std::string BuildDir();
std::string SourceDir();

}  // namespace testsupport
