// POSIX implementation of the settings key: a file in the registry editor's
// export format. Hand-written because no Debian library reads or writes that
// format; the grammar we accept is the small part regedit itself writes.
#include "SettingsKeys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "Debugs.h"

namespace {

constexpr std::string_view kFileHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kKeyName = "HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\Tidecast";
// A settings file of ours is a few hundred bytes; anything far larger is not.
constexpr off_t kMaxFileSize = 1 << 20;

// The file cannot be understood; the text says why.
class ENotUnderstood : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  return LowerAscii(a) == LowerAscii(b);
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// One logical line of the file (a hex value may run over several physical
// lines, each but the last ending in a backslash).
struct TEntry {
  std::string Raw;
  bool InOurKey = false;
  bool OpensOurKey = false;
  std::optional<std::string> ValueName;  // set for a value line of our key
};

// Reads a quoted text at the start of `text` ("..." with \\ and \"), moving
// `text` past it. Returns nothing when the text is not a whole quoted string.
std::optional<std::string> TakeQuoted(std::string_view& text) {
  if (text.empty() || text.front() != '"') return std::nullopt;
  std::string out;
  size_t i = 1;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') {
      text.remove_prefix(i + 1);
      return out;
    }
    if (c == '\\') {
      if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) return std::nullopt;
      out.push_back(text[i + 1]);
      i += 2;
      continue;
    }
    out.push_back(c);
    ++i;
  }
  return std::nullopt;  // no closing quote: a cut-off line
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<uint32_t> ParseDword(std::string_view digits) {
  if (digits.size() != 8) return std::nullopt;
  uint32_t value = 0;
  for (char c : digits) {
    int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    value = value << 4 | static_cast<uint32_t>(d);
  }
  return value;
}

// "xx,xx,...", possibly over several lines joined by backslashes.
std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : text) {
    if (c == ',' || c == '\\' || c == '\n' || c == '\r' || c == ' ' || c == '\t') {
      if (c == ',' && digits.size() != 2) return std::nullopt;
      if (digits.size() == 2) {
        bytes.push_back(static_cast<uint8_t>(HexDigit(digits[0]) << 4 | HexDigit(digits[1])));
        digits.clear();
      }
      continue;
    }
    if (HexDigit(c) < 0 || digits.size() == 2) return std::nullopt;
    digits.push_back(c);
  }
  if (!digits.empty()) {
    if (digits.size() != 2) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(HexDigit(digits[0]) << 4 | HexDigit(digits[1])));
  }
  return bytes;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | cp >> 6));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | cp >> 12));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | cp >> 18));
    out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// An expandable string as regedit exports it: UTF-16LE bytes; the text ends
// at its first zero character. An unpaired surrogate becomes U+FFFD.
std::string Utf16LeToUtf8(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t unit = bytes[i] | static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (unit == 0) break;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
      uint32_t low = bytes[i + 2] | static_cast<uint32_t>(bytes[i + 3]) << 8;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    AppendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
  }
  return out;
}

