// The simulated device's web server: /cgi-bin/logon.cgi hands out login keys
// for the RTSP streams that require one.
#pragma once

#include <libsoup/soup.h>

#include <mutex>
#include <set>
#include <string>

#include "SimulatorOptions.h"

// Login keys handed out so far. The HTTP handler adds, the RTSP server checks.
class TLoginKeys {
 public:
  std::string Issue();
  bool Valid(const std::string& key) const;

 private:
  mutable std::mutex lock_;
  std::set<std::string> keys_;
};

class TLogonServer {
 public:
  TLogonServer(const TSimulatorOptions& options, TLoginKeys& keys);
  ~TLogonServer();
  TLogonServer(const TLogonServer&) = delete;
  TLogonServer& operator=(const TLogonServer&) = delete;

  // Listens on the options' address and port (on the thread-default main
  // context); returns the bound port, or 0 with the reason in `error`.
  int Listen(std::string& error);

 private:
  static void HandleLogon(SoupServer* server, SoupServerMessage* message, const char* path,
                          GHashTable* query, gpointer self);
  void Answer(SoupServerMessage* message, GHashTable* query);

  const TSimulatorOptions& options_;
  TLoginKeys& keys_;
  std::string passwordHash_;  // lower-case MD5 hex of the password's GBK bytes
  SoupServer* server_ = nullptr;
};

// Lower-case MD5 hex of the password as a device on a GBK system holds it.
std::string DevicePasswordHash(const std::string& utf8Password);
