// The current user's settings key SOFTWARE\Orvane\Tidecast, with typed values
// as the registry holds them. This is the program's one platform unit for
// settings I/O: on Linux the key lives in a file in the registry editor's
// export format, $XDG_CONFIG_HOME/Orvane/Tidecast.reg (UTF-8); a Windows build
// puts the registry behind the same class in a file of its own.
//
// The file form:
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\SOFTWARE\Orvane\Tidecast]
//   "Address"="192.168.1.100"
//   "HttpPort"=dword:00000050
// Strings escape \ and " with a backslash; integers are dword: and eight hex
// digits; hex(2): (UTF-16LE) is an expandable string; any other form is a
// value of another type. Lines of other keys and of unknown names are kept
// as they were when the key is written back.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

// A settings value that cannot be read or written; the text names the value
// or the file.
class ESettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TSettingKind {
  Missing,  // no value of that name
  String,   // REG_SZ or REG_EXPAND_SZ
  Dword,    // REG_DWORD
  Other,    // any other registry type
};

struct TSettingValue {
  TSettingKind Kind = TSettingKind::Missing;
  std::string Text;     // String: the text up to its first zero byte
  uint32_t Number = 0;  // Dword
};

// Where the program's settings live: $XDG_CONFIG_HOME/Orvane/Tidecast.reg,
// with ~/.config when XDG_CONFIG_HOME is unset or not an absolute path.
std::string DefaultSettingsLocation();

class TSettingsKey {
 public:
  // Opens the key at the location, creating it (and its folder) when it does
  // not exist yet. An existing file is only read here, never rewritten.
  // Throws ESettingsError when the key cannot be read: a file that is not
  // ours (no registry export header), a malformed line in our key, or an
  // I/O error.
  static std::unique_ptr<TSettingsKey> Open(const std::string& location);

  // Opens the key for writing: like Open, but a file that cannot be read is
  // no error; Commit then keeps a copy of it beside the new one
  // (Tidecast.reg.bak) so that nothing the operator had is lost.
  static std::unique_ptr<TSettingsKey> OpenForWriting(const std::string& location);

  ~TSettingsKey();
  TSettingsKey(const TSettingsKey&) = delete;
  TSettingsKey& operator=(const TSettingsKey&) = delete;

  TSettingValue Read(const std::string& name) const;

  // Throw ESettingsError naming the value when it cannot be stored (a text
  // with a line break or a zero byte has no place in the file form).
  void WriteString(const std::string& name, const std::string& text);
  void WriteDword(const std::string& name, uint32_t number);

  // Makes every write durable at once: a temporary file beside the key's,
  // written, flushed to disk and renamed over it, readable by the user only.
  // A crash at any point leaves either the old file or the new one whole.
  // Throws ESettingsError naming the file.
  void Commit();

 private:
  struct TImpl;
  explicit TSettingsKey(std::unique_ptr<TImpl> impl);
  std::unique_ptr<TImpl> FImpl;
};
