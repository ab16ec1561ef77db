#include "WindowRigs.h"

#include <dirent.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>
#include <thread>

#include "BufferWorkerAdapters.h"
#include "FlvFile.h"

using namespace std::chrono;

namespace testsupport {

void TTrel32Environment::SetUp() { library_ = std::make_unique<TTrel32Library>(); }
void TTrel32Environment::TearDown() { library_.reset(); }

int TObservedSender::SendHeader(void* handle, const TMediaHeader* header) {
  ++headers;
  return TVelmaroSender::SendHeader(handle, header);
}

bool TObservedSender::SendVideo(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey) {
  bool ok = TVelmaroSender::SendVideo(handle, data, length, timeMs, isKey);
  Count(ok);
  return ok;
}

bool TObservedSender::SendAudio(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs) {
  bool ok = TVelmaroSender::SendAudio(handle, data, length, timeMs);
  Count(ok);
  return ok;
}

void TObservedSender::Count(bool ok) {
  if (!ok) {
    ++refused;
  } else {
    ++accepted;
    if (refused.load() > 0) ++acceptedAfterRefusal;
  }
}

int ThreadCount() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
  }
  return count;
}

void RunFor(milliseconds time) {
  auto end = steady_clock::now() + time;
  while (steady_clock::now() < end) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(milliseconds(10));
  }
}

bool RunUntil(const std::function<bool()>& condition, milliseconds timeout) {
  auto end = steady_clock::now() + timeout;
  while (!condition()) {
    if (steady_clock::now() > end) return false;
    RunFor(milliseconds(20));
  }
  return true;
}

double SecondsSince(steady_clock::time_point start) {
  return duration<double>(steady_clock::now() - start).count();
}

TWindowRig::TWindowRig(TDeviceSimulatorOptions options, int delaySeconds, std::string stream)
    : device(options), stream_(std::move(stream)) {
  nginx.Start();
  device.Start();
  config.Load();
  window = std::make_unique<TTidecastMain>(config, sender, capturer, BufferWorkerFactory());
  window->ErrorBox = [this](QWidget*, const QString& text, const QString& caption) {
    boxes.push_back({text, caption});
  };
  window->edtAddress->setText("127.0.0.1");
  window->edtPort->setText(QString::number(device.RtspPort()));
  window->edtHttp->setText(QString::number(device.HttpPort()));
  window->edtUser->setText(QString::fromStdString(options.user));
  window->edtPassword->setText(QString::fromStdString(options.password));
  window->edtRtmp->setText(QString::fromStdString(nginx.PublishUrl(stream_)));
  window->cbxDelay->setEditText(QString::number(delaySeconds));
}

void TWindowRig::StartUntilRecorded(size_t videoTags) {
  window->btnStart->click();
  ASSERT_TRUE(boxes.empty()) << boxes[0].text.toStdString();
  ASSERT_TRUE(RunUntil([&] { return RecordedVideoTags() > videoTags; }, seconds(20))) << "no media reached the server";
}

size_t TWindowRig::RecordedVideoTags() const {
  try {
    size_t count = 0;
    for (const TFlvTag& tag : ReadFlvFile(RecordingPath()).tags)
      if (tag.IsVideo() && !tag.IsSequenceHeader()) ++count;
    return count;
  } catch (const std::exception&) {
    return 0;
  }
}

void TWindowRig::StopPromptly(const char* what) {
  auto started = steady_clock::now();
  window->btn2->click();
  double took = SecondsSince(started);
  std::printf("[ timing ] %s: stop took %.2f s\n", what, took);
  EXPECT_LT(took, 10.0) << "the stop hung";
  EXPECT_EQ(window->Controller().State(), TPushController::TState::Idle);
  EXPECT_TRUE(window->btnStart->isEnabled());
}

std::string TWindowRig::StopAndRecord() {
  window->btn2->click();
  EXPECT_TRUE(nginx.WaitForRecording(stream_, seconds(10)));
  return RecordingPath();
}

}  // namespace testsupport
