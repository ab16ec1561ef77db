// One destination on the manual clock, its supervision driven step by step:
// the reconnect schedule, the drain of what was kept, a refused message, a
// failure no reconnect mends, a further destination that cannot connect; and
// the device watchdog.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "Destinations.h"
#include "DeviceWatchdogs.h"
#include "PushFakes.h"
#include "ReconnectSchedules.h"

using fakes::TFakeSender;
using fakes::TSent;

namespace {

struct TDestRig {
  TManualPushClock clock;
  TFakeSender sender;
  TPushCounters counters;
  std::unique_ptr<TDestination> destination;
  std::vector<std::string> events;  // "reconnecting 2/2 open_failed", ...

  explicit TDestRig(bool autoReconnect = true, bool connected = true) {
    sender.withStats = true;
    destination = std::make_unique<TDestination>(2, "rtmp://h/a/b", sender, clock, counters, autoReconnect);
    destination->OnLinkEvent = [this](const TLinkEvent& e) {
      EXPECT_EQ(e.Destination, 2);
      events.push_back(std::string(LinkStateWord(e.State)) + " " + std::to_string(e.Attempt) + "/" +
                       std::to_string(e.NextSeconds) + " " + e.Reason);
    };
    TMediaHeader header{};
    void* handle = nullptr;
    if (connected) sender.Open("rtmp://h/a/b", &handle);
    destination->Begin(handle, header);
  }
  void Video(uint32_t ms, bool key = false) {
    std::vector<uint8_t> unit(40, 0x41);
    destination->Emit(kStreamVideo, unit.data(), 40, ms, key);
  }
  void Audio(uint32_t ms, uint32_t length = 20) {
    std::vector<uint8_t> frame(length, 0x21);
    destination->Emit(kStreamAudio, frame.data(), length, ms, false);
  }
  void Stats(bool failed, uint32_t queuedMs = 0) {
    std::lock_guard<std::mutex> lock(sender.mutex);
    sender.stats.SendFailed = failed;
    sender.stats.QueuedMs = queuedMs;
  }
  // Times sent, video as is, audio negated.
  std::vector<int64_t> SentTimes() {
    std::vector<int64_t> times;
    for (const TSent& s : sender.Sent()) times.push_back(s.kind == 'V' ? int64_t{s.timeMs} : -int64_t{s.timeMs});
    return times;
  }
  // Steps until the clock has moved `ms` on, as the supervising thread would.
  void Run(int64_t ms) {
    const int64_t end = clock.NowMs() + ms;
    while (clock.NowMs() < end) {
      int64_t next = destination->Step();
      clock.Advance(std::max<int64_t>(1, std::min(next, end - clock.NowMs())));
    }
  }
};

TEST(Destination, ReconnectsOnItsScheduleThenDrainsWhatWasKeptFromTheKeyFrame) {
  TDestRig rig;
  rig.Video(0, true);
  rig.Audio(10);
  rig.Video(40);
  rig.Video(60, true);
  {
    std::lock_guard<std::mutex> lock(rig.sender.mutex);
    rig.sender.stats.AnyMediaSent = 1;
    rig.sender.stats.SentMediaMs = 10;  // handed over is not sent: the sender still holds 40 and 60
    rig.sender.stats.BytesSent = 100;   // of the 140 handed over
  }
  rig.Run(TDestination::kStepMs);
  EXPECT_EQ(rig.destination->SentBytes(), 100u) << "sent is what the sender says has left";
  rig.Stats(true);  // the connection breaks
  rig.Run(1);
  rig.Audio(50);
  rig.Video(80);
  {
    std::lock_guard<std::mutex> lock(rig.sender.mutex);
    rig.sender.openResults = {-1, -1, -1, -1, -1};
    rig.sender.stats = TVelmaroStats{};
    rig.sender.headers.clear();
  }
  rig.sender.Forget();
  // 1, 2, 4, 8, 10 s and each attempt's line; the sixth attempt connects.
  rig.Run((1 + 2 + 4 + 8 + 10) * 1000);
  EXPECT_EQ(rig.sender.urls.size(), 1u + 5u) << "an attempt came before its pause was over";
  rig.Run(10 * 1000 + 100);
  const std::vector<std::string> expected = {
      "reconnecting 1/1 server_lost", "reconnecting 2/2 open_failed", "reconnecting 3/4 open_failed",
      "reconnecting 4/8 open_failed", "reconnecting 5/10 open_failed", "reconnecting 6/10 open_failed",
      "running 0/-1 reconnected"};
  EXPECT_EQ(rig.events, expected);
  for (int attempt = 1; attempt <= 6; ++attempt) EXPECT_EQ(ReconnectPauseSeconds(attempt), std::min(1 << (attempt - 1), 10));
  EXPECT_EQ(rig.sender.HeaderCount(), 1u) << "a new connection gets the header first";
  EXPECT_EQ(rig.SentTimes(), (std::vector<int64_t>{0, -10, 40, 60, -50, 80}))
      << "kept: from the key frame of what the sender had not sent, in order";

  rig.Video(120);  // live again once drained
  EXPECT_EQ(rig.SentTimes().back(), 120);
  {
    std::lock_guard<std::mutex> lock(rig.sender.mutex);
    rig.sender.stats.BytesSent = 50;  // the new connection's own count
  }
  rig.Run(TDestination::kStepMs);
  EXPECT_EQ(rig.destination->SentBytes(), 150u) << "the counts of both connections";
  EXPECT_EQ(rig.counters.FTotalSentBytes.load(), 150u);
  EXPECT_EQ(rig.destination->FramesDropped(), 0u);
}

TEST(Destination, ARefusedMessageIsDroppedAndCountedNotABrokenLink) {
  TDestRig rig;
  rig.sender.refuseUpTo = 2;  // as the sender refuses a 1-2 byte AAC payload
  rig.Video(0, true);
  rig.Audio(10, 2);
  rig.Audio(31);
  rig.Video(40);
  rig.Run(1000);
  EXPECT_EQ(rig.SentTimes(), (std::vector<int64_t>{0, -31, 40}));
  EXPECT_TRUE(rig.events.empty()) << "no reconnect for one refused message";
  EXPECT_EQ(rig.destination->RefusedMessages(), 1u);
  EXPECT_EQ(rig.destination->FramesDropped(), 1u);
  EXPECT_EQ(rig.sender.urls.size(), 1u);
}

TEST(Destination, FailuresThatNoReconnectMendsEndTheDestination) {
  struct TCase {
    const char* name;
    bool autoReconnect, connected;
    std::string fatal;
    std::vector<std::string> events;
  } cases[] = {
      {"full disk", true, true, "disk_full", {"failed 0/-1 disk_full"}},
      {"reconnects off", false, true, "", {"failed 0/-1 send_failed"}},
      {"further, cannot open", true, false, "", {"reconnecting 1/1 open_failed"}},
      {"further, cannot open, reconnects off", false, false, "", {"failed 0/-1 open_failed"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TDestRig rig(c.autoReconnect, c.connected);
    rig.sender.openResult = -1;
    rig.sender.fatal = c.fatal;
    rig.Video(0, true);
    rig.Stats(true);
    rig.Run(500);
    EXPECT_EQ(rig.events, c.events);
    rig.Video(40, true);
    if (!c.fatal.empty()) {
      EXPECT_EQ(rig.destination->KeptPeakBytes(), 0u) << "a destination failed for good keeps nothing";
    }
  }
}

TEST(DeviceWatchdog, LostAfterTenSilentSecondsRestartedEveryTenBackWhenSteady) {
  TDeviceWatchdog dog;
  int64_t now = 0;
  uint64_t frames = 0;
  dog.Reset(now);
  std::vector<std::string> actions;
  bool lost = false;
  // 12 s at 24 fps (the last video at 11.75 s), then 25 s silent, then steady again.
  for (int step = 0; step < 200; ++step, now += 250) {
    const bool sending = now < 12000 || now >= 37000;
    if (sending) frames += 6;
    switch (dog.Step(now, frames, lost)) {
      case TDeviceWatchdog::TAction::None: break;
      case TDeviceWatchdog::TAction::Lost: actions.push_back("lost@" + std::to_string(now)), lost = true; break;
      case TDeviceWatchdog::TAction::Restart: actions.push_back("restart@" + std::to_string(now)); break;
      case TDeviceWatchdog::TAction::Back: actions.push_back("back@" + std::to_string(now)), lost = false; break;
    }
  }
  EXPECT_EQ(actions, (std::vector<std::string>{"lost@21750", "restart@31750", "back@37000"}));
}

}  // namespace
