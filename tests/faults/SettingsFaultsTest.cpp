// Settings that cannot be written or read, in the file system as it is: the
// store falls back to its defaults or names the file in a clear error, never
// crashes or hangs, and never leaves a half-written or stray file; a start
// from the window with such settings shows the error and connects nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "SettingsKeys.h"
#include "WindowRigs.h"
#include "WriteProtections.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string kStoredSet =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\Tidecast]\n"
    "\"Address\"=\"10.1.2.3\"\n\"Username\"=\"teacher\"\n\"Password\"=\"p@ss\"\n"
    "\"RtmpUrl\"=\"rtmp://10.0.0.9/live/a\"\n\"HttpPort\"=dword:00001f90\n"
    "\"RtspPort\"=dword:00002198\n\"StreamType\"=dword:00000001\n\"BufferTime\"=dword:0000001e\n\n";

struct TSettingsFolder {
  TTempDir dir{"tidecast-settings-faults"};
  std::string folder = dir.File("Orvane");
  std::string path = folder + "/Tidecast.reg";
  TSettingsFolder() { fs::create_directory(folder); }

  void WriteStoredSet() const {
    std::ofstream(path, std::ios::binary) << kStoredSet;
    ::chmod(path.c_str(), 0600);
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

std::string SaveError(const TConfig& config) {
  try {
    config.Save();
  } catch (const ESettingsError& error) {
    return error.what();
  }
  return {};
}

}  // namespace

TEST(SettingsFaults, UnwritableOrUnreadableSettingsGiveDefaultsOrAClearError) {
  enum TProtect { kNothing, kFolder, kFile };
  struct Case {
    const char* what;
    std::function<void(const TSettingsFolder&)> make;
    TProtect protect;
    mode_t mode;
    bool loadsStoredSet;  // else the defaults
  } cases[] = {
      {"read-only folder", &TSettingsFolder::WriteStoredSet, kFolder, 0500, true},
      {"read-only file", &TSettingsFolder::WriteStoredSet, kFile, 0400, true},
      {"file without any access", &TSettingsFolder::WriteStoredSet, kFile, 0, false},
      {"first run in a read-only folder", [](const TSettingsFolder&) {}, kFolder, 0500, false},
      {"named pipe in the file's place", [](const TSettingsFolder& f) { ::mkfifo(f.path.c_str(), 0600); },
       kNothing, 0, false},
      {"folder in the file's place", [](const TSettingsFolder& f) { fs::create_directory(f.path); }, kNothing, 0,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TSettingsFolder folder;
    c.make(folder);
    const std::vector<std::string> entriesBefore = folder.Entries();
    const fs::file_type typeBefore = fs::symlink_status(folder.path).type();
    TConfig config(folder.path);
    std::string error;
    {
      std::optional<TWriteProtection> protection;
      if (c.protect != kNothing) protection.emplace(c.protect == kFolder ? folder.folder : folder.path, c.mode);
      config.Load();
      config.Address = "10.5.5.5";
      error = SaveError(config);
    }
    EXPECT_EQ(config.Username, c.loadsStoredSet ? "teacher" : "admin");
    EXPECT_NE(error.find(folder.path), std::string::npos) << "the error must name the file: " << error;
    EXPECT_EQ(folder.Entries(), entriesBefore) << "no file made, none left behind";
    EXPECT_EQ(fs::symlink_status(folder.path).type(), typeBefore);
    if (typeBefore == fs::file_type::regular) {
      EXPECT_EQ(ReadWholeFile(folder.path), kStoredSet);
    }
  }
}

TEST(SettingsFaults, StartWithUnwritableSettingsShowsTheErrorAndConnectsNothing) {
  TWindowRig rig;
  const std::string stored = ReadWholeFile(rig.config.Location());
  {
    TWriteProtection readOnly(fs::path(rig.config.Location()).parent_path(), 0500);
    rig.window->btnStart->click();
    RunFor(std::chrono::milliseconds(500));
  }
  ASSERT_EQ(rig.boxes.size(), 1u);
  EXPECT_EQ(rig.boxes[0].caption, QString::fromUtf8("错误"));
  EXPECT_NE(rig.boxes[0].text.indexOf(QString::fromStdString(rig.config.Location())), -1)
      << rig.boxes[0].text.toStdString();
  EXPECT_EQ(rig.window->lblStatus->text(), "") << "the start ended before the status line changed";
  EXPECT_TRUE(rig.window->btnStart->isEnabled());
  EXPECT_EQ(rig.window->Controller().State(), TPushController::TState::Idle);
  EXPECT_EQ(rig.device.Requests("HTTP ").size() + rig.device.Requests("RTSP ").size(), 0u)
      << "the device was contacted";
  EXPECT_EQ(rig.sender.headers.load(), 0);
  EXPECT_FALSE(fs::exists(rig.RecordingPath())) << "the server was contacted";
  EXPECT_EQ(ReadWholeFile(rig.config.Location()), stored);
}
