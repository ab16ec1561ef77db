// The RTMP server failing under a running push from the window with
// reconnects turned off (AutoReconnect 0): killed, or killed and started
// again. No crash and no hang; the operator is told once that the media no
// longer goes out; the sender handle fails for good; the stop button ends the
// push cleanly and at once; and a new start pushes to the server as soon as
// it is back.
#include <gtest/gtest.h>

#include <QPushButton>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "RecordingChecks.h"
#include "WindowRigs.h"

using namespace testsupport;
using namespace std::chrono;

namespace {

bool ToldSendingStopped(const TWindowRig& rig) {
  for (const TBox& box : rig.boxes)
    if (box.caption == QString::fromUtf8("错误") && box.text == QString::fromUtf8(kSendFailedText)) return true;
  return false;
}

class ServerKilledMidPush : public testing::TestWithParam<int> {};

TEST_P(ServerKilledMidPush, OperatorIsToldOnceAndStopEndsThePushCleanly) {
  TWindowRig rig({}, GetParam());
  rig.config.AutoReconnect = 0;
  std::thread([] {}).join();  // a sanitizer's own helper thread comes with the first one
  const int threadsBefore = ThreadCount();
  ASSERT_NO_FATAL_FAILURE(rig.StartUntilRecorded(0));

  rig.nginx.Kill();
  auto killed = steady_clock::now();
  ASSERT_TRUE(RunUntil([&] { return ToldSendingStopped(rig); }, seconds(20)))
      << "the operator was never told that sending stopped";
  std::printf("[ timing ] told %.2f s after the server was killed\n", SecondsSince(killed));
  RunFor(seconds(2));  // the device keeps delivering: many more refusals
  EXPECT_EQ(rig.boxes.size(), 1u) << "told once, not once per refused sample";
  EXPECT_GT(rig.sender.refused.load(), 10);
  EXPECT_EQ(rig.sender.acceptedAfterRefusal.load(), 0) << "a failed handle took media again";
  EXPECT_EQ(rig.window->Controller().State(), TPushController::TState::Running) << "the push goes on until stopped";

  rig.StopPromptly("server killed");
  EXPECT_TRUE(RunUntil([&] { return ThreadCount() <= threadsBefore; }, seconds(5)))
      << "a thread of the push outlived the stop: " << ThreadCount() << " > " << threadsBefore;
}

std::string DelayName(const testing::TestParamInfo<int>& delay) {
  return delay.param == 0 ? std::string("NoDelay") : "Delay" + std::to_string(delay.param) + "s";
}

INSTANTIATE_TEST_SUITE_P(Delays, ServerKilledMidPush, testing::Values(0, 2), DelayName);

TEST(ServerRestartedMidPush, HandleFailsAndANewStartPushesToTheRestartedServer) {
  TWindowRig rig;
  rig.config.AutoReconnect = 0;
  ASSERT_NO_FATAL_FAILURE(rig.StartUntilRecorded(0));
  rig.nginx.Kill();
  std::filesystem::remove(rig.RecordingPath());
  rig.nginx.Start();
  ASSERT_TRUE(RunUntil([&] { return rig.sender.refused.load() > 0; }, seconds(20)))
      << "the sender never noticed that the server went away";
  RunFor(seconds(2));
  EXPECT_EQ(rig.sender.acceptedAfterRefusal.load(), 0) << "the handle stays Failed though the server is back";
  EXPECT_EQ(rig.RecordedVideoTags(), 0u) << "the failed push reached the new server";
  EXPECT_TRUE(ToldSendingStopped(rig));
  rig.StopPromptly("server restarted");

  const size_t boxesBefore = rig.boxes.size();
  auto started = steady_clock::now();
  rig.window->btnStart->click();
  ASSERT_EQ(rig.boxes.size(), boxesBefore) << "the new start failed: " << rig.boxes.back().text.toStdString();
  EXPECT_EQ(rig.window->Controller().State(), TPushController::TState::Running);
  ASSERT_TRUE(RunUntil([&] { return rig.RecordedVideoTags() > 0; }, seconds(20)))
      << "the new push reached the restarted server with nothing";
  std::printf("[ timing ] new start to first media at the restarted server: %.2f s\n",
              SecondsSince(started));
  RunFor(seconds(3));
  ExpectCleanRecording(rig.StopAndRecord(), true);
  EXPECT_EQ(rig.boxes.size(), boxesBefore) << "the new push was refused: " << rig.boxes.back().text.toStdString();
}

}  // namespace
