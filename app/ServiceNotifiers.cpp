#include "ServiceNotifiers.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "LaunchModes.h"

namespace {

constexpr size_t kMaxStatusBytes = 400;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

TServiceNotifier::TServiceNotifier() {
  std::string path = Environment("NOTIFY_SOCKET");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // "@name" is an abstract socket: a leading zero byte instead of the "@".
  if (path.empty() || (path[0] != '/' && path[0] != '@') || path.size() >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (path[0] == '@') address.sun_path[0] = '\0';
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return;
  address_.assign(reinterpret_cast<const char*>(&address), offsetof(sockaddr_un, sun_path) + path.size());

  std::string pid = Environment("WATCHDOG_PID");
  if (!pid.empty() && LaunchInteger(pid, 0, 1, INT32_MAX) != ::getpid()) return;  // the watchdog is another's
  int64_t usec = LaunchInteger(Environment("WATCHDOG_USEC"), 0, 0, INT64_MAX / 2);
  watchdogInterval_ = std::chrono::milliseconds(usec / 2000);
}

TServiceNotifier::~TServiceNotifier() {
  if (fd_ >= 0) ::close(fd_);
}

bool TServiceNotifier::Send(const std::string& text) const {
  if (fd_ < 0) return false;
  ssize_t sent = ::sendto(fd_, text.data(), text.size(), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(address_.data()), static_cast<socklen_t>(address_.size()));
  return sent == static_cast<ssize_t>(text.size());
}

std::string ServiceStatusText(const std::string& status) {
  std::string text = "STATUS=" + status.substr(0, kMaxStatusBytes);
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}
