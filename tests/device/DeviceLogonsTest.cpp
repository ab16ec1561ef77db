// Device logon against the device simulator's real HTTP server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "DeviceLogons.h"
#include "DeviceSimulator.h"
#include "GbkTexts.h"
#include "MD5s.h"
#include "SilentServers.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

std::string LogonUrl(const TDeviceSimulator& device, const std::string& query) {
  return "http://127.0.0.1:" + std::to_string(device.HttpPort()) + "/cgi-bin/logon.cgi?" + query;
}

// Answers one HTTP request with `reply` on a loopback port of its own.
class TOneReplyServer {
 public:
  explicit TOneReplyServer(std::string reply) : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 1) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("cannot listen");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      int client = ::accept(fd_, nullptr, nullptr);
      if (client < 0) return;
      char request[4096];
      [[maybe_unused]] ssize_t n = ::recv(client, request, sizeof request, 0);
      [[maybe_unused]] ssize_t m = ::send(client, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      ::close(client);
    });
  }
  ~TOneReplyServer() {
    ::shutdown(fd_, SHUT_RDWR);  // ends a wait in accept
    thread_.join();
    ::close(fd_);
  }
  int Port() const { return port_; }

 private:
  std::string reply_;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace

TEST(SplitReplyFields, Table) {
  using V = std::vector<std::string>;
  struct TCase {
    std::string reply;
    V fields;
  };
  const std::vector<TCase> cases = {
      {"", {}},
      {"-1\r\n", {"-1"}},
      {"1|KEY|admin", {"1", "KEY", "admin"}},
      {"1||KEY||admin|", {"1", "KEY", "admin"}},       // empty fields are not counted
      {"|1|KEY|admin", {"1", "KEY", "admin"}},
      {"1|\"K|E\"|x", {"1", "\"K|E\"", "x"}},          // quotes keep the separator and stay
      {"1|'K\"|'|x", {"1", "'K\"|'", "x"}},            // only the same quote closes
      {"1|\x81|KEY|x", {"1", "\x81|KEY", "x"}},        // GBK trail byte 0x7C is no separator
      {"1\r\nKEY\n\r\nx", {"1", "KEY", "x"}},          // line ends end fields too
  };
  for (const TCase& c : cases) EXPECT_EQ(SplitReplyFields(c.reply), c.fields) << c.reply;
}

TEST(GetLoginKey, RightAndWrongPasswordsAgainstTheDevice) {
  TDeviceSimulatorOptions options;
  options.password = "Pa55word";
  TDeviceSimulator device(options);
  device.Start();
  std::string key = GetLoginKey("127.0.0.1", "admin", "Pa55word", device.HttpPort());
  ASSERT_EQ(key.size(), 32u);
  EXPECT_EQ(device.Requests("-> 1|" + key + "|admin").size(), 1u) << "the key the device handed out";
  EXPECT_EQ(device.Requests("upswd=" + MD5Hex("Pa55word")).size(), 1u);
  EXPECT_NE(GetLoginKey("127.0.0.1", "admin", "Pa55word", device.HttpPort()), key) << "a fresh key each time";

  for (auto [user, password] : {std::pair{"admin", "pa55word"}, std::pair{"admin", ""}, std::pair{"root", "Pa55word"}})
    EXPECT_EQ(GetLoginKey("127.0.0.1", user, password, device.HttpPort()), "") << user << "/" << password;
  EXPECT_EQ(device.Requests("-> -1").size(), 3u);
  EXPECT_EQ(device.Requests("upswd=d41d8cd98f00b204e9800998ecf8427e").size(), 1u) << "empty password: full hash";
}

TEST(GetLoginKey, NonAsciiPasswordIsHashedAndUserNameEncodedInGbk) {
  TDeviceSimulatorOptions options;
  options.password = "\xE5\xAF\x86\xE7\xA0\x81";  // 密码
  TDeviceSimulator device(options);
  device.Start();
  EXPECT_EQ(GetLoginKey("127.0.0.1", "admin", options.password, device.HttpPort()).size(), 32u);
  EXPECT_EQ(device.Requests("upswd=" + MD5Hex("\xC3\xDC\xC2\xEB")).size(), 1u) << "GBK bytes of the password";
  // 管理员 in GBK; a blank and query characters would otherwise break the URL.
  GetLoginKey("127.0.0.1", "\xE7\xAE\xA1\xE7\x90\x86\xE5\x91\x98", "x", device.HttpPort());
  GetLoginKey("127.0.0.1", "a b&upswd=#", "x", device.HttpPort());
  EXPECT_EQ(device.Requests("?username=%B9%DC%C0%ED%D4%B1&upswd=").size(), 1u);
  EXPECT_EQ(device.Requests("?username=a%20b%26upswd%3D%23&upswd=").size(), 1u);
}

