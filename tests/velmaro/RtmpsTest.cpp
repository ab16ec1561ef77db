// RTMPS through a local TLS front (tls_front.py) before nginx-rtmp, with a
// private authority and certificates made here with the openssl tool; and
// stream keys kept out of the trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <mutex>

#include "Debugs.h"
#include "VelmaroTesting.h"

namespace {

using namespace velmarotest;
using namespace std::chrono_literals;

std::mutex gTraceLock;
std::vector<std::string> gTrace;
void CaptureTrace(const std::string& line) {
  std::lock_guard guard(gTraceLock);
  gTrace.push_back(line);
}
std::string TraceText() {
  std::lock_guard guard(gTraceLock);
  std::string text;
  for (const auto& line : gTrace) text += line + "\n";
  return text;
}

void Run(const std::vector<std::string>& argv) {
  auto result = testsupport::RunCommand(argv, 60s);
  ASSERT_EQ(result.exitCode, 0) << argv[0] << " " << argv[1] << ": " << result.errors;
}

// A private authority and certificates: "localhost" and "other.example"
// signed by it, and a self-signed impostor for "localhost".
class Certificates {
 public:
  Certificates() {
    const std::vector<std::string> key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    Request({"-x509", "-keyout", File("ca.key"), "-out", File("ca.pem"), "-subj", "/CN=Tidecast test authority"}, key);
    Request({"-x509", "-keyout", File("impostor.key"), "-out", File("impostor.pem"), "-subj", "/CN=localhost",
             "-addext", "subjectAltName=DNS:localhost"}, key);
    for (const std::string name : {"localhost", "other.example"}) {
      Request({"-keyout", File(name + ".key"), "-out", File(name + ".csr"), "-subj", "/CN=" + name}, key);
      std::ofstream(File(name + ".ext")) << "subjectAltName=DNS:" << name << "\n";
      Run({"openssl", "x509", "-req", "-in", File(name + ".csr"), "-CA", File("ca.pem"), "-CAkey", File("ca.key"),
           "-CAcreateserial", "-days", "2", "-extfile", File(name + ".ext"), "-out", File(name + ".pem")});
    }
  }
  std::string File(const std::string& name) const { return dir_.File(name); }

