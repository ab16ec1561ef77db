// Tidecast --rooms [--prometheus] [DIR]: every room's state file found in
// DIR or one folder below it (files called "state" or ending in ".state"),
// sorted by the room's name, as one line each or as Prometheus exposition
// text. A file older than three of its refresh periods marks its room
// stale (hung or killed); a file that is no state file shows as unreadable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "RoomStates.h"

constexpr const char* kDefaultRoomsDir = "/run/tidecast";

struct TRoomView {
  std::string Name;                   // from the file's path
  std::optional<TRoomStatus> Status;  // nothing: unreadable
  int64_t AgeSeconds = 0;             // since the file was last replaced
  bool Stale = false;
};

// The rooms in `dir`, sorted by name; `now` in Unix seconds.
std::vector<TRoomView> FindRooms(const std::string& dir, int64_t now);

// One line per room: NAME STATE device=.. since=.. age_s=.. and, per
// destination, dest.N=STATE sent_kbps=.. dropped=.. reconnects=..; a stale
// room's STATE is "stale" with last=<the state its file holds>.
std::string RoomLines(const std::vector<TRoomView>& rooms);
// The same as Prometheus text (tidecast_ names, base units, counters ending
// in _total, the room and the destination's number as labels).
std::string RoomMetrics(const std::vector<TRoomView>& rooms);

// The command: arguments after "--rooms"; writes to `out`, errors to `err`;
// returns the exit code (2 for bad arguments or a folder that cannot be read).
int RunRoomsCommand(const std::vector<std::string>& arguments, std::string& out, std::string& err);
