// The settings store against real files in a temporary folder.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "Configs.h"
#include "ErrorReports.h"
#include "Processes.h"
#include "SettingsKeys.h"
#include "TextConversions.h"

using testsupport::ReadWholeFile;
using testsupport::TTempDir;

namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00\n\n";
constexpr const char* kKey = "[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\Tidecast]\n";

// A stored set that differs from the defaults in every value.
std::string StoredSet(const std::string& overrideLine = "", const std::string& dropName = "") {
  std::vector<std::pair<std::string, std::string>> lines = {
      {"Address", "\"10.1.2.3\""},   {"HttpPort", "dword:00001f90"},
      {"RtspPort", "dword:00002198"}, {"Username", "\"teacher\""},
      {"Password", "\"p@ss\""},       {"StreamType", "dword:00000001"},
      {"RtmpUrl", "\"rtmp://10.0.0.9/live/a\""}, {"BufferTime", "dword:0000001e"}};
  std::string text = std::string(kHeader) + kKey;
  for (const auto& [name, data] : lines)
    if (name != dropName) text += "\"" + name + "\"=" + data + "\n";
  return text + overrideLine;
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0600) {
  std::ofstream(path, std::ios::binary) << text;
  ::chmod(path.c_str(), mode);
}

mode_t FileMode(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    ::closedir(dir);
  }
  return names;
}

void ExpectDefaults(const TConfig& c) {
  EXPECT_EQ(c.Address, TConfig::DefaultAddress);
  EXPECT_EQ(c.HttpPort, 80);
  EXPECT_EQ(c.RtspPort, 554);
  EXPECT_EQ(c.Username, "admin");
  EXPECT_EQ(c.Password, "");
  EXPECT_EQ(c.StreamType, 0);
  EXPECT_EQ(c.RtmpUrl, TConfig::DefaultRtmpUrl);
  EXPECT_EQ(c.BufferTime, 0);
}

struct SettingsFolder {
  TTempDir dir{"tidecast-settings"};
  std::string path = dir.Path() + "/Orvane/Tidecast.reg";
  SettingsFolder() { ::mkdir((dir.Path() + "/Orvane").c_str(), 0700); }
  TConfig Loaded() const {
    TConfig c(path);
    c.Load();
    return c;
  }
};

}  // namespace

TEST(Settings, FirstRunGivesDefaultsAndCreatesAPrivateFile) {
  TTempDir dir{"tidecast-settings"};
  std::string path = dir.Path() + "/new/Orvane/Tidecast.reg";  // folders do not exist yet
  TConfig config(path);
  config.Load();
  ExpectDefaults(config);
  EXPECT_EQ(ReadWholeFile(path), std::string(kHeader) + kKey + "\n");
  EXPECT_EQ(FileMode(path), 0600u);
  EXPECT_EQ(FileMode(dir.Path() + "/new/Orvane"), 0700u);
}

TEST(Settings, DefaultLocationFollowsXdgConfigHome) {
  const char* old = std::getenv("XDG_CONFIG_HOME");
  std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", "/srv/cfg", 1);
  EXPECT_EQ(DefaultSettingsLocation(), "/srv/cfg/Orvane/Tidecast.reg");
  ::setenv("XDG_CONFIG_HOME", "relative/cfg", 1);  // not absolute: ignored
  EXPECT_EQ(DefaultSettingsLocation(), std::string(std::getenv("HOME")) + "/.config/Orvane/Tidecast.reg");
  if (old) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
}

TEST(Settings, SavedSetIsWrittenInExportFormatAndReadBack) {
  SettingsFolder folder;
  TConfig config(folder.path);
  config.Address = "教室 \"A\"";
  config.Username = "C:\\teacher";
  config.Password = "密码 ";
  config.RtmpUrl = "rtmp://10.0.0.9/hls/test1";
  config.HttpPort = 80;
  config.RtspPort = 554;
  config.StreamType = 1;
  config.BufferTime = 30;
  config.Save();
  EXPECT_EQ(ReadWholeFile(folder.path),
            std::string(kHeader) + kKey +
                "\"Address\"=\"教室 \\\"A\\\"\"\n"
                "\"Username\"=\"C:\\\\teacher\"\n"
                "\"Password\"=\"密码 \"\n"
                "\"RtmpUrl\"=\"rtmp://10.0.0.9/hls/test1\"\n"
                "\"HttpPort\"=dword:00000050\n"
                "\"RtspPort\"=dword:0000022a\n"
                "\"StreamType\"=dword:00000001\n"
                "\"BufferTime\"=dword:0000001e\n"
                "\"AutoReconnect\"=dword:00000001\n\n");
  EXPECT_EQ(FileMode(folder.path), 0600u);
  TConfig back = folder.Loaded();
  EXPECT_EQ(back.Address, config.Address);
  EXPECT_EQ(back.Username, config.Username);
  EXPECT_EQ(back.Password, config.Password);
  EXPECT_EQ(back.RtmpUrl, config.RtmpUrl);
  EXPECT_EQ(back.StreamType, 1);
  EXPECT_EQ(back.BufferTime, 30);
  EXPECT_EQ(back.AutoReconnect, 1);
}

