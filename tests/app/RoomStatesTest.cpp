// The pieces of an unattended room that need no process: the watchdog's
// liveness rule on a clock of its own, the state file's format against
// hostile text, and the room's name from the file's path.
#include <gtest/gtest.h>

#include "PushLiveness.h"
#include "RoomStates.h"
#include "RoomViews.h"

using namespace std::chrono;

TEST(PushLiveness, OnlyAPushThatMovesWhereItShouldStaysAlive) {
  // Each row: what moves between readings one second apart; whether media
  // is expected; the reading (in seconds) from which the push must count
  // as wedged, 0 when it must stay alive for all 60 s.
  struct TRow {
    const char* what;
    bool beats, intake, sent, mediaExpected;
    int wedgedFrom;
  } rows[] = {
      {"everything moves", true, true, true, true, 0},
      {"supervision stuck", false, true, true, true, 11},
      {"device samples stuck while the link runs", true, false, true, true, 11},
      {"send path stuck while the link runs", true, true, false, true, 11},
      {"reconnecting: no media expected", true, false, false, false, 0},
      {"reconnecting and supervision stuck", false, false, false, false, 11},
  };
  for (const TRow& row : rows) {
    TPushLiveness liveness(seconds(10));
    TPushProgress p;
    p.SentBytes = 1;  // something went out already
    auto start = steady_clock::time_point{} + hours(1);
    int firstDead = 0;
    for (int s = 0; s <= 60; ++s) {
      p.SupervisorBeats += row.beats;
      p.IntakeBytes += row.intake;
      p.SentBytes += row.sent;
      p.MediaExpected = row.mediaExpected;
      if (!liveness.Alive(p, start + seconds(s)) && firstDead == 0) firstDead = s;
    }
    EXPECT_EQ(firstDead, row.wedgedFrom) << row.what;
  }
  // Media expected again after an outage: the tolerance counts from then,
  // and nothing sent yet (a delay filling) is no stall.
  TPushLiveness liveness(seconds(10));
  TPushProgress p;
  auto t = steady_clock::time_point{} + hours(1);
  for (int s = 0; s < 30; ++s) liveness.Alive(p, t + seconds(s));  // reconnecting, nothing moves but beats
  p.MediaExpected = true;
  for (int s = 30; s < 40; ++s) {
    ++p.SupervisorBeats;
    ++p.IntakeBytes;
    EXPECT_TRUE(liveness.Alive(p, t + seconds(s))) << s;
  }
}

TEST(RoomStates, WrittenFileReadsBackAndHostileTextIsRefused) {
  TRoomStatus s;
  s.Room = "room3";
  s.State = "reconnecting";
  s.Since = 1765200000;
  s.Updated = 1765200042;
  s.RefreshSeconds = 2;
  s.Device = "ok";
  s.Destinations = {{"reconnecting", 1234.5, 999999, 7, 3}};
  std::string text = FormatRoomStatus(s);
  auto back = ParseRoomStatus(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(FormatRoomStatus(*back), text);

  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string t = text;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  for (const std::string& hostile :
       {std::string(""), std::string("garbage\n"), replaced("tidecast_room=1", "tidecast_room=2"),
        replaced("room=room3", "room=a b"), replaced("room=room3", "room=x\"} 1\nevil{a=\""),
        replaced("since=1765200000", "since=-5"), replaced("refresh_s=2", "refresh_s=0"),
        replaced("dest.1.sent_kbps=1234.5", "dest.1.sent_kbps=nan"),
        replaced("dest.1.frames_dropped=7", "dest.1.frames_dropped=99999999999999999999999"),
        std::string(70000, 'x')})
    EXPECT_FALSE(ParseRoomStatus(hostile)) << hostile.substr(0, 80);
  EXPECT_TRUE(ParseRoomStatus("junk line\n" + text + "unknown.key=1\n")) << "unknown lines are skipped";
}

TEST(RoomStates, RoomNameComesFromThePath) {
  for (auto [path, name] : std::initializer_list<std::pair<const char*, const char*>>{
           {"/run/tidecast/room3/state", "room3"},
           {"/run/tidecast/room4.state", "room4"},
           {"/var/lib/x/hall.b.state", "hall.b"},
           {"state", ""},
           {"plain", "plain"}})
    EXPECT_EQ(RoomNameOfPath(path), name) << path;
}
