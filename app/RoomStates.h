// The state file of one room: an instance started with TIDECAST_STATE_FILE
// keeps it current (replaced whole, never half-written), so that one command
// (Tidecast --rooms) or a monitoring system can see every room of a server.
//
// The format is plain text, one "key=value" per line, in this order:
//   tidecast_room=1            the format's mark and version
//   room=<name>
//   state=<word>               starting, running, reconnecting, device_lost,
//                              failed, stopped
//   since=<unix seconds>       when the state began
//   updated=<unix seconds>     when the file was written
//   refresh_s=<seconds>        the longest pause between two writes
//   device=<word>              connecting, ok, lost, failed
//   dest.<n>.state=<word>      per destination n = 1, 2, ...: running,
//   dest.<n>.sent_kbps=<x.y>   reconnecting, failed, stopped
//   dest.<n>.sent_bytes=<n>
//   dest.<n>.frames_dropped=<n>
//   dest.<n>.reconnects=<n>    reconnect attempts since the start
// Readers ignore keys they do not know, so later versions may add some.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TDestinationStatus {
  std::string State = "running";
  double SentKbps = 0;
  uint64_t SentBytes = 0;
  uint64_t FramesDropped = 0;
  uint64_t Reconnects = 0;
};

struct TRoomStatus {
  std::string Room;
  std::string State = "starting";
  int64_t Since = 0;
  int64_t Updated = 0;
  int32_t RefreshSeconds = 5;
  std::string Device = "connecting";
  std::vector<TDestinationStatus> Destinations;
};

std::string FormatRoomStatus(const TRoomStatus& status);
// Reads a state file's text; nothing when it is not one (no mark, a value
// that is no number, a word with blanks or control characters, a
// destination number out of 1..64). Never throws.
std::optional<TRoomStatus> ParseRoomStatus(const std::string& text);

// The room's name from the state file's path: the file's name without its
// extension, or the folder's name when the file is called "state".
std::string RoomNameOfPath(const std::string& path);

// Replaces the file with the text at once (a temporary file beside it, then
// rename): a reader sees the old text or the new, never a part. False with
// `error` set when the file cannot be written.
bool ReplaceFileText(const std::string& path, const std::string& text, std::string& error);