TEST(Settings, NegativeIntegersSurviveAsDwords) {
  SettingsFolder folder;
  TConfig config(folder.path);
  config.BufferTime = -5;
  config.Save();
  EXPECT_EQ(folder.Loaded().BufferTime, -5);
}

TEST(Settings, StoredSetLoadsEveryValue) {
  SettingsFolder folder;
  WriteFile(folder.path, StoredSet());
  TConfig c = folder.Loaded();
  EXPECT_EQ(c.Address, "10.1.2.3");
  EXPECT_EQ(c.HttpPort, 8080);
  EXPECT_EQ(c.RtspPort, 8600);
  EXPECT_EQ(c.Username, "teacher");
  EXPECT_EQ(c.Password, "p@ss");
  EXPECT_EQ(c.StreamType, 1);
  EXPECT_EQ(c.RtmpUrl, "rtmp://10.0.0.9/live/a");
  EXPECT_EQ(c.BufferTime, 30);
}

// A missing BufferTime means no delay and a missing string reads as empty;
// neither disturbs the other values.
TEST(Settings, MissingBufferTimeOrStringKeepsTheRest) {
  for (const char* missing : {"BufferTime", "Password", "RtmpUrl"}) {
    SettingsFolder folder;
    WriteFile(folder.path, StoredSet("", missing));
    TConfig c = folder.Loaded();
    SCOPED_TRACE(missing);
    EXPECT_EQ(c.Address, "10.1.2.3");
    EXPECT_EQ(c.RtspPort, 8600);
    EXPECT_EQ(c.BufferTime, std::string(missing) == "BufferTime" ? 0 : 30);
    EXPECT_EQ(c.Password, std::string(missing) == "Password" ? "" : "p@ss");
    EXPECT_EQ(c.RtmpUrl, std::string(missing) == "RtmpUrl" ? "" : "rtmp://10.0.0.9/live/a");
  }
}

std::vector<std::string> reports;
void Remember(const std::string& caption, const std::string& text) { reports.push_back(caption + "|" + text); }

// The settings file is edited by hand or by deployment tools: a delay above
// the bound is refused with a report, and the push would go without one.
TEST(Settings, DelayAboveTheBoundIsRefusedWithAReport) {
  for (auto [stored, loaded] : {std::pair{"dword:00000258", 600}, std::pair{"dword:00000259", 0},
                                std::pair{"dword:7fffffff", 0}}) {
    SettingsFolder folder;
    WriteFile(folder.path, StoredSet("\"BufferTime\"=" + std::string(stored) + "\n", "BufferTime"));
    reports.clear();
    SetErrorReportHandler(Remember);
    TConfig c = folder.Loaded();
    SetErrorReportHandler(nullptr);
    SCOPED_TRACE(stored);
    EXPECT_EQ(c.BufferTime, loaded);
    EXPECT_EQ(c.RtmpUrl, "rtmp://10.0.0.9/live/a") << "the other values are kept";
    if (loaded == 600) {
      EXPECT_TRUE(reports.empty());
    } else {
      ASSERT_EQ(reports.size(), 1u);
      EXPECT_NE(reports[0].find("超过上限 600 秒"), std::string::npos) << reports[0];
      EXPECT_NE(reports[0].find(folder.path), std::string::npos) << "the report names the file";
    }
  }
}

