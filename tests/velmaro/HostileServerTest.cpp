// Servers that answer the open with poison or not at all: the open ends with
// its result within the deadline and the process lives; RTMP_CancelOpen ends
// an open in every wait (name lookup, connect, handshake, conversation).
#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <iostream>
#include <thread>

#include "Processes.h"
#include "SilentServers.h"
#include "VelmaroTesting.h"
#include "librtmp.h"

namespace {

using namespace std::chrono_literals;
using velmarotest::THostileServer;
using TClock = std::chrono::steady_clock;

struct TOpenOutcome {
  int32_t code;
  TClock::duration took;
  bool handleNull;
};

TOpenOutcome TimedOpen(const std::string& url) {
  TVelmaroHandle handle = reinterpret_cast<TVelmaroHandle>(0x1);
  auto started = TClock::now();
  int32_t code = RTMP_Open(url.c_str(), &handle);
  TOpenOutcome outcome{code, TClock::now() - started, handle == nullptr};
  if (handle != nullptr) RTMP_Close(handle);
  return outcome;
}

long Ms(TClock::duration d) { return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()); }

TEST(VelmaroHostileServers, PoisonedOrMissingRepliesEndTheOpenWithinItsDeadline) {
  struct TCase {
    const char* what;
    std::vector<std::string> mode;
    std::chrono::milliseconds atLeast;
    std::chrono::milliseconds within;
  };
  const TCase cases[] = {
      // librtmp's decoder recursed once per level and overflowed the stack.
      {"a _result nesting 60,000 objects", {"deep-amf", "60000"}, 0ms, 3s},
      {"a small _result nesting 40 objects", {"deep-amf", "40"}, 0ms, 3s},
      // Each ping restarted librtmp's receive time-out: the open never ended.
      {"a server that pings but never answers connect", {"chatty"}, 9s, 11500ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    THostileServer server(c.mode);
    TOpenOutcome outcome = TimedOpen(server.Url());
    EXPECT_EQ(outcome.code, VELMARO_CONNECT_STREAM_FAILED);
    EXPECT_TRUE(outcome.handleNull);
    EXPECT_GE(outcome.took, c.atLeast) << "took " << Ms(outcome.took) << " ms";
    EXPECT_LT(outcome.took, c.within) << "took " << Ms(outcome.took) << " ms";
  }
}

// A resolver that hangs until the test lets it go (getaddrinfo has no
// time-out of its own; on loopback a hanging one cannot be had otherwise).
std::atomic<bool> gReleaseLookups{false};
int HangingLookup(const char*, const char*, const addrinfo*, addrinfo**) {
  while (!gReleaseLookups.load()) std::this_thread::sleep_for(5ms);
  return EAI_NONAME;
}

class VelmaroOpenWaits : public ::testing::Test {
 protected:
  void SetUp() override { gReleaseLookups = false; }
  void TearDown() override {
    velmaro::SetNameLookupForTesting(nullptr);
    gReleaseLookups = true;
  }
};

TEST_F(VelmaroOpenWaits, TheDeadlineCoversTheNameLookup) {
  velmaro::SetNameLookupForTesting(&HangingLookup);
  TOpenOutcome outcome = TimedOpen("rtmp://lookup.invalid/app/stream");
  EXPECT_EQ(outcome.code, VELMARO_CONNECT_FAILED);
  EXPECT_GE(outcome.took, 9s);
  EXPECT_LT(outcome.took, 12s) << "took " << Ms(outcome.took) << " ms";
}

// A listener whose accept queue is full and never drained: the kernel drops
// further SYNs, so a connect to it waits.
class TFullBacklog {
 public:
  TFullBacklog() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener_, 0) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      throw std::runtime_error("no listener");
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < 4; ++i) {  // fill the queue
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      fillers_.push_back(fd);
    }
  }
  ~TFullBacklog() {
    for (int fd : fillers_) close(fd);
    close(listener_);
  }
  int Port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

