#include "Configs.h"

#include <cctype>

#include "Debugs.h"
#include "ErrorReports.h"
#include "SettingsKeys.h"

std::unique_ptr<TConfig> Config;

namespace {

// A value that breaks the reading rules; Load turns it into the defaults.
class EBadValue : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string ReadString(const TSettingsKey& key, const char* name) {
  TSettingValue value = key.Read(name);
  if (value.Kind == TSettingKind::Missing) return {};
  if (value.Kind != TSettingKind::String) throw EBadValue(std::string(name) + " is not a string");
  return value.Text;
}

int32_t ReadInteger(const TSettingsKey& key, const char* name) {
  TSettingValue value = key.Read(name);
  if (value.Kind == TSettingKind::Missing) throw EBadValue(std::string(name) + " is missing");
  if (value.Kind != TSettingKind::Dword) throw EBadValue(std::string(name) + " is not a DWORD");
  return static_cast<int32_t>(value.Number);
}

}  // namespace

std::string BufferTimeRefusal(int32_t seconds) {
  if (seconds <= TConfig::MaxBufferTime) return {};
  return "延时 " + std::to_string(seconds) + " 秒超过上限 " + std::to_string(TConfig::MaxBufferTime) +
         " 秒，请输入 0 到 " + std::to_string(TConfig::MaxBufferTime) + " 之间的秒数";
}

TConfig::TConfig(std::string location) : FLocation(std::move(location)) {}

bool ParseHevcFlv(const std::string& text, THevcFlv& form) {
  std::string word = text;
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (word.empty() || word == "enhanced") {
    form = THevcFlv::Enhanced;
    return true;
  }
  if (word == "id12") {
    form = THevcFlv::Id12;
    return true;
  }
  return false;
}

void TConfig::SetDefaults() {
  *this = TConfig(FLocation);
}

void TConfig::Load() {
  try {
    std::unique_ptr<TSettingsKey> key = TSettingsKey::Open(FLocation);
    Address = ReadString(*key, "Address");
    HttpPort = ReadInteger(*key, "HttpPort");
    RtspPort = ReadInteger(*key, "RtspPort");
    Username = ReadString(*key, "Username");
    Password = ReadString(*key, "Password");
    StreamType = ReadInteger(*key, "StreamType");
    RtmpUrl = ReadString(*key, "RtmpUrl");
    BufferTime = 0;
    if (key->Read("BufferTime").Kind != TSettingKind::Missing)
      BufferTime = ReadInteger(*key, "BufferTime");
    // Missing (settings of an older version) means on, like a first run.
    AutoReconnect = 1;
    if (key->Read("AutoReconnect").Kind != TSettingKind::Missing)
      AutoReconnect = ReadInteger(*key, "AutoReconnect");
    TlsCaFile.clear();
    if (key->Read("TlsCaFile").Kind != TSettingKind::Missing) TlsCaFile = ReadString(*key, "TlsCaFile");
    TlsVerify = 1;
    if (key->Read("TlsVerify").Kind != TSettingKind::Missing) TlsVerify = ReadInteger(*key, "TlsVerify");
    HevcFlv.clear();
    if (key->Read("HevcFlv").Kind != TSettingKind::Missing) HevcFlv = ReadString(*key, "HevcFlv");
    if (THevcFlv form; !ParseHevcFlv(HevcFlv, form)) {
      ReportError("错误", "设置文件 " + FLocation + ": HevcFlv=" + HevcFlv + " 无效（应为 enhanced 或 id12）；现在用 enhanced");
      HevcFlv.clear();
    }
    std::string refusal = BufferTimeRefusal(BufferTime);
    if (!refusal.empty()) {
      BufferTime = 0;
      ReportError("错误", "设置文件 " + FLocation + ": " + refusal + "；现在不延时");
    }
  } catch (const std::exception& e) {
    DebugLogFmt("Settings not loaded, defaults used: %s", e.what());
    SetDefaults();
  }
}

void TConfig::Save() const {
  std::unique_ptr<TSettingsKey> key = TSettingsKey::OpenForWriting(FLocation);
  key->WriteString("Address", Address);
  key->WriteString("Username", Username);
  key->WriteString("Password", Password);
  key->WriteString("RtmpUrl", RtmpUrl);
  key->WriteDword("HttpPort", static_cast<uint32_t>(HttpPort));
  key->WriteDword("RtspPort", static_cast<uint32_t>(RtspPort));
  key->WriteDword("StreamType", static_cast<uint32_t>(StreamType));
  key->WriteDword("BufferTime", static_cast<uint32_t>(BufferTime));
  key->WriteDword("AutoReconnect", static_cast<uint32_t>(AutoReconnect));
  key->Commit();
}