// HevcFlv names one of two forms; anything else is reported and H.265 goes
// out as enhanced RTMP, the other values kept.
TEST(Settings, HevcFlvTakesItsTwoFormsAndReportsAnyOther) {
  for (auto [stored, loaded] : {std::pair{"id12", "id12"}, {"ENHANCED", "ENHANCED"}, {"h265", ""}}) {
    SettingsFolder folder;
    WriteFile(folder.path, StoredSet("\"HevcFlv\"=\"" + std::string(stored) + "\"\n"));
    reports.clear();
    SetErrorReportHandler(Remember);
    TConfig c = folder.Loaded();
    SetErrorReportHandler(nullptr);
    SCOPED_TRACE(stored);
    EXPECT_EQ(c.HevcFlv, loaded);
    EXPECT_EQ(c.BufferTime, 30) << "the other values are kept";
    EXPECT_EQ(reports.size(), *loaded ? 0u : 1u);
    THevcFlv form = THevcFlv::Id12;
    EXPECT_TRUE(ParseHevcFlv(c.HevcFlv, form));
    EXPECT_EQ(form, std::string(stored) == "id12" ? THevcFlv::Id12 : THevcFlv::Enhanced);
  }
}

TEST(Settings, ExpandableStringReadsAsText) {
  SettingsFolder folder;
  // "Address"=hex(2): UTF-16LE "10.9" and its terminating zero.
  WriteFile(folder.path, StoredSet("\"Address\"=hex(2):31,00,30,00,2e,00,\\\n  39,00,00,00\n", "Address"));
  EXPECT_EQ(folder.Loaded().Address, "10.9");
}

// Found by fuzz_settings_file: a zero byte inside a quoted text came through
// whole (a registry string ends at its first zero), and every Save of the
// loaded set was then refused.
TEST(Settings, TextEndsAtItsFirstZeroByte) {
  SettingsFolder folder;
  WriteFile(folder.path, ReadWholeFile(testsupport::SourceDir() + "/tests/app/data/zero-inside-a-text.reg"));
  TConfig c = folder.Loaded();
  EXPECT_EQ(c.RtmpUrl, "rtmp://10.0.");
  EXPECT_EQ(c.HttpPort, 8080) << "the rest of the set is read";
  EXPECT_NO_THROW(c.Save());
  EXPECT_EQ(folder.Loaded().RtmpUrl, "rtmp://10.0.");
}

// Every one of these files breaks the reading rules: all eight values take
// their defaults, also those read before the bad one.
TEST(Settings, UnreadableFilesGiveAllDefaults) {
  const std::string full = StoredSet();
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"HttpPort of the string type", StoredSet("\"HttpPort\"=\"8080\"\n", "HttpPort")},
      {"Address as binary", StoredSet("\"Address\"=hex:31,32\n", "Address")},
      {"BufferTime of the string type", StoredSet("\"BufferTime\"=\"30\"\n", "BufferTime")},
      {"RtspPort missing", StoredSet("", "RtspPort")},
      {"StreamType missing", StoredSet("", "StreamType")},
      {"dword with seven digits", StoredSet("\"RtspPort\"=dword:0000219\n", "RtspPort")},
      {"dword with a non-hex digit", StoredSet("\"RtspPort\"=dword:0000219g\n", "RtspPort")},
      {"truncated inside a string", full.substr(0, full.find("rtmp://") + 9)},
      {"truncated inside a dword", full.substr(0, full.find("dword:00001f90") + 9)},
      {"truncated inside a value name", full.substr(0, full.find("\"RtspPort\"") + 4)},
      {"unknown escape in a string", StoredSet("\"Address\"=\"a\\tb\"\n", "Address")},
      {"garbage after a string", StoredSet("\"Address\"=\"a\" b\n", "Address")},
      {"not a registry export", "Address=10.1.2.3\nHttpPort=80\n"},
      {"binary garbage", std::string("\x7f" "ELF\x02\x01\x00\x00", 8)},
      {"empty file", ""},
      {"UTF-16 export", std::string("\xff\xfeW\0i\0n\0", 8)},
  };
  for (const Case& c : cases) {
    SettingsFolder folder;
    WriteFile(folder.path, c.text);
    SCOPED_TRACE(c.what);
    ExpectDefaults(folder.Loaded());
    EXPECT_EQ(ReadWholeFile(folder.path), c.text) << "Load must never rewrite a file";
  }
}

TEST(Settings, FileThatIsNotOursIsKeptAsBackupOnSave) {
  SettingsFolder folder;
  const std::string foreign = "# someone else's notes\nkeep me\n";
  WriteFile(folder.path, foreign, 0644);
  TConfig c = folder.Loaded();
  ExpectDefaults(c);
  EXPECT_EQ(ReadWholeFile(folder.path), foreign);
  c.Address = "10.0.0.1";
  c.Save();
  EXPECT_EQ(ReadWholeFile(folder.path + ".bak"), foreign);
  EXPECT_EQ(FileMode(folder.path + ".bak"), 0600u) << "the copy may hold a password too";
  EXPECT_EQ(folder.Loaded().Address, "10.0.0.1");
  EXPECT_EQ(FileMode(folder.path), 0600u);
}

