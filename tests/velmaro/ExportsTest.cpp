// The six exports against a real nginx-rtmp: result codes of every stage,
// the calling-order rules, the trace texts, and what reaches the recording
// (header forms that keep the sent timestamps, pass-through, ADTS frames).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Debugs.h"
#include "ErrorReports.h"
#include "MediaProbe.h"
#include "Processes.h"
#include "VelmaroTesting.h"

namespace {

using namespace velmarotest;
using namespace std::chrono_literals;
using testsupport::TBytes;

// Trace lines and error reports of the library, captured for one test.
std::mutex captureLock;
std::vector<std::string> traces;
std::vector<std::string> reports;

void CaptureTrace(const std::string& line) {
  std::lock_guard guard(captureLock);
  traces.push_back(line.substr(9, line.size() - 10));  // without "hh:nn:ss " and the newline
}
void CaptureReport(const std::string& caption, const std::string& text) {
  std::lock_guard guard(captureLock);
  reports.push_back(caption + "|" + text);
}

class VelmaroExports : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<testsupport::TNginxRtmp>();
    server_->Start();
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    DebugOutputEnabled.store(true);
    SetDebugSink(&CaptureTrace);
    SetErrorReportHandler(&CaptureReport);
    std::lock_guard guard(captureLock);
    traces.clear();
    reports.clear();
  }
  void TearDown() override {
    SetDebugSink(nullptr);
    SetErrorReportHandler(nullptr);
    DebugOutputEnabled.store(false);
  }
  static std::vector<std::string> Traces() {
    std::lock_guard guard(captureLock);
    return traces;
  }
  static std::vector<std::string> Reports() {
    std::lock_guard guard(captureLock);
    return reports;
  }
  // A fresh stream name per test: each gets its own recording.
  static std::string Stream() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }
  static std::string Url() { return server_->PublishUrl(Stream()); }
  static const testsupport::TTestMedia& Media() {
    testsupport::TMediaOptions options;
    options.seconds = 2;
    return testsupport::MakeTestMedia(options);
  }

  static std::unique_ptr<testsupport::TNginxRtmp> server_;
};
std::unique_ptr<testsupport::TNginxRtmp> VelmaroExports::server_;

TEST_F(VelmaroExports, OpenFailsWithTheCodeOfTheStageThatFailed) {
  TVelmaroHandle handle = reinterpret_cast<TVelmaroHandle>(0x1);
  EXPECT_EQ(RTMP_Open("no url at all", &handle), VELMARO_URL_REJECTED);
  EXPECT_EQ(handle, nullptr) << "a failed open must leave the handle null";
  EXPECT_EQ(RTMP_Open(nullptr, &handle), VELMARO_URL_REJECTED);
  EXPECT_EQ(RTMP_Open(Url().c_str(), nullptr), VELMARO_BAD_HANDLE);

  const std::string nobody = "rtmp://127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort()) + "/hls/x";
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RTMP_Open(nobody.c_str(), &handle), VELMARO_CONNECT_FAILED);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
  EXPECT_EQ(handle, nullptr);

  const std::string unknownApplication = "rtmp://127.0.0.1:" + std::to_string(server_->Port()) + "/nowhere/x";
  EXPECT_EQ(RTMP_Open(unknownApplication.c_str(), &handle), VELMARO_CONNECT_STREAM_FAILED);
  EXPECT_EQ(handle, nullptr);

  auto lines = Traces();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "RTMP_SetupURL err=0"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "RTMP_Connect err=0"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "RTMP_ConnectStream err=0"), lines.end());
}

TEST_F(VelmaroExports, RefuseNullArgumentsWithTheirCodes) {
  TMediaHeader header = HeaderFor(Media(), true);
  const uint8_t frame[] = {0, 0, 0, 1, 0x65, 0x88, 0x84};
  EXPECT_EQ(RTMP_SendHeader(nullptr, &header), VELMARO_BAD_HANDLE);
  EXPECT_FALSE(RTMP_SendVideo(nullptr, frame, sizeof frame, 0, 1));
  EXPECT_FALSE(RTMP_SendAudio(nullptr, frame, sizeof frame, 0));
  EXPECT_FALSE(RTMP_Close(nullptr));
  EXPECT_EQ(RTMP_SetParam(nullptr, VELMARO_PARAM_PASSTHROUGH, "true"), VELMARO_BAD_HANDLE);

  THandle handle;
  ASSERT_EQ(handle.Open(Url()), VELMARO_OK);
  EXPECT_EQ(RTMP_SendHeader(handle.Get(), nullptr), VELMARO_METADATA_FAILED);
  EXPECT_EQ(Traces().back(), "SendMetadata err=0");
  EXPECT_EQ(RTMP_SetParam(handle.Get(), 99, "true"), VELMARO_BAD_HANDLE);
  EXPECT_FALSE(RTMP_SendVideo(handle.Get(), nullptr, 10, 0, 1));
  EXPECT_FALSE(RTMP_SendVideo(handle.Get(), frame, 0, 0, 1));
  EXPECT_TRUE(handle.Close());
}

