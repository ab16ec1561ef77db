// The settings file is the operator's to edit: whatever bytes it holds, Load
// must end with usable settings, never crash and never rewrite the file, and
// a text read ends at its first zero byte. What Load gives, Save must store
// so that the next Load gives it back (unless a text holds a line break,
// which Save refuses with an error naming the value).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Configs.h"
#include "SettingsKeys.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// A folder of its own under TMPDIR, or else in memory where the system has
// one: Save flushes to disk on every run.
std::string TempBase() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp != nullptr && *tmp != '\0') return tmp;
  return ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

const std::string& SettingsPath() {
  static const std::string path = [] {
    std::string folder = TempBase() + "/tidecast-fuzz-XXXXXX";
    Require(::mkdtemp(folder.data()) != nullptr);
    static const std::string removeFolder = "rm -rf '" + folder + "'";
    std::atexit([] { (void)std::system(removeFolder.c_str()); });
    return folder + "/Tidecast.reg";
  }();
  return path;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  Require(file != nullptr);
  Require(std::fwrite(data, 1, size, file) == size);
  Require(std::fclose(file) == 0);
}

bool FileHolds(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  Require(file != nullptr);
  std::string content;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) content.append(buffer, n);
  std::fclose(file);
  return content.size() == size && (size == 0 || std::memcmp(content.data(), data, size) == 0);
}

bool HasZero(const std::string& text) { return text.find('\0') != std::string::npos; }
bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

bool SameSettings(const TConfig& a, const TConfig& b) {
  return a.Address == b.Address && a.HttpPort == b.HttpPort && a.RtspPort == b.RtspPort &&
         a.Username == b.Username && a.Password == b.Password && a.StreamType == b.StreamType &&
         a.RtmpUrl == b.RtmpUrl && a.BufferTime == b.BufferTime;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = SettingsPath();
  WriteFile(path, data, size);
  TConfig loaded(path);
  loaded.Load();
  Require(FileHolds(path, data, size));  // Load never rewrites a file that exists
  Require(!HasZero(loaded.Address) && !HasZero(loaded.Username) && !HasZero(loaded.Password) &&
          !HasZero(loaded.RtmpUrl));
  try {
    loaded.Save();
  } catch (const ESettingsError&) {
    Require(HasLineBreak(loaded.Address) || HasLineBreak(loaded.Username) || HasLineBreak(loaded.Password) ||
            HasLineBreak(loaded.RtmpUrl));
    return 0;
  }
  TConfig reloaded(path);
  reloaded.Load();
  Require(SameSettings(loaded, reloaded));
  return 0;
}
