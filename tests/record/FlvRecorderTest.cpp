// The local recording on real H.264 + AAC: what the files hold (the sender's
// bodies, a header change, a segment cut, times from 0 per file), what a
// cut-off file still plays, the size cap, and a disk that runs out of room.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>
#include <sstream>
#include <thread>

#include "../velmaro/VelmaroTesting.h"
#include "FlvRecorders.h"
#include "MediaProbe.h"

using namespace testsupport;
using namespace velmarotest;
namespace fs = std::filesystem;

namespace {

using TSizes = std::vector<std::pair<std::pair<int, int>, int>>;
const auto kStart = std::chrono::sys_days{std::chrono::year{2026} / 12 / 8} + std::chrono::hours(20) +
                    std::chrono::minutes(15);

// A recorder on a test clock, with its one handle.
struct TRig {
  std::atomic<int64_t> clockSeconds{0};
  std::unique_ptr<TSender> sender;
  void* handle = nullptr;
  explicit TRig(int32_t id, int64_t maxMB = 0) {
    TRecordOptions options{id, 1, maxMB, [this] { return kStart + std::chrono::seconds(clockSeconds.load()); }};
    sender = MakeFlvRecorder(options);
  }
  ~TRig() { Close(); }
  bool Close() {
    bool closed = handle != nullptr && sender->Close(handle);
    handle = nullptr;
    return closed;
  }
  TVelmaroStats Stats() {
    TVelmaroStats stats{};
    EXPECT_TRUE(sender->GetStats(handle, &stats));
    return stats;
  }
  // Video frames [first, last) with their span's audio, in time order, `offsetMs` later.
  void Feed(const TTestMedia& media, size_t first, size_t last, int64_t offsetMs,
            const std::function<void(size_t)>& beforeFrame = {}) {
    auto audio = media.audio.begin();
    auto sendAudioUntil = [&](int64_t endMs) {
      for (; audio != media.audio.end() && audio->timeMs < endMs; ++audio) {
        TBytes raw = audio->Raw();
        if (audio->timeMs >= media.video[first].timeMs)
          sender->SendAudio(handle, raw.data(), static_cast<uint32_t>(raw.size()),
                            static_cast<uint32_t>(audio->timeMs + offsetMs));
      }
    };
    for (size_t i = first; i < last; ++i) {
      if (beforeFrame) beforeFrame(i);
      sendAudioUntil(media.video[i].timeMs);
      const TAccessUnit& unit = media.video[i];
      sender->SendVideo(handle, unit.data.data(), static_cast<uint32_t>(unit.data.size()),
                        static_cast<uint32_t>(unit.timeMs + offsetMs), unit.key);
    }
    sendAudioUntil(media.video[last - 1].timeMs + 1000 / media.options.frameRate);
  }
};

std::set<std::string> FileNames(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// Each file opens with onMetaData, the sequence headers and a key frame at 0.
void ExpectFileStart(const TFlvFile& file, const TTestMedia& media) {
  ASSERT_GE(file.tags.size(), 4u);
  EXPECT_TRUE(file.hasAudioFlag && file.hasVideoFlag);
  EXPECT_EQ(file.tags[0].type, 18);
  EXPECT_EQ(std::string(file.tags[0].body.begin() + 3, file.tags[0].body.begin() + 13), "onMetaData");
  EXPECT_EQ(file.tags[1].body, ExpectedAvcSequenceHeader(media.sps, media.pps));
  EXPECT_TRUE(file.tags[2].IsAudio() && file.tags[2].IsSequenceHeader());
  EXPECT_TRUE(file.tags[3].IsVideo() && file.tags[3].body[0] == 0x17 && file.tags[3].timestamp == 0);
}

long long LastVideoMs(const std::vector<TProbedPacket>& packets) {
  auto last = std::find_if(packets.rbegin(), packets.rend(), [](auto& p) { return p.codecType == "video"; });
  return last != packets.rend() ? last->ptsMs : -1;
}

}  // namespace

TEST(FlvRecorder, RecordsTheSendersMessagesCutsSegmentsAtKeyFramesAndStaysPlayableWhenCutOff) {
  TMediaOptions options;
  options.seconds = 2;
  const TTestMedia& small = MakeTestMedia(options);
  options.width = 640;
  options.height = 480;
  const TTestMedia& large = MakeTestMedia(options);
  TTempDir dir;
  const std::string folder = dir.File("rooms/3");  // made by Open
  TRig rig(3);
  ASSERT_EQ(rig.sender->Open(("file://" + folder).c_str(), &rig.handle), VELMARO_OK);
  TMediaHeader header = HeaderFor(small, true);
  ASSERT_EQ(rig.sender->SendHeader(rig.handle, &header), VELMARO_OK);
  rig.Feed(small, 0, 50, 0);
  header = HeaderFor(large, true);
  ASSERT_EQ(rig.sender->SendHeader(rig.handle, &header), VELMARO_OK);
  // The period ends at the 11th large picture: the next file begins at the next key frame (the 26th).
  rig.Feed(large, 0, 50, 2000, [&](size_t i) { if (i == 10) rig.clockSeconds = 61; });
  const uint32_t cutMs = 2000 + static_cast<uint32_t>(large.video[25].timeMs);
  for (int i = 0; i < 600 && !(rig.Stats().AnyMediaSent && rig.Stats().SentMediaMs >= cutMs); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GE(rig.Stats().SentMediaMs, cutMs) << "the newest media written, in the push's own times";

  // The first file is whole before the recording closes: header change in place, then the cut.
  const std::string first = folder + "/3-20261208T201500Z.flv";
  TFlvFile file = ReadFlvFile(first);
  EXPECT_FALSE(file.truncated);
  ExpectFileStart(file, small);
  std::vector<TBytes> expected, recorded;
  for (size_t i = 0; i < 50; ++i) expected.push_back(ExpectedVideoBody(small.video[i].data, small.video[i].key));
  expected.push_back(ExpectedAvcSequenceHeader(large.sps, large.pps));
  for (size_t i = 0; i < 25; ++i) expected.push_back(ExpectedVideoBody(large.video[i].data, large.video[i].key));
  for (size_t i = 3; i < file.tags.size(); ++i)
    if (file.tags[i].IsVideo()) recorded.push_back(file.tags[i].body);
  ASSERT_EQ(recorded.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(recorded[i] == expected[i]) << "video message " << i;
  EXPECT_EQ(DecodeErrors(first), std::vector<std::string>{});
  EXPECT_EQ(DecodedPictureSizes(first), (TSizes{{{320, 240}, 50}, {{640, 480}, 25}}));
  EXPECT_EQ(LastVideoMs(ProbePackets(first)), 2960) << "the file spans the 3 s fed to it";

  // The process dies in the middle of a write: the file still plays up to its last whole tag.
  const std::string cut = dir.File("cut.flv");
  fs::copy_file(first, cut);
  fs::resize_file(cut, fs::file_size(first) * 2 / 3);
  TFlvFile cutFile = ReadFlvFile(cut);
  ASSERT_TRUE(cutFile.truncated);
  int wholePictures = 0;
  for (const TFlvTag& tag : MediaTags(cutFile)) wholePictures += tag.IsVideo() ? 1 : 0;
  // (ffprobe itself may crash on such a file; ffmpeg decodes it.)
  TCommandResult decoded =
      RunCommand({"ffmpeg", "-nostdin", "-v", "quiet", "-i", cut, "-map", "0:v", "-f", "framecrc", "-"});
  EXPECT_EQ(decoded.exitCode, 0);
  std::istringstream lines(decoded.output);
  int decodedPictures = 0;
  for (std::string line; std::getline(lines, line);) decodedPictures += !line.empty() && line[0] != '#' ? 1 : 0;
  EXPECT_GT(wholePictures, 50);
  EXPECT_EQ(decodedPictures, wholePictures) << "every whole picture decodes";

  // The file being written holds what was written, not a buffer's worth less.
  const std::string second = folder + "/3-20261208T201601Z.flv";
  TFlvFile open = ReadFlvFile(second);
  EXPECT_FALSE(open.truncated);
  ASSERT_GE(open.tags.size(), 4u);
  EXPECT_TRUE(open.tags[3].body == ExpectedVideoBody(large.video[25].data, true));

  EXPECT_TRUE(rig.Close());
  EXPECT_EQ(FileNames(folder), (std::set<std::string>{"3-20261208T201500Z.flv", "3-20261208T201601Z.flv"}));
  file = ReadFlvFile(second);
  ExpectFileStart(file, large);
  EXPECT_EQ(file.tags[3].body, ExpectedVideoBody(large.video[25].data, true));
  EXPECT_EQ(DecodeErrors(second), std::vector<std::string>{});
  EXPECT_EQ(DecodedPictureSizes(second), (TSizes{{{640, 480}, 25}}));
  std::vector<TProbedPacket> packets = ProbePackets(second);
  EXPECT_EQ(LastVideoMs(packets), 960) << "times restart at 0 in each file; the last second is all there";
  EXPECT_EQ(std::count_if(packets.begin(), packets.end(), [](auto& p) { return p.codecType == "audio"; }),
            std::count_if(large.audio.begin(), large.audio.end(),
                          [](auto& a) { return a.timeMs >= 1000 && a.timeMs < 2000; }));
}

TEST(FlvRecorder, SizeCapDeletesOnlyThisInstancesOldestRecordingsNeverTheOneBeingWritten) {
  TTempDir dir;
  // Name, size in KiB, kept. The clock says 2026-12-08: the 12-09 files sort after the new one.
  const std::vector<std::tuple<std::string, int, bool>> files = {
      {"3-20261201T000000Z.flv", 100, false},  {"3-20261209T000000Z.flv", 600, false},
      {"3-20261210T000000Z.flv", 900, true},   {"3-20261209T000000Z_1.flv", 300, false},
      {"4-20261101T000000Z.flv", 2048, true},  {"33-20261101T000000Z.flv", 2048, true},
      {"3-notes.flv", 2048, true},             {"3-20261101T000000Z.mp4", 2048, true}};
  for (const auto& [name, kib, kept] : files) {
    std::ofstream(dir.File(name)).close();
    fs::resize_file(dir.File(name), static_cast<uintmax_t>(kib) * 1024);
  }
  TRig rig(3, 1);
  ASSERT_EQ(rig.sender->Open(("file://" + dir.Path()).c_str(), &rig.handle), VELMARO_OK);
  std::set<std::string> expected = {"3-20261208T201500Z.flv"};
  for (const auto& [name, kib, kept] : files)
    if (kept) expected.insert(name);
  EXPECT_EQ(FileNames(dir.Path()), expected);
  EXPECT_TRUE(rig.Close());
  expected.erase("3-20261208T201500Z.flv");
  EXPECT_EQ(FileNames(dir.Path()), expected) << "a recording that got no media leaves no file";
}

TEST(FlvRecorder, AFullDiskFailsTheRecordingForGoodAndLeavesAWholeFile) {
  const std::vector<std::pair<std::string, int>> refused = {
      {"rtmp://127.0.0.1/live/a", VELMARO_URL_REJECTED}, {"file://relative/folder", VELMARO_URL_REJECTED},
      {"file:relative", VELMARO_URL_REJECTED}, {"file:///dev/null/folder", VELMARO_CONNECT_FAILED}};
  for (const auto& [url, code] : refused) {
    TRig rig(3);
    EXPECT_EQ(rig.sender->Open(url.c_str(), &rig.handle), code) << url;
    EXPECT_EQ(rig.handle, nullptr);
    EXPECT_EQ(IsRecordingUrl(url), url[0] == 'f') << url;
  }

  TMediaOptions options;
  options.seconds = 2;
  const TTestMedia& media = MakeTestMedia(options);
  TTempDir dir;
  TRig rig(3);
  ASSERT_EQ(rig.sender->Open(("file://" + dir.Path()).c_str(), &rig.handle), VELMARO_OK);
  TMediaHeader header = HeaderFor(media, true);
  ASSERT_EQ(rig.sender->SendHeader(rig.handle, &header), VELMARO_OK);
  {
    // The file may grow to 40 KB: the write that crosses it is short, the next one fails.
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = before;
    limited.rlim_cur = 40 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    rig.Feed(media, 0, 50, 0);
    for (int i = 0; i < 600 && !rig.Stats().SendFailed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
  }
  EXPECT_EQ(rig.Stats().SendFailed, 1);
  EXPECT_EQ(rig.sender->FatalReason(rig.handle), "disk_full");
  const TAccessUnit& unit = media.video[0];
  EXPECT_FALSE(
      rig.sender->SendVideo(rig.handle, unit.data.data(), static_cast<uint32_t>(unit.data.size()), 2000, true));
  EXPECT_TRUE(rig.Close());

  const std::string path = dir.File("3-20261208T201500Z.flv");
  ASSERT_TRUE(fs::exists(path));
  EXPECT_LE(fs::file_size(path), 40u * 1024);
  TFlvFile file = ReadFlvFile(path);
  EXPECT_FALSE(file.truncated) << "the tag that did not fit was cut back off";
  EXPECT_GT(MediaTags(file).size(), 5u);
  EXPECT_EQ(DecodeErrors(path), std::vector<std::string>{});
}