TEST_F(VelmaroExports, MediaIsRefusedUntilAHeaderWasSent) {
  const auto& media = Media();
  THandle handle;
  ASSERT_EQ(handle.Open(Url()), VELMARO_OK);
  EXPECT_FALSE(RTMP_SendVideo(handle.Get(), media.video[0].data.data(),
                              static_cast<uint32_t>(media.video[0].data.size()), 0, 1));
  TBytes raw = media.audio[0].Raw();
  EXPECT_FALSE(RTMP_SendAudio(handle.Get(), raw.data(), static_cast<uint32_t>(raw.size()), 0));
  TMediaHeader oversized = HeaderFor(media, true);
  oversized.SpsLen = 1020;  // with the PPS more than the 1024-byte header buffer holds
  EXPECT_EQ(RTMP_SendHeader(handle.Get(), &oversized), VELMARO_HEADER_FAILED);
  EXPECT_FALSE(RTMP_SendVideo(handle.Get(), media.video[0].data.data(),
                              static_cast<uint32_t>(media.video[0].data.size()), 0, 1))
      << "a refused header must leave the handle without a header";
}

TEST_F(VelmaroExports, ASecondHeaderBeforeMediaSendsEverythingAgainAndReplacesTheFirst) {
  const auto& media = Media();
  THandle handle;
  ASSERT_EQ(handle.Open(Url()), VELMARO_OK);
  TMediaHeader videoOnly = HeaderFor(media, false);
  TMediaHeader withAudio = HeaderFor(media, true);
  ASSERT_EQ(RTMP_SendHeader(handle.Get(), &videoOnly), VELMARO_OK);
  TBytes raw = media.audio[0].Raw();
  EXPECT_FALSE(RTMP_SendAudio(handle.Get(), raw.data(), static_cast<uint32_t>(raw.size()), 0))
      << "audio must be refused while the header announces none";
  EXPECT_FALSE(RTMP_SendAudio(handle.Get(), raw.data(), 2, 0));
  ASSERT_EQ(RTMP_SendHeader(handle.Get(), &withAudio), VELMARO_OK);
  EXPECT_FALSE(RTMP_SendAudio(handle.Get(), raw.data(), 2, 0)) << "a frame of 2 bytes or less is refused";
  EXPECT_TRUE(RTMP_SendAudio(handle.Get(), raw.data(), static_cast<uint32_t>(raw.size()), 0))
      << "the second header must replace the first";
  EXPECT_TRUE(RTMP_SendVideo(handle.Get(), media.video[0].data.data(),
                             static_cast<uint32_t>(media.video[0].data.size()), 0, 1));
  EXPECT_TRUE(RTMP_SendAudio(handle.Get(), raw.data(), static_cast<uint32_t>(raw.size()), 100));
  EXPECT_TRUE(RTMP_SendVideo(handle.Get(), media.video[1].data.data(),
                             static_cast<uint32_t>(media.video[1].data.size()), 100, 0));
  EXPECT_TRUE(handle.CloseAfterDrain());

  const std::string url = Url();  // the stream name stands for the key: only its hint is traced
  const std::vector<std::string> expectedTraces = {
      "RTMP_Open " + url.substr(0, url.rfind('/') + 1) + "\u2026" + Stream().substr(Stream().size() - 4),
      "SendMetadata err=1", "SendAVCSequenceHeaderVideo err=1",
      "SendMetadata err=1", "SendAVCSequenceHeaderVideo err=1", "SendAVCSequenceHeaderAudio err=1"};
  EXPECT_EQ(Traces(), expectedTraces);
  auto file = Recording(*server_, Stream());
  auto tags = MediaTags(file);
  ASSERT_EQ(tags.size(), 3u) << "video 0, audio 0, audio 100 (video 100 waits for audio)";
  EXPECT_EQ(tags[0].body, ExpectedVideoBody(media.video[0].data, true));
  EXPECT_EQ(tags[1].body, ExpectedAacBody(raw));
  for (const auto& tag : file.tags) {
    if (tag.IsVideo() && tag.IsSequenceHeader()) {
      EXPECT_EQ(tag.body, ExpectedAvcSequenceHeader(media.sps, media.pps));
    }
  }
}

