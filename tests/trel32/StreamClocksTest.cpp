// Timestamps share one origin, never go backwards, and continue across sessions.
#include <gtest/gtest.h>

#include "StreamClocks.h"
#include "trel32.h"

extern "C" int Trel32HeaderInC(void);

TEST(Trel32Header, RecordHasTheSameSizeInC) { EXPECT_EQ(Trel32HeaderInC(), 5204); }

TEST(StreamClocks, SessionsContinueAfterTheOutage) {
  TTimeline line;
  EXPECT_EQ(line.Place(5'000'000), 0) << "the first session starts at 0";
  EXPECT_EQ(line.Place(5'040'000), 40'000);
  EXPECT_EQ(line.Place(4'990'000), 0) << "never before the session's base";
  line.Note(40'000, 1'000'000);
  line.NewSession(3'000'000);  // 2 s without samples
  EXPECT_EQ(line.Place(123), 2'040'000) << "the new session's origin is its first time";
  EXPECT_EQ(line.Place(1'123), 2'041'000);
}

TEST(StreamClocks, StreamClockIsStrictlyIncreasingAndRounds) {
  TStreamClock video(90000, 90);
  EXPECT_EQ(video.Ticks(0), 0);
  EXPECT_EQ(video.Ticks(40'000), 3600);
  EXPECT_EQ(video.Ticks(30'000), 3690) << "a step back becomes one step on";
  EXPECT_EQ(video.Ticks(80'000), 7200);
  TStreamClock audio(48000, 1024);
  EXPECT_EQ(audio.Ticks(21'333), 1024);
  EXPECT_EQ(audio.Ticks(21'333), 2048) << "frames of one packet share a time";
  EXPECT_EQ(audio.Ticks(3'000'000'000'000), 144'000'000'000) << "no overflow after a month";
}
