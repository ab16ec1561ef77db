#include "RoomViews.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "LauncherLines.h"

namespace fs = std::filesystem;

namespace {

constexpr int kStaleRefreshes = 3;
constexpr uintmax_t kMaxStateFileBytes = 64 * 1024;

bool IsStateFileName(const std::string& name) {
  return name == "state" || (name.size() > 6 && name.compare(name.size() - 6, 6, ".state") == 0);
}

std::optional<TRoomView> ReadRoom(const fs::path& path, int64_t now) {
  std::error_code error;
  if (!fs::is_regular_file(path, error) || !IsStateFileName(path.filename().string())) return std::nullopt;
  TRoomView view;
  view.Name = RoomNameOfPath(path.string());
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;  // gone meanwhile
  view.AgeSeconds = std::max<int64_t>(0, now - static_cast<int64_t>(info.st_mtime));
  if (static_cast<uintmax_t>(info.st_size) <= kMaxStateFileBytes) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    view.Status = ParseRoomStatus(text.str());
  }
  if (view.Status) view.Stale = view.AgeSeconds > int64_t{kStaleRefreshes} * view.Status->RefreshSeconds;
  return view;
}

std::string UtcTime(int64_t unixSeconds) {
  std::time_t time = static_cast<std::time_t>(unixSeconds);
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// A label value as the exposition format wants it.
std::string Label(const std::string& value) {
  std::string escaped;
  for (char c : value) {
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return escaped;
}

struct TMetric {
  const char* name;
  const char* type;
  const char* help;
};

}  // namespace

std::vector<TRoomView> FindRooms(const std::string& dir, int64_t now) {
  std::vector<TRoomView> rooms;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, error)) {
    if (auto room = ReadRoom(entry.path(), now)) rooms.push_back(*room);
    if (!entry.is_directory(error) || entry.is_symlink(error)) continue;
    std::error_code inner;
    for (const fs::directory_entry& file : fs::directory_iterator(entry.path(), inner))
      if (auto room = ReadRoom(file.path(), now)) rooms.push_back(*room);
  }
  std::sort(rooms.begin(), rooms.end(), [](const TRoomView& a, const TRoomView& b) { return a.Name < b.Name; });
  return rooms;
}

std::string RoomLines(const std::vector<TRoomView>& rooms) {
  std::string out;
  for (const TRoomView& room : rooms) {
    out += room.Name;
    if (!room.Status) {
      out += " unreadable\n";
      continue;
    }
    const TRoomStatus& s = *room.Status;
    out += room.Stale ? " stale last=" + s.State : " " + s.State;
    out += " device=" + s.Device + " since=" + UtcTime(s.Since) + " age_s=" + std::to_string(room.AgeSeconds);
    for (size_t i = 0; i < s.Destinations.size(); ++i) {
      const TDestinationStatus& d = s.Destinations[i];
      out += " dest." + std::to_string(i + 1) + "=" + d.State + " sent_kbps=" + OneDecimal(d.SentKbps) +
             " dropped=" + std::to_string(d.FramesDropped) + " reconnects=" + std::to_string(d.Reconnects);
    }
    out += "\n";
  }
  return out;
}