// Starts an open, cancels it once it waits, and returns how long the open
// took to come back after the cancel.
TOpenOutcome CancelWhileWaiting(const std::string& url) {
  auto pending = std::async(std::launch::async, [&] { return TimedOpen(url); });
  if (pending.wait_for(700ms) != std::future_status::timeout)
    return TOpenOutcome{pending.get().code, 0ms, true};  // it did not wait at all
  auto cancelled = TClock::now();
  RTMP_CancelOpen();
  if (pending.wait_for(5s) != std::future_status::ready) return TOpenOutcome{0, 5s, false};
  TOpenOutcome outcome = pending.get();
  outcome.took = TClock::now() - cancelled;
  return outcome;
}

TEST_F(VelmaroOpenWaits, RTMP_CancelOpenEndsEveryWaitOfAnOpen) {
  velmaro::SetNameLookupForTesting(&HangingLookup);
  TOpenOutcome lookup = CancelWhileWaiting("rtmp://lookup.invalid/app/stream");
  velmaro::SetNameLookupForTesting(nullptr);
  TFullBacklog backlog;
  TOpenOutcome connecting = CancelWhileWaiting("rtmp://127.0.0.1:" + std::to_string(backlog.Port()) + "/app/s");
  testsupport::TSilentServer silent;  // accepts, never answers the handshake
  TOpenOutcome handshake = CancelWhileWaiting("rtmp://127.0.0.1:" + std::to_string(silent.Port()) + "/app/s");
  TOpenOutcome tls = CancelWhileWaiting("rtmps://127.0.0.1:" + std::to_string(silent.Port()) + "/app/s");
  THostileServer mute({"mute"});
  TOpenOutcome conversation = CancelWhileWaiting(mute.Url());

  const std::pair<const char*, TOpenOutcome*> waits[] = {
      {"name lookup", &lookup}, {"connect", &connecting}, {"handshake", &handshake}, {"TLS handshake", &tls},
      {"conversation", &conversation}};
  for (const auto& [what, outcome] : waits) {
    SCOPED_TRACE(what);
    EXPECT_EQ(outcome->code, VELMARO_OPEN_CANCELLED);
    EXPECT_TRUE(outcome->handleNull);
    // The goal is about 100 ms; the bound leaves room for a busy machine.
    EXPECT_LT(outcome->took, 600ms) << "came back " << Ms(outcome->took) << " ms after the cancel";
    std::cout << what << ": returned " << Ms(outcome->took) << " ms after the cancel\n";
  }
}

// Server bytes that once made the connect path misbehave (found by the
// fuzz target), replayed on a socket pair: the open ends at the stream's end
// with a failure, and (under AddressSanitizer) nothing leaks.
TEST(VelmaroHostileServers, ReplayedServerBytesEndTheOpenCleanly) {
  for (const char* name : {"connect-unfinished-body-at-end", "connect-failed-continuation-read"}) {
    SCOPED_TRACE(name);
    std::string bytes = testsupport::ReadWholeFile(testsupport::SourceDir() + "/tests/velmaro/data/" + name);
    ASSERT_FALSE(bytes.empty());
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ASSERT_EQ(write(pair[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    shutdown(pair[1], SHUT_WR);
    auto connection = velmaro::TRtmpConnection::Allocate();
    ASSERT_TRUE(connection);
    ASSERT_GT(connection->SetupURL("rtmp://127.0.0.1/app/stream"), 0);
    connection->EnableWrite();
    const velmaro::TOpenBounds bounds(TClock::now() + 5s, nullptr);
    auto started = TClock::now();
    velmaro::TOpenEnd end = connection->ConnectOnSocket(pair[0], bounds);
    if (end == velmaro::TOpenEnd::Done) end = connection->ConnectStream(bounds);
    EXPECT_EQ(end, velmaro::TOpenEnd::Failed);
    EXPECT_LT(TClock::now() - started, 2s);
    connection->Close();
    close(pair[1]);
  }
}

}  // namespace