TEST(Settings, SaveKeepsOtherKeysAndUnknownValues) {
  SettingsFolder folder;
  std::string text = std::string(kHeader) +
                     "[HKEY_CURRENT_USER\\SOFTWARE\\Other]\n\"Address\"=\"not ours\"\n\n" + kKey +
                     "; operator's note\n\"Extra\"=hex:01,02,\\\n  03\n\"Address\"=\"10.1.2.3\"\n";
  WriteFile(folder.path, text, 0644);
  TConfig c = folder.Loaded();
  ExpectDefaults(c);  // integers are missing
  c.Address = "10.5.5.5";
  c.Save();
  std::string saved = ReadWholeFile(folder.path);
  EXPECT_NE(saved.find("[HKEY_CURRENT_USER\\SOFTWARE\\Other]\n\"Address\"=\"not ours\"\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("; operator's note\n\"Extra\"=hex:01,02,\\\n  03\n"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("10.1.2.3"), std::string::npos) << "the old Address must be replaced";
  EXPECT_EQ(folder.Loaded().Address, "10.5.5.5");
  EXPECT_EQ(FileMode(folder.path), 0600u) << "it holds the password";
  EXPECT_FALSE(std::ifstream(folder.path + ".bak").good()) << "an understood file needs no backup";
}

TEST(Settings, FailedWriteLeavesTheOldFileWhole) {
  SettingsFolder folder;
  const std::string old = StoredSet();
  WriteFile(folder.path, old);
  TConfig c = folder.Loaded();
  c.RtmpUrl = "rtmp://10.0.0.9/hls/" + std::string(400, 'x');

  // The file-size limit makes the write of the new file fail half-way.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string error;
  try {
    c.Save();
  } catch (const ESettingsError& e) {
    error = e.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_NE(error.find(folder.path), std::string::npos) << "the error names the file: " << error;
  EXPECT_EQ(ReadWholeFile(folder.path), old);
  EXPECT_EQ(FolderEntries(folder.dir.Path() + "/Orvane"), std::vector<std::string>{"Tidecast.reg"})
      << "no temporary file is left behind";
}

TEST(Settings, ValueThatCannotBeStoredIsNamedAndNothingChanges) {
  SettingsFolder folder;
  const std::string old = StoredSet();
  WriteFile(folder.path, old);
  TConfig c = folder.Loaded();
  c.Password = "two\nlines";
  try {
    c.Save();
    FAIL() << "Save must refuse a line break";
  } catch (const ESettingsError& e) {
    EXPECT_NE(std::string(e.what()).find("\"Password\""), std::string::npos) << e.what();
  }
  EXPECT_EQ(ReadWholeFile(folder.path), old);
}

TEST(Settings, SaveIntoAFolderThatCannotBeMadeNamesTheFile) {
  TTempDir dir{"tidecast-settings"};
  WriteFile(dir.File("blocker"), "a file where a folder should be");
  TConfig c(dir.File("blocker") + "/Orvane/Tidecast.reg");
  EXPECT_THROW(c.Save(), ESettingsError);
  c.Load();  // read errors never surface
  ExpectDefaults(c);
}

TEST(TextConversions, TrimAndStrictDecimal) {
  EXPECT_EQ(TrimControls(" \t pass \r\n"), "pass");
  EXPECT_EQ(TrimControls(std::string("\x01" "a b\x1f", 5)), "a b");
  EXPECT_EQ(TrimControls("   "), "");
  struct Case {
    const char* text;
    bool ok;
    int32_t value;
  } cases[] = {{"554", true, 554},       {"  8080", true, 8080},  {"-5", true, -5},
               {"+7", true, 7},          {"", false, 0},          {"abc", false, 0},
               {"55 4", false, 0},       {"554 ", false, 0},      {"0x10", false, 0},
               {"2147483647", true, 2147483647}, {"2147483648", false, 0}, {"+-1", false, 0},
               {"-", false, 0}};
  for (const Case& c : cases) {
    int32_t value = 99;
    EXPECT_EQ(TryStrToInt(c.text, value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 99) << c.text;
  }
  EXPECT_EQ(StrToIntDef("x", 80), 80);
}