std::string RoomMetrics(const std::vector<TRoomView>& rooms) {
  static const TMetric kRoomUp{"tidecast_room_up", "gauge",
                               "1 when the room pushes (running and its state file fresh), else 0."};
  static const TMetric kStale{"tidecast_room_stale", "gauge",
                              "1 when the room's state file is older than three refresh periods (hung or killed)."};
  static const TMetric kInfo{"tidecast_room_info", "gauge", "The room's state and its device's state as labels."};
  static const TMetric kSince{"tidecast_room_state_since_timestamp_seconds", "gauge",
                              "When the room's state began (Unix time)."};
  static const TMetric kAge{"tidecast_room_state_file_age_seconds", "gauge",
                            "Time since the room's state file was last replaced."};
  static const TMetric kDestUp{"tidecast_destination_up", "gauge", "1 when the destination's link runs, else 0."};
  static const TMetric kRate{"tidecast_destination_sent_bytes_per_second", "gauge",
                             "Bytes per second sent to the destination over the last refresh period."};
  static const TMetric kBytes{"tidecast_destination_sent_bytes_total", "counter",
                              "Bytes sent to the destination since the push started."};
  static const TMetric kDropped{"tidecast_destination_frames_dropped_total", "counter",
                                "Frames dropped on the way to the destination since the push started."};
  static const TMetric kReconnects{"tidecast_destination_reconnects_total", "counter",
                                   "Reconnect attempts to the destination since the push started."};

  std::string out;
  auto family = [&](const TMetric& metric, auto&& each) {
    out += std::string("# HELP ") + metric.name + " " + metric.help + "\n";
    out += std::string("# TYPE ") + metric.name + " " + metric.type + "\n";
    for (const TRoomView& room : rooms)
      if (room.Status) each(room, *room.Status, "room=\"" + Label(room.Name) + "\"");
  };
  auto sample = [&](const TMetric& metric, const std::string& labels, const std::string& value) {
    out += std::string(metric.name) + "{" + labels + "} " + value + "\n";
  };
  auto perDestination = [&](const TMetric& metric, auto&& value) {
    family(metric, [&](const TRoomView&, const TRoomStatus& s, const std::string& labels) {
      for (size_t i = 0; i < s.Destinations.size(); ++i)
        sample(metric, labels + ",destination=\"" + std::to_string(i + 1) + "\"", value(s.Destinations[i]));
    });
  };
  family(kRoomUp, [&](const TRoomView& r, const TRoomStatus& s, const std::string& labels) {
    sample(kRoomUp, labels, !r.Stale && s.State == "running" ? "1" : "0");
  });
  family(kStale, [&](const TRoomView& r, const TRoomStatus&, const std::string& labels) {
    sample(kStale, labels, r.Stale ? "1" : "0");
  });
  family(kInfo, [&](const TRoomView&, const TRoomStatus& s, const std::string& labels) {
    sample(kInfo, labels + ",state=\"" + Label(s.State) + "\",device=\"" + Label(s.Device) + "\"", "1");
  });
  family(kSince, [&](const TRoomView&, const TRoomStatus& s, const std::string& labels) {
    sample(kSince, labels, std::to_string(s.Since));
  });
  family(kAge, [&](const TRoomView& r, const TRoomStatus&, const std::string& labels) {
    sample(kAge, labels, std::to_string(r.AgeSeconds));
  });
  perDestination(kDestUp, [](const TDestinationStatus& d) { return std::string(d.State == "running" ? "1" : "0"); });
  perDestination(kRate, [](const TDestinationStatus& d) { return OneDecimal(d.SentKbps * 1000 / 8); });
  perDestination(kBytes, [](const TDestinationStatus& d) { return std::to_string(d.SentBytes); });
  perDestination(kDropped, [](const TDestinationStatus& d) { return std::to_string(d.FramesDropped); });
  perDestination(kReconnects, [](const TDestinationStatus& d) { return std::to_string(d.Reconnects); });
  return out;
}

int RunRoomsCommand(const std::vector<std::string>& arguments, std::string& out, std::string& err) {
  bool prometheus = false;
  std::string dir = kDefaultRoomsDir;
  bool dirGiven = false;
  for (const std::string& argument : arguments) {
    if (argument == "--prometheus") {
      prometheus = true;
    } else if (!dirGiven && !argument.empty() && argument[0] != '-') {
      dir = argument;
      dirGiven = true;
    } else {
      err = "Tidecast --rooms: unexpected argument \"" + argument + "\" (usage: Tidecast --rooms [--prometheus] [DIR])\n";
      return 2;
    }
  }
  std::error_code error;
  if (!fs::is_directory(dir, error)) {
    err = "Tidecast --rooms: " + dir + " is no folder that can be read\n";
    return 2;
  }
  std::vector<TRoomView> rooms = FindRooms(dir, static_cast<int64_t>(std::time(nullptr)));
  out = prometheus ? RoomMetrics(rooms) : RoomLines(rooms);
  return 0;
}
