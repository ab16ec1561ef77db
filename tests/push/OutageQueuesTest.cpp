// The outage queue with small bounds (1 s, 1000 bytes): what it keeps until
// the sender has really sent it, what an outage keeps, where it cuts past a
// bound and what a reconnect sends again.
#include <gtest/gtest.h>

#include "OutageQueues.h"
#include "PushSeams.h"

namespace {

struct TQueueRig {
  TOutageQueue queue{1000, 1000};
  std::vector<uint8_t> bytes = std::vector<uint8_t>(100, 7);

  void Add(int stream, uint32_t timeMs, bool key = false) { queue.Add(stream, bytes.data(), 100, timeMs, key); }
  void HandAll() {
    while (queue.HasPending()) queue.MarkSent();
  }
  // Times of the kept (or the pending) messages, video as is, audio negated.
  std::vector<int64_t> Times(bool pendingOnly = false) {
    std::vector<int64_t> times;
    for (size_t i = pendingOnly ? queue.Count() - queue.PendingCount() : 0; i < queue.Count(); ++i)
      times.push_back(queue.At(i).Stream == kStreamVideo ? int64_t{queue.At(i).TimeMs} : -int64_t{queue.At(i).TimeMs});
    return times;
  }
};

TEST(OutageQueue, KeepsWhatTheSenderHasNotSentAndAWholeOutageWithinTheSpan) {
  TQueueRig rig;
  // Handed over is not sent: a group stays until the sender has sent past
  // the next key frame.
  rig.Add(kStreamVideo, 0, true);
  rig.Add(kStreamAudio, 10);
  rig.Add(kStreamVideo, 400, true);
  rig.HandAll();
  rig.queue.ConfirmSent(10);
  EXPECT_EQ(rig.Times(), (std::vector<int64_t>{0, -10, 400})) << "the sender still holds the key frame at 400";
  rig.queue.ConfirmSent(400);
  EXPECT_EQ(rig.Times(), (std::vector<int64_t>{400}));

  // A break after 800 ms of the group: an outage of 900 ms (under the 1 s
  // span, however long the group before it) loses nothing.
  rig.Add(kStreamVideo, 800);
  rig.HandAll();
  rig.queue.ConfirmSent(800);
  rig.queue.OutageBegan();
  for (uint32_t t = 840; t <= 1700; t += 430) rig.Add(kStreamVideo, t);
  rig.queue.ResendAll();
  EXPECT_TRUE(rig.queue.PendingHasKeyFrame());
  EXPECT_EQ(rig.Times(true), (std::vector<int64_t>{400, 800, 840, 1270, 1700})) << "a reconnect re-sends from the key frame";
  EXPECT_EQ(rig.queue.DroppedVideoFrames(), 0u);
  rig.HandAll();
  rig.queue.ConfirmSent(1700);
  rig.queue.OutageEnded();

  // Past the byte bound (1000): the oldest group goes, counted.
  rig.queue.OutageBegan();
  for (uint32_t t = 1740; t <= 2140; t += 40) rig.Add(kStreamVideo, t, t == 1740 || t == 2100);
  EXPECT_EQ(rig.Times(), (std::vector<int64_t>{2100, 2140}));
  EXPECT_EQ(rig.queue.DroppedVideoFrames(), 9u) << "1740 to 2060 never went out";
}

TEST(OutageQueue, AGroupLongerThanTheBoundsKeepsItsNewestMessages) {
  TQueueRig connected;  // sent as it comes: the head of one endless group stays bounded
  for (uint32_t t = 0; t <= 5000; t += 100) {
    connected.Add(kStreamVideo, t, t == 0);
    connected.HandAll();
    connected.queue.ConfirmSent(t);
  }
  EXPECT_LE(connected.Times().back() - connected.Times().front(), 2000);
  EXPECT_EQ(connected.queue.DroppedVideoFrames(), 0u) << "all of it was sent";

  TQueueRig rig;
  rig.queue.OutageBegan();
  for (uint32_t t = 0; t <= 2000; t += 100) rig.Add(kStreamVideo, t, t == 0);
  std::vector<int64_t> kept = rig.Times();
  EXPECT_EQ(kept.back(), 2000) << "the newest message is never the one dropped";
  EXPECT_LE(kept.back() - kept.front(), 1000);
  EXPECT_GT(rig.queue.DroppedVideoFrames(), 0u);
  // No key frame is left: a reconnect sends what is kept rather than wait
  // for a key frame such a stream never sends.
  rig.queue.ResendAll();
  EXPECT_FALSE(rig.queue.PendingHasKeyFrame());
  EXPECT_EQ(rig.queue.PendingCount(), kept.size());
}

}  // namespace