 private:
  void Request(std::vector<std::string> arguments, const std::vector<std::string>& key) {
    std::vector<std::string> argv = {"openssl", "req", "-days", "2"};
    argv.insert(argv.end(), key.begin(), key.end());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Run(argv);
  }
  testsupport::TTempDir dir_{"velmaro-tls"};
};

class TlsFront {
 public:
  TlsFront(const Certificates& certificates, const std::string& name, int upstream)
      : port_(testsupport::FreeLoopbackPort()), sni_(certificates.File(name + ".sni")) {
    process_.Start({"python3", testsupport::SourceDir() + "/tests/velmaro/tls_front.py", "--port",
                    std::to_string(port_), "--upstream", std::to_string(upstream), "--cert",
                    certificates.File(name + ".pem"), "--key", certificates.File(name + ".key"), "--sni-out", sni_},
                   certificates.File(name + ".log"));
    if (!testsupport::WaitForListener(port_, 10s)) throw std::runtime_error("the TLS front did not start");
  }
  std::string Url(const std::string& app, const std::string& stream) const {
    return "rtmps://localhost:" + std::to_string(port_) + "/" + app + "/" + stream;
  }
  std::string NamesSeen() const {
    std::ifstream in(sni_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  int port_;
  std::string sni_;
  testsupport::TChildProcess process_;
};

class VelmaroRtmps : public ::testing::Test {
 protected:
  void SetUp() override {
    DebugOutputEnabled.store(true);
    SetDebugSink(&CaptureTrace);
    std::lock_guard guard(gTraceLock);
    gTrace.clear();
  }
  void TearDown() override {
    SetDebugSink(nullptr);
    DebugOutputEnabled.store(false);
    RTMP_SetParam(nullptr, VELMARO_PARAM_TLS_CA_FILE, nullptr);
    RTMP_SetParam(nullptr, VELMARO_PARAM_TLS_VERIFY, "1");
  }
};

// Trusted through the CA file: the push runs and the front saw the name.
// Each failed check ends the open with the TLS code and says why; with
// checks off an impostor is accepted, and the trace says so loudly.
TEST_F(VelmaroRtmps, TheCertificateIsCheckedAgainstTheServerName) {
  Certificates certificates;
  testsupport::TNginxRtmp nginx;
  nginx.Start();
  struct TCase {
    const char* certificate;
    bool caFile;
    bool verify;
    int32_t code;
    const char* traced;
  };
  const TCase cases[] = {
      {"localhost", true, true, VELMARO_OK, "certificate checked"},
      {"localhost", false, true, VELMARO_TLS_FAILED, "issuer is unknown"},
      {"impostor", true, true, VELMARO_TLS_FAILED, "NOT trusted"},
      {"other.example", true, true, VELMARO_TLS_FAILED, "does not match"},
      {"impostor", false, false, VELMARO_OK, "WARNING: RTMPS without certificate checks"},
  };
  int stream = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.certificate) + (c.caFile ? " with the CA file" : "") + (c.verify ? "" : ", unchecked"));
    SetUp();
    RTMP_SetParam(nullptr, VELMARO_PARAM_TLS_CA_FILE, c.caFile ? certificates.File("ca.pem").c_str() : "");
    RTMP_SetParam(nullptr, VELMARO_PARAM_TLS_VERIFY, c.verify ? "1" : "0");
    TlsFront front(certificates, c.certificate, nginx.Port());
    const std::string name = "tls" + std::to_string(++stream);
    THandle handle;
    EXPECT_EQ(handle.Open(front.Url(nginx.Application(), name)), c.code) << TraceText();
    EXPECT_NE(TraceText().find(c.traced), std::string::npos) << TraceText();
    EXPECT_NE(front.NamesSeen().find("localhost"), std::string::npos) << "no server name sent";
    const std::string trace = TraceText();
    if (const size_t took = trace.find(" ms (server name sent, certificate checked"); took != std::string::npos)
      std::cout << "TLS handshake:" << trace.substr(trace.rfind(' ', took - 1), took - trace.rfind(' ', took - 1))
                << " ms\n";
    if (c.code != VELMARO_OK || !handle.Get()) continue;
    const auto& media = testsupport::MakeTestMedia({});
    TMediaHeader header = HeaderFor(media, false);
    ASSERT_EQ(RTMP_SendHeader(handle.Get(), &header), VELMARO_OK);
    for (size_t i = 0; i < 25; ++i)
      EXPECT_TRUE(RTMP_SendVideo(handle.Get(), media.video[i].data.data(),
                                 static_cast<uint32_t>(media.video[i].data.size()),
                                 static_cast<uint32_t>(media.video[i].timeMs), media.video[i].key));
    handle.CloseAfterDrain();
    EXPECT_EQ(MediaTags(Recording(nginx, name)).size(), 25u) << "the media did not pass the TLS front";
  }
}

// The key stays out of the trace wherever it stands in the URL, and blanks
// around a URL do not make it fail.
TEST_F(VelmaroRtmps, KeysStayOutOfTheTrace) {
  testsupport::TNginxRtmp nginx;
  nginx.Start();
  const std::string base = "rtmp://127.0.0.1:" + std::to_string(nginx.Port()) + "/" + nginx.Application();
  for (const std::string& url : {base + "?key=K3Y8x7Q2z/room", "  " + base + "/K3Y8x7Q2z \t", base + "/K3Y8x7Q2z?token=T0K3nT0K3n"}) {
    THandle handle;
    EXPECT_EQ(handle.Open(url), VELMARO_OK) << url;
  }
  const std::string trace = TraceText();
  EXPECT_NE(trace.find("RTMP_Open rtmp://127.0.0.1"), std::string::npos) << trace;
  EXPECT_EQ(trace.find("K3Y8x7"), std::string::npos) << trace;
  EXPECT_EQ(trace.find("T0K3n"), std::string::npos) << trace;
}

}  // namespace
