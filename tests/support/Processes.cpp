#include "Processes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const auto& item : extra) {
    std::string name = item.substr(0, item.find('='));
    std::erase_if(env, [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
    env.push_back(item);
  }
  return env;
}

pid_t Spawn(const std::vector<std::string>& argv, int outFd, int errFd,
            const std::vector<std::string>& extraEnvironment, const std::string& inputPath = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inputPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Children start with default signal dispositions and nothing blocked, so a
  // test that ignores SIGPIPE does not hand that on to a server it starts.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::vector<std::string> args = argv;
  std::vector<std::string> env = EnvironmentWith(extraEnvironment);
  auto argp = CStrings(args);
  auto envp = CStrings(env);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv.at(0).c_str(), &actions, &attributes, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

}  // namespace

TChildProcess::~TChildProcess() { Stop(std::chrono::milliseconds(2000)); }

void TChildProcess::Start(const std::vector<std::string>& argv, const std::string& logPath,
                          const std::vector<std::string>& extraEnvironment) {
  if (pid_ > 0 && !reaped_) throw std::runtime_error("process already started");
  int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (logFd < 0) throw std::runtime_error("cannot open log " + logPath);
  try {
    pid_ = Spawn(argv, logFd, logFd, extraEnvironment, inputPath_);
  } catch (...) {
    ::close(logFd);
    throw;
  }
  ::close(logFd);
  reaped_ = false;
  status_ = -1;
}

bool TChildProcess::Running() {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    reaped_ = true;
    status_ = status;
    return false;
  }
  return true;
}

void TChildProcess::Signal(int signal) {
  if (Running()) ::kill(pid_, signal);
}

int TChildProcess::WaitExit(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Running()) {
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

int TChildProcess::Stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return -1;
  if (Running()) {
    ::kill(pid_, SIGCONT);  // a paused process cannot act on SIGTERM
    ::kill(pid_, SIGTERM);
    if (WaitExit(grace) == -1 && Running()) {
      ::kill(pid_, SIGKILL);
      WaitExit(std::chrono::milliseconds(5000));
    }
  }
  return status_;
}

TCommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::seconds timeout) {
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  pid_t pid;
  try {
    pid = Spawn(argv, outPipe[1], errPipe[1], {});
  } catch (...) {
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) ::close(fd);
    throw;
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  TCommandResult result;
  auto deadline = Clock::now() + timeout;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  bool timedOut = false;
  char buffer[65536];
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.output : result.errors).append(buffer, static_cast<size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  if (timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

TTempDir::TTempDir(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TTempDir::~TTempDir() {
  if (std::getenv("TIDECAST_KEEP_TEST_FILES") != nullptr) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
  }
  int port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

bool WaitForListener(int port, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string BuildDir() {
  if (const char* dir = std::getenv("TIDECAST_BUILD_DIR")) return dir;
  return std::filesystem::current_path().parent_path().string();
}

std::string SourceDir() {
  if (const char* dir = std::getenv("TIDECAST_SOURCE_DIR")) return dir;
  return std::filesystem::current_path().string();
}

bool WaitForSettledFile(const std::function<std::string()>& path, std::chrono::milliseconds timeout,
                        std::chrono::milliseconds settle) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::uintmax_t lastSize = 0;
  auto stableSince = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path(), error);
    const auto now = std::chrono::steady_clock::now();
    if (!error && size > 0) {
      if (size != lastSize) {
        lastSize = size;
        stableSince = now;
      } else if (now - stableSince >= settle) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace testsupport