TEST_F(VelmaroExports, WithoutAudioVideoLeavesUnheldAndPassThroughSendsTheBufferUnchanged) {
  const auto& media = Media();
  THandle handle;
  ASSERT_EQ(handle.Open(Url()), VELMARO_OK);
  TMediaHeader header = HeaderFor(media, false);
  ASSERT_EQ(RTMP_SendHeader(handle.Get(), &header), VELMARO_OK);
  const TBytes& first = media.video[0].data;
  const TBytes& second = media.video[1].data;
  EXPECT_TRUE(RTMP_SendVideo(handle.Get(), first.data(), static_cast<uint32_t>(first.size()), 0, 1));
  const uint8_t noStartCode[] = {0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_FALSE(RTMP_SendVideo(handle.Get(), noStartCode, sizeof noStartCode, 20, 0)) << "nothing to send";
  EXPECT_EQ(RTMP_SetParam(handle.Get(), VELMARO_PARAM_PASSTHROUGH, "tRuE"), VELMARO_OK);
  EXPECT_TRUE(RTMP_SendVideo(handle.Get(), second.data(), static_cast<uint32_t>(second.size()), 40, 0));
  EXPECT_EQ(RTMP_SetParam(handle.Get(), VELMARO_PARAM_PASSTHROUGH, "yes"), VELMARO_OK);
  EXPECT_TRUE(RTMP_SendVideo(handle.Get(), second.data(), static_cast<uint32_t>(second.size()), 80, 0));
  EXPECT_EQ(RTMP_SetParam(handle.Get(), VELMARO_PARAM_PASSTHROUGH, nullptr), VELMARO_OK);
  EXPECT_TRUE(handle.CloseAfterDrain());

  auto tags = MediaTags(Recording(*server_, Stream()));
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[0].body, ExpectedVideoBody(first, true));
  TBytes passThrough = {0x27, 0x01, 0x00, 0x00, 0x00, 0, 0, static_cast<uint8_t>(second.size() >> 8),
                        static_cast<uint8_t>(second.size())};
  passThrough.insert(passThrough.end(), second.begin(), second.end());
  ASSERT_LT(second.size(), 65536u);
  EXPECT_EQ(tags[1].body, passThrough);
  EXPECT_EQ(tags[2].body, ExpectedVideoBody(second, false)) << "\"yes\" must turn pass-through off";
  EXPECT_EQ(tags[1].timestamp, 40u);
  EXPECT_EQ(tags[2].timestamp, 80u);
}

TEST_F(VelmaroExports, AdtsFramedAacIsReportedOncePerHandleAndStillSent) {
  const auto& media = Media();
  THandle handle;
  ASSERT_EQ(handle.Open(Url()), VELMARO_OK);
  TMediaHeader header = HeaderFor(media, true);
  ASSERT_EQ(RTMP_SendHeader(handle.Get(), &header), VELMARO_OK);
  for (int i = 0; i < 3; ++i) {
    const TBytes& adts = media.audio[static_cast<size_t>(i)].adts;
    EXPECT_TRUE(RTMP_SendAudio(handle.Get(), adts.data(), static_cast<uint32_t>(adts.size()), i * 21u));
  }
  EXPECT_TRUE(RTMP_SendVideo(handle.Get(), media.video[0].data.data(),
                             static_cast<uint32_t>(media.video[0].data.size()), 100, 1));
  EXPECT_TRUE(handle.CloseAfterDrain());
  EXPECT_EQ(Reports(), std::vector<std::string>{
                           "ERROR|RTMP_SendAudio():Malformed AAC bitstream detected: use audio bitstream filter "
                           "aac_adtstoasc to fix it"});
  auto tags = MediaTags(Recording(*server_, Stream()));
  ASSERT_GE(tags.size(), 3u);
  EXPECT_EQ(tags[0].body, ExpectedAacBody(media.audio[0].adts)) << "the frame goes out unchanged, header included";
}

