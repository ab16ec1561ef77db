#include "TlsSessions.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/socket.h>

#include <cerrno>
#include <mutex>

#include "LinkProgresses.h"

namespace velmaro {
namespace {

// Set by Pull when the socket's receive time-out passed: then GnuTLS's
// GNUTLS_E_AGAIN means "nothing came", not "a message of TLS's own came".
thread_local bool tReceiveTimedOut = false;

std::mutex gOptionsLock;
TTlsOptions gOptions;  // guarded by gOptionsLock

ssize_t Push(gnutls_transport_ptr_t fd, const void* data, size_t length) {
  return SendWhileProgressing(static_cast<int>(reinterpret_cast<intptr_t>(fd)), data, length);
}

// The socket's receive time-out makes a silent peer come back as EAGAIN, so
// the handshake loop below looks at the open's bounds between tries.
ssize_t Pull(gnutls_transport_ptr_t fd, void* data, size_t length) {
  ssize_t received = recv(static_cast<int>(reinterpret_cast<intptr_t>(fd)), data, length, 0);
  tReceiveTimedOut = received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  return received;
}

bool IsAddressLiteral(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string VerificationText(gnutls_session_t session) {
  const unsigned status = gnutls_session_get_verify_cert_status(session);
  gnutls_datum_t text{};
  if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) != 0) return "not trusted";
  std::string out(reinterpret_cast<const char*>(text.data), text.size);
  gnutls_free(text.data);
  return out;
}

}  // namespace

void SetTlsOptions(const TTlsOptions& options) {
  std::lock_guard guard(gOptionsLock);
  gOptions = options;
}

TTlsOptions CurrentTlsOptions() {
  std::lock_guard guard(gOptionsLock);
  return gOptions;
}

TTlsSession::~TTlsSession() {
  // No close_notify and no wait for the peer's: the connection is being
  // abandoned or closed, and the TCP close follows.
  if (session_ != nullptr) gnutls_deinit(static_cast<gnutls_session_t>(session_));
  if (credentials_ != nullptr)
    gnutls_certificate_free_credentials(static_cast<gnutls_certificate_credentials_t>(credentials_));
}

std::unique_ptr<TTlsSession> TTlsSession::Start(int fd, const std::string& host, const TTlsOptions& options,
                                                const TOpenBounds& bounds, TOpenEnd& end, std::string& why) {
  std::unique_ptr<TTlsSession> tls(new TTlsSession);
  end = TOpenEnd::Failed;
  gnutls_certificate_credentials_t credentials = nullptr;
  if (gnutls_certificate_allocate_credentials(&credentials) != GNUTLS_E_SUCCESS) {
    why = "no memory for credentials";
    return nullptr;
  }
  tls->credentials_ = credentials;
  if (options.Verify) {
    if (gnutls_certificate_set_x509_system_trust(credentials) < 0) why = "the system's authorities could not be read";
    if (!options.CaFile.empty() &&
        gnutls_certificate_set_x509_trust_file(credentials, options.CaFile.c_str(), GNUTLS_X509_FMT_PEM) <= 0) {
      why = "no authority could be read from the CA file " + options.CaFile;
      end = TOpenEnd::TlsRefused;
      return nullptr;
    }
  }
  gnutls_session_t session = nullptr;
  if (gnutls_init(&session, GNUTLS_CLIENT) != GNUTLS_E_SUCCESS) {
    why = "no TLS session";
    return nullptr;
  }
  tls->session_ = session;
  gnutls_set_default_priority(session);
  gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials);
  if (!IsAddressLiteral(host)) gnutls_server_name_set(session, GNUTLS_NAME_DNS, host.data(), host.size());
  if (options.Verify) gnutls_session_set_verify_cert(session, host.c_str(), 0);
  gnutls_transport_set_ptr(session, reinterpret_cast<gnutls_transport_ptr_t>(static_cast<intptr_t>(fd)));
  gnutls_transport_set_push_function(session, &Push);
  gnutls_transport_set_pull_function(session, &Pull);
  int result = GNUTLS_E_AGAIN;
  while (result < 0) {
    result = gnutls_handshake(session);
    if (result >= 0) break;
    TOpenEnd bound = bounds.Check();
    if (bound != TOpenEnd::Done) {
      end = bound;
      why = "the handshake did not finish in time";
      return nullptr;
    }
    if (result == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
      end = TOpenEnd::TlsRefused;
      why = VerificationText(session);
      return nullptr;
    }
    if (gnutls_error_is_fatal(result)) {
      why = gnutls_strerror(result);
      return nullptr;
    }
  }
  end = TOpenEnd::Done;
  return tls;
}

}  // namespace velmaro

// librtmp reads through gnutls_record_recv and takes any result other than -1
// as a byte count. GnuTLS answers a message of its own (a TLS 1.3 session
// ticket after the handshake) with GNUTLS_E_AGAIN: read on then. Every other
// failure becomes -1 with errno as for a socket (EAGAIN on the receive
// time-out, which librtmp treats as such).
extern "C" ssize_t velmaro_gnutls_record_recv(gnutls_session_t session, void* data, size_t length) {
  for (int messagesOfItsOwn = 0;; ++messagesOfItsOwn) {
    velmaro::tReceiveTimedOut = false;
    ssize_t received = gnutls_record_recv(session, data, length);
    if (received >= 0) return received;
    const bool again = received == GNUTLS_E_AGAIN || received == GNUTLS_E_INTERRUPTED;
    if (again && !velmaro::tReceiveTimedOut && messagesOfItsOwn < 64) continue;
    errno = again ? EAGAIN : ECONNRESET;
    return -1;
  }
}
