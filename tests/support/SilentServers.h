// A TCP listener on 127.0.0.1 that accepts connections (the kernel does) and
// never answers: a device that hangs, for time-out tests.
#pragma once

namespace testsupport {

class TSilentServer {
 public:
  TSilentServer();
  ~TSilentServer();
  TSilentServer(const TSilentServer&) = delete;
  TSilentServer& operator=(const TSilentServer&) = delete;
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace testsupport
