// The service manager's notification protocol: when the manager started the
// program with NOTIFY_SOCKET set, state texts ("READY=1", "STATUS=...",
// "WATCHDOG=1", "STOPPING=1") go to that socket as one datagram each.
//
// Written here rather than linked from libsystemd: the protocol is one
// datagram to a unix socket (path or abstract name), documented by the
// service manager as a stable interface; about thirty lines spare the
// package a library dependency and keep the program the same with or
// without a service manager.
#pragma once

#include <chrono>
#include <string>

class TServiceNotifier {
 public:
  // Reads NOTIFY_SOCKET and WATCHDOG_USEC (with WATCHDOG_PID, when set, naming
  // this process) from the environment.
  TServiceNotifier();
  ~TServiceNotifier();
  TServiceNotifier(const TServiceNotifier&) = delete;
  TServiceNotifier& operator=(const TServiceNotifier&) = delete;

  bool Enabled() const { return fd_ >= 0; }
  // How often the watchdog wants "WATCHDOG=1": half its time-out; zero when
  // the manager keeps no watchdog.
  std::chrono::milliseconds WatchdogInterval() const { return watchdogInterval_; }
  // Sends one datagram; never blocks. False when disabled or not sent.
  bool Send(const std::string& text) const;

 private:
  int fd_ = -1;
  std::string address_;  // sockaddr_un bytes
  std::chrono::milliseconds watchdogInterval_{0};
};

// The "STATUS=" text: no line ends, at most a few hundred bytes.
std::string ServiceStatusText(const std::string& status);
