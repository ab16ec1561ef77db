#include "RecordFolders.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <tuple>
#include <vector>

#include "Debugs.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kScheme = "file://";
constexpr std::string_view kExtension = ".flv";
constexpr size_t kStampLength = 16;  // YYYYMMDDTHHMMSSZ

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

bool IsStamp(std::string_view text) {
  return text.size() == kStampLength && AllDigits(text.substr(0, 8)) && text[8] == 'T' &&
         AllDigits(text.substr(9, 6)) && text[15] == 'Z';
}

struct TRecordingFile {
  std::string Stamp;
  long Collision = 0;
  std::string Name;
  int64_t Bytes = 0;
  bool operator<(const TRecordingFile& other) const {
    return std::tie(Stamp, Collision) < std::tie(other.Stamp, other.Collision);
  }
};

// Parses "<id>-<stamp>[_<n>].flv" for this instance; false for any other name.
bool ParseRecordingName(const std::string& name, const std::string& prefix, TRecordingFile& file) {
  std::string_view view(name);
  if (!view.starts_with(prefix) || !view.ends_with(kExtension)) return false;
  view = view.substr(prefix.size(), view.size() - prefix.size() - kExtension.size());
  if (!IsStamp(view.substr(0, std::min(view.size(), kStampLength)))) return false;
  std::string_view rest = view.substr(kStampLength);
  if (!rest.empty() && (rest[0] != '_' || !AllDigits(rest.substr(1)) || rest.size() > 10)) return false;
  file.Stamp = std::string(view.substr(0, kStampLength));
  file.Collision = rest.empty() ? 0 : std::stol(std::string(rest.substr(1)));
  file.Name = name;
  return true;
}

std::vector<TRecordingFile> ListRecordings(const std::string& folder, int32_t instanceId) {
  std::vector<TRecordingFile> files;
  const std::string prefix = std::to_string(instanceId) + "-";
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    TRecordingFile file;
    if (!ParseRecordingName(it->path().filename().string(), prefix, file)) continue;
    std::error_code sizeError;
    if (!it->is_regular_file(sizeError)) continue;
    const auto bytes = it->file_size(sizeError);
    file.Bytes = sizeError ? 0 : static_cast<int64_t>(bytes);
    files.push_back(std::move(file));
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

std::string RecordFolderOfUrl(std::string_view url) {
  if (url.size() <= kScheme.size()) return {};
  for (size_t i = 0; i < kScheme.size(); ++i)  // the scheme matches without regard to case
    if (std::tolower(static_cast<unsigned char>(url[i])) != kScheme[i]) return {};
  std::string_view path = url.substr(kScheme.size());
  if (path.empty() || path[0] != '/') return {};  // a host, or a relative path
  return std::string(path);
}

std::string RecordFileName(int32_t instanceId, std::chrono::system_clock::time_point start, int collision) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(start);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  std::string name = std::to_string(instanceId) + "-" + stamp;
  if (collision > 0) name += "_" + std::to_string(collision);
  return name + std::string(kExtension);
}

int PruneRecordings(const std::string& folder, int32_t instanceId, int64_t maxBytes, const std::string& current) {
  std::vector<TRecordingFile> files = ListRecordings(folder, instanceId);
  int64_t total = 0;
  for (const TRecordingFile& file : files) total += file.Bytes;
  int deleted = 0;
  for (const TRecordingFile& file : files) {  // oldest first
    if (total <= maxBytes) break;
    if (file.Name == current) continue;
    std::error_code error;
    if (fs::remove(fs::path(folder) / file.Name, error)) {
      total -= file.Bytes;
      ++deleted;
      DebugLogFmt("Record: deleted %s (%lld bytes) to stay under the size cap", file.Name.c_str(),
                  static_cast<long long>(file.Bytes));
    } else if (error) {
      DebugLogFmt("Record: cannot delete %s: %s", file.Name.c_str(), error.message().c_str());
    }
  }
  return deleted;
}
