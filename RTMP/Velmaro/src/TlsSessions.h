// RTMPS: a TLS session of our own on librtmp's socket, made before the RTMP
// handshake and then handed to librtmp, which reads and writes through it.
// librtmp's own TLS start sends no server name and checks no certificate;
// here the server name goes out (SNI), the certificate must chain to the
// system's trusted authorities (plus those of a CA file, when one is set) and
// name the host, unless checking was turned off.
#pragma once

#include <memory>
#include <string>

#include "librtmp.h"

namespace velmaro {

// Process-wide; an open takes the values in force when it starts.
struct TTlsOptions {
  std::string CaFile;  // PEM authorities trusted besides the system's
  bool Verify = true;
};
void SetTlsOptions(const TTlsOptions& options);
TTlsOptions CurrentTlsOptions();

class TTlsSession {
 public:
  ~TTlsSession();
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  // The handshake on a connected socket within the open's bounds: Done, or
  // TlsRefused (the certificate failed a check, or the CA file is unusable),
  // Failed, TimedOut, Cancelled; then `why` says what went wrong.
  static std::unique_ptr<TTlsSession> Start(int fd, const std::string& host, const TTlsOptions& options,
                                            const TOpenBounds& bounds, TOpenEnd& end, std::string& why);
  // The gnutls session, for librtmp's socket buffer.
  void* Native() const { return session_; }
  // librtmp freed the session itself (its close after a failed write).
  void Forget() { session_ = nullptr; }

 private:
  TTlsSession() = default;
  void* session_ = nullptr;      // gnutls_session_t
  void* credentials_ = nullptr;  // gnutls_certificate_credentials_t
};

}  // namespace velmaro
