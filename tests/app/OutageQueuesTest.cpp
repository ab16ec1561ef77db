// The outage queue with small bounds (1 s, 1000 bytes): what it keeps while
// the connection is up and while it is down, where it cuts past a bound and
// what a reconnect sends again.
#include <gtest/gtest.h>

#include "OutageQueues.h"

namespace {

constexpr int kVideo = 1, kAudio = 2;

struct TQueueRig {
  TOutageQueue queue{1000, 1000};
  std::vector<uint8_t> bytes = std::vector<uint8_t>(100, 7);

  void Add(int stream, uint32_t timeMs, bool key = false) { queue.Add(stream, bytes.data(), 100, timeMs, key); }
  void SendAll() {
    while (queue.HasPending()) queue.MarkSent();
  }
  // Times of the pending messages, video as is, audio negated.
  std::vector<int64_t> Pending() {
    std::vector<int64_t> times;
    for (size_t i = queue.Count() - queue.PendingCount(); i < queue.Count(); ++i)
      times.push_back(queue.At(i).Stream == kVideo ? int64_t{queue.At(i).TimeMs} : -int64_t{queue.At(i).TimeMs});
    return times;
  }
};

TEST(OutageQueue, KeepsTheSentGroupThenTheOutageAndCutsToTheLatestKeyFramePastABound) {
  TQueueRig rig;
  // Connected: each message goes out; a key frame starts the kept group anew.
  rig.Add(kVideo, 0, true);
  rig.Add(kAudio, 10);
  rig.Add(kVideo, 40);
  rig.SendAll();
  rig.Add(kVideo, 80, true);
  rig.SendAll();
  EXPECT_EQ(rig.queue.Count(), 1u) << "the group before the latest key frame is gone";

  // The connection breaks: what follows stays pending, the group with it.
  rig.Add(kVideo, 120);
  rig.Add(kAudio, 130);
  rig.queue.ResendAll();
  EXPECT_EQ(rig.Pending(), (std::vector<int64_t>{80, 120, -130})) << "a reconnect re-sends from the key frame";
  EXPECT_EQ(rig.queue.Bytes(), 300u);

  // Past the byte bound (1000): only from the latest key frame on, counted.
  rig.Add(kVideo, 160, true);
  for (uint32_t t = 200; t <= 440; t += 40) rig.Add(kVideo, t);
  EXPECT_EQ(rig.Pending().front(), 160);
  EXPECT_EQ(rig.queue.DroppedVideoFrames(), 2u) << "80 and 120 were never sent again";
  EXPECT_LE(rig.queue.Bytes(), 1000u);

  // Past the time bound (1 s) likewise; audio trailing the front spans nothing.
  rig.Add(kAudio, 100);
  rig.Add(kVideo, 1200, true);
  rig.Add(kVideo, 1240);
  EXPECT_EQ(rig.Pending(), (std::vector<int64_t>{1200, 1240}));
  EXPECT_EQ(rig.queue.DroppedVideoFrames(), 10u);

  // Sent again: nothing pending, and the next key frame drops the group.
  rig.SendAll();
  rig.Add(kVideo, 1280, true);
  EXPECT_EQ(rig.Pending(), (std::vector<int64_t>{1280}));
  EXPECT_EQ(rig.queue.Count(), 1u);
  EXPECT_EQ(rig.queue.PeakBytes(), 1100u) << "the bound is checked after a message is kept";
}

}  // namespace