// The typed value of the data part of a value line ("=" already taken).
TSettingValue ParseValueData(std::string_view data, const std::string& name) {
  auto malformed = [&] { return ENotUnderstood("malformed value \"" + name + "\""); };
  TSettingValue value;
  data = TrimBlanks(data);
  if (data == "-") return value;  // a deleted value reads as missing
  if (!data.empty() && data.front() == '"') {
    std::optional<std::string> text = TakeQuoted(data);
    if (!text || !TrimBlanks(data).empty()) throw malformed();
    value.Kind = TSettingKind::String;
    value.Text = text->substr(0, text->find('\0'));  // as the registry's string: up to its first zero
    return value;
  }
  std::string lower = LowerAscii(data.substr(0, 7));
  if (lower.starts_with("dword:")) {
    std::optional<uint32_t> number = ParseDword(TrimBlanks(data.substr(6)));
    if (!number) throw malformed();
    value.Kind = TSettingKind::Dword;
    value.Number = *number;
    return value;
  }
  if (lower.starts_with("hex(2):")) {
    std::optional<std::vector<uint8_t>> bytes = ParseHexBytes(data.substr(7));
    if (!bytes) throw malformed();
    value.Kind = TSettingKind::String;
    value.Text = Utf16LeToUtf8(*bytes);
    return value;
  }
  if (lower.starts_with("hex")) {
    value.Kind = TSettingKind::Other;
    return value;
  }
  throw malformed();
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

bool IsHexValueLine(std::string_view line) {
  size_t eq = line.find("\"=");
  if (eq == std::string_view::npos) eq = line.starts_with("@=") ? 0 : std::string_view::npos;
  if (eq == std::string_view::npos) return false;
  return LowerAscii(TrimBlanks(line.substr(eq + 2)).substr(0, 3)) == "hex";
}

struct TParsedFile {
  std::vector<TEntry> Entries;
  std::vector<std::pair<std::string, TSettingValue>> Values;  // of our key
};

TParsedFile ParseSettingsText(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<std::string> lines = SplitLines(text);
  size_t i = 0;
  while (i < lines.size() && TrimBlanks(lines[i]).empty()) ++i;
  if (i == lines.size() || TrimBlanks(lines[i]) != kFileHeader)
    throw ENotUnderstood("not a registry export file");
  ++i;

  TParsedFile parsed;
  bool inOurKey = false;
  for (; i < lines.size(); ++i) {
    TEntry entry;
    entry.Raw = lines[i];
    if (IsHexValueLine(entry.Raw)) {
      while (TrimBlanks(entry.Raw).ends_with("\\") && i + 1 < lines.size())
        entry.Raw += "\n" + lines[++i];
    }
    std::string_view line = TrimBlanks(entry.Raw);
    if (line.starts_with("[")) {
      if (!line.ends_with("]")) throw ENotUnderstood("malformed key line");
      inOurKey = SameNameIgnoringCase(line.substr(1, line.size() - 2), kKeyName);
      entry.OpensOurKey = inOurKey;
    } else if (inOurKey && !line.empty() && !line.starts_with(";")) {
      std::string name;
      if (line.starts_with("@")) {
        line.remove_prefix(1);  // the key's default value: not one of ours
      } else {
        std::optional<std::string> quoted = TakeQuoted(line);
        if (!quoted) throw ENotUnderstood("malformed value name");
        name = *quoted;
      }
      line = TrimBlanks(line);
      if (!line.starts_with("=")) throw ENotUnderstood("malformed value \"" + name + "\"");
      parsed.Values.emplace_back(name, ParseValueData(line.substr(1), name));
      entry.ValueName = name;
    }
    entry.InOurKey = inOurKey;
    parsed.Entries.push_back(std::move(entry));
  }
  return parsed;
}

// The file's content, or nothing when it does not exist. Throws
// ENotUnderstood for a file far too large to be ours, ESettingsError when it
// cannot be read.
std::optional<std::string> ReadSettingsFile(const std::string& path) {
  // Non-blocking: a named pipe in the file's place must not wait for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw ESettingsError(SystemError("Cannot read the settings file", path));
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    throw ESettingsError("The settings file " + path + " is not a regular file");
  }
  if (info.st_size > kMaxFileSize) {
    ::close(fd);
    throw ENotUnderstood("far too large");
  }
  std::string content;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      throw ESettingsError(SystemError("Cannot read the settings file", path));
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
    if (content.size() > static_cast<size_t>(kMaxFileSize)) {
      ::close(fd);
      throw ENotUnderstood("far too large");
    }
  }
  ::close(fd);
  return content;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// mkdir -p, new folders readable by the user only.
void MakeFolders(const std::string& folder) {
  if (folder.empty() || folder == "/" || folder == ".") return;
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) return;
  MakeFolders(FolderOf(folder));
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    throw ESettingsError(SystemError("Cannot create the settings folder", folder));
}

void WriteAll(int fd, const std::string& content, const std::string& path) {
  const char* p = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ESettingsError(SystemError("Cannot write the settings file", path));
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// Temporary file beside the target, flushed, then renamed over it: a crash
// leaves the old file or the new one, never a part of either.
void ReplaceFileAtomically(const std::string& path, const std::string& content) {
  std::string folder = FolderOf(path);
  MakeFolders(folder);
  std::string temp = path + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) throw ESettingsError(SystemError("Cannot save the settings file", path));
  try {
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0)
      throw ESettingsError(SystemError("Cannot protect the settings file", path));
    WriteAll(fd, content, path);
    if (::fsync(fd) != 0) throw ESettingsError(SystemError("Cannot flush the settings file", path));
  } catch (...) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw;
  }
  if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    std::string message = SystemError("Cannot save the settings file", path);
    ::unlink(temp.c_str());
    throw ESettingsError(message);
  }
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);  // makes the rename itself durable; best effort
    ::close(dir);
  }
}

// The rename in ReplaceFileAtomically would replace a file that the operator
// made read-only (or the system made immutable) as easily as any other:
// refuse to write where the file itself may not be written. Opening for
// writing without truncating changes nothing (and a named pipe there does
// not block).
void EnsureWritable(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return;
  }
  if (errno != ENOENT) throw ESettingsError(SystemError("Cannot write the settings file", path));
}

