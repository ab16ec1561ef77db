// The whole push with the real parts: the device simulator → the window
// (offscreen) with the real capturer, delay buffer and sender library →
// nginx-rtmp, judged in the recording with ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <chrono>
#include <thread>

#include "FlvFile.h"
#include "QtApplications.h"
#include "RecordingChecks.h"
#include "WindowRigs.h"

using namespace testsupport;
using namespace std::chrono;

namespace {

const auto* const qtEnvironment = testing::AddGlobalTestEnvironment(new TQtEnvironment);
const auto* const libraryEnvironment = testing::AddGlobalTestEnvironment(new TTrel32Environment);

using Rig = TWindowRig;

}  // namespace

TEST(EndToEnd, WithoutDelayTheStreamArrivesAtOnceInTimeOrder) {
  Rig rig;
  // A sanitizer may start a helper thread of its own at the first thread the
  // process creates: let that happen before counting.
  std::thread([] {}).join();
  int threadsBefore = ThreadCount();
  auto started = steady_clock::now();
  rig.window->btnStart->click();
  ASSERT_TRUE(rig.boxes.empty()) << rig.boxes[0].text.toStdString();
  ASSERT_FALSE(rig.window->btnStart->isEnabled());
  // The device sends a key frame every second; connecting takes well under
  // one. The bound is generous for a loaded machine and sanitizer builds.
  ASSERT_TRUE(RunUntil([&] { return rig.RecordedVideoTags() > 0; }, seconds(8)))
      << "the first key frame must reach the server at once";
  EXPECT_LT(steady_clock::now() - started, seconds(6));
  RunFor(seconds(5));
  EXPECT_EQ(rig.sender.headers.load(), 1) << "no re-sends without a delay";
  std::string path = rig.StopAndRecord();
  EXPECT_TRUE(rig.window->btnStart->isEnabled());
  EXPECT_TRUE(RunUntil([&] { return ThreadCount() <= threadsBefore; }, seconds(5)))
      << "a thread of the push outlived the stop: " << ThreadCount() << " > " << threadsBefore;

  ExpectCleanRecording(path, true);
  EXPECT_EQ(AudioFormat(path), std::make_pair(2, 48000));
  std::vector<double> loudness = ChannelLoudness(path);
  ASSERT_EQ(loudness.size(), 2u);
  EXPECT_GT(loudness[0], 100.0);
  EXPECT_GT(loudness[1], 100.0) << "both channels of a stereo device carry the sound";
}

TEST(EndToEnd, MonoDeviceRecordsOneChannel) {
  TDeviceSimulatorOptions options;
  options.audioChannels = 1;
  options.audioRate = 16000;
  Rig rig(options);
  rig.window->btnStart->click();
  ASSERT_TRUE(rig.boxes.empty()) << rig.boxes[0].text.toStdString();
  RunFor(seconds(5));
  std::string path = rig.StopAndRecord();
  ExpectCleanRecording(path, true);
  EXPECT_EQ(AudioFormat(path), std::make_pair(1, 16000));
  std::vector<double> loudness = ChannelLoudness(path);
  ASSERT_EQ(loudness.size(), 1u);
  EXPECT_GT(loudness[0], 100.0);
}

TEST(EndToEnd, DelayHoldsTheStreamAndResendsTheHeader) {
  Rig rig({}, 5);
  auto started = steady_clock::now();
  rig.window->btnStart->click();
  ASSERT_TRUE(rig.boxes.empty()) << rig.boxes[0].text.toStdString();
  RunFor(seconds(4));
  EXPECT_EQ(rig.RecordedVideoTags(), 0u) << "nothing may arrive before the delay";
  EXPECT_GE(rig.sender.headers.load(), 3) << "the header goes out again about once a second while holding";
  ASSERT_TRUE(RunUntil([&] { return rig.RecordedVideoTags() > 0; }, seconds(5)));
  EXPECT_GE(steady_clock::now() - started, milliseconds(4500));
  int headersWhenFlowing = rig.sender.headers.load();
  RunFor(seconds(3));
  EXPECT_EQ(rig.sender.headers.load(), headersWhenFlowing) << "no header once media went out";
  ExpectCleanRecording(rig.StopAndRecord(), true);
}

// An H.265 camera from the window: the status names the codec, and the
// pictures arrive in the form the settings ask for.
TEST(EndToEnd, H265CameraIsNamedInTheStatusAndArrives) {
  TDeviceSimulatorOptions options;
  options.videoCodec = "h265";
  Rig rig(options);
  rig.config.HevcFlv = "id12";  // the form nginx-rtmp records
  rig.window->btnStart->click();
  ASSERT_TRUE(rig.boxes.empty()) << rig.boxes[0].text.toStdString();
  ASSERT_TRUE(RunUntil([&] { return rig.RecordedVideoTags() > 0; }, seconds(8)));
  rig.window->tmr1Timer();
  EXPECT_TRUE(rig.window->lblStatus->text().contains(QString::fromUtf8("(视频 H.265: "))) << rig.window->lblStatus->text().toStdString();
  RunFor(seconds(3));
  const THevcStream hevc = HevcAnnexB(ReadFlvFile(rig.StopAndRecord()));
  EXPECT_EQ(hevc.forms, "id12");
  EXPECT_GT(hevc.frames, 50);
}

TEST(EndToEnd, DeviceWithoutAudioStillDeliversVideo) {
  TDeviceSimulatorOptions options;
  options.audio = false;
  Rig rig(options);
  rig.window->btnStart->click();
  ASSERT_TRUE(rig.boxes.empty()) << rig.boxes[0].text.toStdString();
  ASSERT_TRUE(RunUntil([&] { return rig.RecordedVideoTags() > 0; }, seconds(5)));
  RunFor(seconds(4));
  ExpectCleanRecording(rig.StopAndRecord(), false);
}

TEST(EndToEnd, UnreachableDeviceAndServerGiveTheirCodes) {
  {
    Rig rig;
    rig.window->edtPort->setText(QString::number(FreeLoopbackPort()));
    rig.window->edtHttp->setText("0");
    rig.window->btnStart->click();
    ASSERT_EQ(rig.boxes.size(), 1u);
    EXPECT_EQ(rig.boxes[0].text, QString::fromUtf8("连接录播主机出错, ret=1， 请检查录播是否开机，网络是否通"));
    EXPECT_EQ(rig.boxes[0].caption, QString::fromUtf8("错误"));
    EXPECT_EQ(rig.window->lblStatus->text(), QString::fromUtf8("连接失败."));
  }
  {
    Rig rig;
    rig.window->edtRtmp->setText(QString::fromStdString("rtmp://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/hls/x"));
    rig.window->btnStart->click();
    ASSERT_EQ(rig.boxes.size(), 1u);
    EXPECT_EQ(rig.boxes[0].text, QString::fromUtf8("连接RTMP服务出错, ret=2， 请检查网络是否通，RTMP服务主机是否开启"));
    rig.window->btn2->click();  // releases the device connection the failed start left open
    EXPECT_TRUE(rig.window->btnStart->isEnabled());
  }
}