TEST(GetLoginKey, OddRepliesTable) {
  struct TCase {
    std::string reply, key;
  };
  const std::vector<TCase> cases = {
      {"", ""},                         // empty body: a download, no key
      {"-1\r\n", ""},                   // one field
      {"1|KEY", ""},                    // two fields
      {"1||KEY||x", "KEY"},             // empty fields skipped before counting
      {"1|a-Z.0_9~|x", "a-Z.0_9~"},     // every kind of URL-safe character
      {"1|" + std::string(256, 'k') + "|x", std::string(256, 'k')},
      // Keys that cannot go into a URL as they are: the logon failed.
      {"1|\"KEY\"|x", ""},               // quotes
      {"1|\x81|KEY|x", ""},               // GBK character with a 0x7C trail byte
      {"1|'K\r\nEY'|x", ""},             // a line break inside a quoted field
      {"1|KEY&x=1|x", ""},
      {"1|" + std::string(257, 'k') + "|x", ""},  // too long
  };
  for (const TCase& c : cases) {
    TDeviceSimulatorOptions options;
    options.logonReply = c.reply;
    TDeviceSimulator device(options);
    device.Start();
    EXPECT_EQ(GetLoginKey("127.0.0.1", "admin", "admin", device.HttpPort()), c.key) << c.reply;
    std::string text = "untouched";
    EXPECT_TRUE(DownloadURLToText(LogonUrl(device, "username=admin&upswd=" + MD5Hex("admin")), text));
    EXPECT_EQ(text, c.reply) << "the body byte for byte";
  }
}

// A logon answered with a redirect fails: the password's hash goes to the
// device asked and nowhere else.
TEST(GetLoginKey, RedirectIsNotFollowed) {
  TDeviceSimulator device;
  device.Start();
  TOneReplyServer redirecting("HTTP/1.1 302 Found\r\nLocation: " +
                              LogonUrl(device, "username=admin&upswd=" + MD5Hex("admin")) +
                              "\r\nContent-Length: 9\r\n\r\n1|key|one");
  EXPECT_EQ(GetLoginKey("127.0.0.1", "admin", "admin", redirecting.Port()), "");
  EXPECT_TRUE(device.Requests("HTTP GET").empty()) << "the redirect was followed";
}

TEST(DownloadURLToText, FailuresLeaveTheTextAndAreBounded) {
  TSilentServer silent;
  TDeviceSimulator device;
  device.Start();
  struct TCase {
    std::string url;
    double maxSeconds;
  };
  const std::vector<TCase> cases = {
      {"http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/cgi-bin/logon.cgi", 2},  // refused
      {"http://127.0.0.1:" + std::to_string(silent.Port()) + "/cgi-bin/logon.cgi", 7},       // never answers
      {"http://127.0.0.1:" + std::to_string(device.HttpPort()) + "/no/such/page", 2},        // 404
      {"file:///etc/passwd", 1},                                                              // not HTTP
  };
  for (const TCase& c : cases) {
    std::string text = "untouched";
    auto start = Clock::now();
    EXPECT_FALSE(DownloadURLToText(c.url, text)) << c.url;
    EXPECT_EQ(text, "untouched");
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), c.maxSeconds) << c.url;
  }
  auto start = Clock::now();
  EXPECT_EQ(GetLoginKey("127.0.0.1", "admin", "admin", silent.Port()), "");
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 7.0);
}

// With a shared temporary file, two logons at once could read each other's
// reply; each must get its own device's answer.
TEST(DownloadURLToText, ConcurrentDownloadsGetTheirOwnReplies) {
  TDeviceSimulatorOptions first, second;
  first.logonReply = "1|FIRST|x";
  second.logonReply = "1|SECOND|x";
  TDeviceSimulator deviceA(first), deviceB(second);
  deviceA.Start();
  deviceB.Start();
  std::atomic<int> wrong{0};
  auto run = [&](const TDeviceSimulator& device, const std::string& expected) {
    for (int i = 0; i < 20; ++i)
      if (GetLoginKey("127.0.0.1", "admin", "admin", device.HttpPort()) != expected) wrong.fetch_add(1);
  };
  std::thread a(run, std::cref(deviceA), "FIRST");
  std::thread b(run, std::cref(deviceB), "SECOND");
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(GetTempDir, EndsWithTheSeparator) {
  std::string dir = GetTempDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
}