// Keeps the file that Commit is about to replace as <path>.bak (a second
// name for the same file, so the replacement stays atomic).
void KeepBackup(const std::string& path) {
  std::string backup = path + ".bak";
  ::unlink(backup.c_str());
  if (::link(path.c_str(), backup.c_str()) != 0 && ::rename(path.c_str(), backup.c_str()) != 0 &&
      errno != ENOENT)
    throw ESettingsError(SystemError("Cannot keep a copy of the settings file", path));
  // The copy may hold the password like the file: readable by the user only,
  // whatever mode a hand-written file had.
  ::chmod(backup.c_str(), S_IRUSR | S_IWUSR);
  DebugLogFmt("Settings file %s kept as %s", path.c_str(), backup.c_str());
}

std::string QuoteText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string DwordText(uint32_t number) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "dword:%08x", number);
  return digits;
}

}  // namespace

std::string DefaultSettingsLocation() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : ".") + "/.config";
  }
  return base + "/Orvane/Tidecast.reg";
}

struct TSettingsKey::TImpl {
  std::string Location;
  bool Exists = false;
  bool NeedsBackup = false;  // the file could not be understood
  TParsedFile File;
  std::vector<std::pair<std::string, std::string>> Writes;  // name, data text

  void Load(bool forWriting) {
    std::optional<std::string> content;
    try {
      content = ReadSettingsFile(Location);
      Exists = content.has_value();
      if (content) File = ParseSettingsText(*content);
    } catch (const ENotUnderstood& e) {
      if (!forWriting)
        throw ESettingsError("The settings file " + Location + " cannot be read: " + e.what());
      Exists = true;
      NeedsBackup = true;
      File = {};
    }
  }

  std::string Compose() const {
    std::string values;
    for (const auto& [name, data] : Writes) values += QuoteText(name) + "=" + data + "\n";
    std::string out = std::string(kFileHeader) + "\n";
    bool keyWritten = false;
    if (File.Entries.empty()) out += "\n";
    for (const TEntry& entry : File.Entries) {
      if (entry.ValueName && IsWritten(*entry.ValueName)) continue;
      out += entry.Raw + "\n";
      if (entry.OpensOurKey && !keyWritten) {
        out += values;
        keyWritten = true;
      }
    }
    if (!keyWritten) {
      if (!out.ends_with("\n\n")) out += "\n";
      out += "[" + std::string(kKeyName) + "]\n" + values + "\n";
    }
    return out;
  }

  bool IsWritten(const std::string& name) const {
    for (const auto& write : Writes)
      if (SameNameIgnoringCase(write.first, name)) return true;
    return false;
  }

  void AddWrite(const std::string& name, std::string data) {
    for (auto& write : Writes) {
      if (SameNameIgnoringCase(write.first, name)) {
        write.second = std::move(data);
        return;
      }
    }
    Writes.emplace_back(name, std::move(data));
  }
};

TSettingsKey::TSettingsKey(std::unique_ptr<TImpl> impl) : FImpl(std::move(impl)) {}
TSettingsKey::~TSettingsKey() = default;

std::unique_ptr<TSettingsKey> TSettingsKey::Open(const std::string& location) {
  auto impl = std::make_unique<TImpl>();
  impl->Location = location;
  impl->Load(false);
  if (!impl->Exists) ReplaceFileAtomically(location, impl->Compose());
  return std::unique_ptr<TSettingsKey>(new TSettingsKey(std::move(impl)));
}

std::unique_ptr<TSettingsKey> TSettingsKey::OpenForWriting(const std::string& location) {
  auto impl = std::make_unique<TImpl>();
  impl->Location = location;
  impl->Load(true);
  return std::unique_ptr<TSettingsKey>(new TSettingsKey(std::move(impl)));
}

TSettingValue TSettingsKey::Read(const std::string& name) const {
  TSettingValue found;
  for (const auto& [valueName, value] : FImpl->File.Values)
    if (SameNameIgnoringCase(valueName, name)) found = value;  // the last one counts, as on import
  return found;
}

void TSettingsKey::WriteString(const std::string& name, const std::string& text) {
  if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    throw ESettingsError("Cannot write the setting \"" + name +
                         "\": the text holds a line break or a zero character");
  FImpl->AddWrite(name, QuoteText(text));
}

void TSettingsKey::WriteDword(const std::string& name, uint32_t number) {
  FImpl->AddWrite(name, DwordText(number));
}

void TSettingsKey::Commit() {
  EnsureWritable(FImpl->Location);
  if (FImpl->NeedsBackup) KeepBackup(FImpl->Location);
  ReplaceFileAtomically(FImpl->Location, FImpl->Compose());
  FImpl->NeedsBackup = false;
}