TEST_F(VelmaroExports, SpeexThatFlvCannotCarryEndsTheHeaderWithAnError) {
  THandle handle;
  ASSERT_EQ(handle.Open(Url()), VELMARO_OK);
  TMediaHeader header = HeaderFor(Media(), true);
  header.AudioCodecId = 0xB0;
  header.AudioSampleRate = 8000;
  header.AudioChannels = 1;
  EXPECT_EQ(RTMP_SendHeader(handle.Get(), &header), VELMARO_HEADER_FAILED);
  header.AudioSampleRate = 16000;
  header.AudioChannels = 2;
  EXPECT_EQ(RTMP_SendHeader(handle.Get(), &header), VELMARO_HEADER_FAILED);
  EXPECT_EQ(Reports(), (std::vector<std::string>{
                           "ERROR|FLV only supports wideband (16kHz) Speex audio (VelmaroImp, line 307)",
                           "ERROR|FLV only supports mono Speex audio (VelmaroImp, line 308)"}));
  header.AudioChannels = 1;
  EXPECT_EQ(RTMP_SendHeader(handle.Get(), &header), VELMARO_OK);
}

// librtmp shortens a header to "same as before" when size, type and time
// repeat, and the server then adds the previous delta again; a time below
// the previous one would become a huge delta. The recording must hold the
// times that were sent.
TEST_F(VelmaroExports, RepeatedAndBackwardTimestampsArriveAsSent) {
  const auto& media = Media();
  THandle handle;
  ASSERT_EQ(handle.Open(Url()), VELMARO_OK);
  TMediaHeader header = HeaderFor(media, true);
  ASSERT_EQ(RTMP_SendHeader(handle.Get(), &header), VELMARO_OK);
  const TBytes& key = media.video[0].data;
  const TBytes& inter = media.video[1].data;
  TBytes raw = media.audio[0].Raw();
  auto video = [&](const TBytes& au, uint32_t t, uint8_t k) {
    EXPECT_TRUE(RTMP_SendVideo(handle.Get(), au.data(), static_cast<uint32_t>(au.size()), t, k));
  };
  auto audio = [&](uint32_t t) {
    EXPECT_TRUE(RTMP_SendAudio(handle.Get(), raw.data(), static_cast<uint32_t>(raw.size()), t));
  };
  // Video times 0, 40, 40, 80, 60 (backwards), 200; audio 20, 20, 40, 40, 100, 300.
  video(key, 0, 1);
  video(inter, 40, 0);
  video(inter, 40, 0);
  video(inter, 80, 0);
  video(inter, 60, 0);
  video(inter, 200, 0);
  for (uint32_t t : {20u, 20u, 40u, 40u, 100u, 300u}) audio(t);
  EXPECT_TRUE(handle.CloseAfterDrain());

  std::vector<std::pair<int, uint32_t>> recorded;
  for (const auto& tag : MediaTags(Recording(*server_, Stream()))) recorded.emplace_back(tag.type, tag.timestamp);
  const std::vector<std::pair<int, uint32_t>> sent = {{9, 0},  {8, 20}, {8, 20}, {9, 40},  {9, 40},
                                                       {8, 40}, {8, 40}, {9, 80}, {9, 60}, {8, 100}, {9, 200}};
  EXPECT_EQ(recorded, sent);
}

TEST(VelmaroLibrary, ExportsExactlyItsOwnFunctions) {
  auto result = testsupport::RunCommand({"nm", "-D", "--defined-only", testsupport::BuildDir() + "/lib/libvelmaro.so"});
  ASSERT_EQ(result.exitCode, 0) << result.errors;
  std::set<std::string> exported;
  std::istringstream lines(result.output);
  for (std::string address, type, name; lines >> address >> type >> name;)
    if (type != "U" && type != "w" && type != "v") exported.insert(name);
  // Sanitizer builds add their own entry points to every shared object.
  std::erase_if(exported, [](const std::string& n) { return n.rfind("__", 0) == 0 || n.rfind("_fini", 0) == 0; });
  EXPECT_EQ(exported, (std::set<std::string>{"RTMP_CancelOpen", "RTMP_Close", "RTMP_GetStats", "RTMP_Open",
                                             "RTMP_SendAudio", "RTMP_SendHeader", "RTMP_SendVideo",
                                             "RTMP_SetParam"}));
}

}  // namespace
