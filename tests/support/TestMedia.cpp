#include "TestMedia.h"

#include <map>
#include <mutex>
#include <stdexcept>
#include <tuple>

#include "Processes.h"

namespace testsupport {
namespace {

size_t StartCodeAt(const TBytes& b, size_t i) {
  if (i + 3 <= b.size() && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) return 3;
  if (i + 4 <= b.size() && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 0 && b[i + 3] == 1) return 4;
  return 0;
}

// first_mb_in_slice is the first Exp-Golomb number of the slice header: it is
// 0 exactly when the first bit after the NAL header byte is 1.
bool FirstSliceOfPicture(const TBytes& nal, size_t startCode) {
  return nal.size() > startCode + 1 && (nal[startCode + 1] & 0x80) != 0;
}

TBytes RunFfmpeg(const std::vector<std::string>& args, const TTempDir& dir, const std::string& out) {
  std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin", "-y"};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(dir.File(out));
  TCommandResult r = RunCommand(argv, std::chrono::seconds(180));
  if (r.exitCode != 0) throw std::runtime_error("ffmpeg failed: " + r.errors);
  std::string content = ReadWholeFile(dir.File(out));
  return TBytes(content.begin(), content.end());
}

TTestMedia Generate(const TMediaOptions& o) {
  TTempDir dir("tidecast-media");
  const std::string size = std::to_string(o.width) + "x" + std::to_string(o.height);
  const std::string seconds = std::to_string(o.seconds);
  TBytes h264 = RunFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=" + std::to_string(o.frameRate),
                           "-t", seconds, "-c:v", "libx264", "-profile:v", "baseline", "-bf", "0",
                           "-g", std::to_string(o.keyInterval), "-keyint_min", std::to_string(o.keyInterval),
                           "-sc_threshold", "0", "-x264-params", "slices=" + std::to_string(o.slicesPerFrame),
                           "-pix_fmt", "yuv420p", "-bsf:v", "h264_mp4toannexb", "-f", "h264"},
                          dir, "video.h264");
  TBytes aac = RunFfmpeg({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=" + std::to_string(o.audioRate),
                          "-t", seconds, "-ac", std::to_string(o.audioChannels), "-c:a", "aac",
                          "-profile:a", "aac_low", "-b:a", "96k", "-f", "adts"},
                         dir, "audio.aac");
  TTestMedia media;
  media.options = o;
  int64_t frame = 0;
  for (TBytes& unit : SplitAccessUnits(h264)) {
    bool key = false;
    for (const TBytes& nal : SplitNalUnits(unit)) {
      int type = NalType(nal);
      size_t sc = StartCodeAt(nal, 0);
      if (type == 5) key = true;
      if (type == 7 && media.sps.empty()) media.sps.assign(nal.begin() + static_cast<long>(sc), nal.end());
      if (type == 8 && media.pps.empty()) media.pps.assign(nal.begin() + static_cast<long>(sc), nal.end());
    }
    media.video.push_back({std::move(unit), key, frame * 1000 / o.frameRate});
    ++frame;
  }
  int64_t samples = 0;
  for (TBytes& f : SplitAdtsFrames(aac)) {
    if (media.audioSpecificConfig.empty()) media.audioSpecificConfig = AudioSpecificConfigOfAdts(f);
    media.audio.push_back({std::move(f), samples * 1000 / o.audioRate});
    samples += 1024;
  }
  if (media.video.empty() || media.audio.empty() || media.sps.empty() || media.pps.empty())
    throw std::runtime_error("generated media is incomplete");
  return media;
}

}  // namespace

int NalType(const TBytes& nal) {
  size_t sc = StartCodeAt(nal, 0);
  return nal.size() > sc ? (nal[sc] & 0x1F) : -1;
}

std::vector<TBytes> SplitNalUnits(const TBytes& b) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= b.size();) {
    size_t sc = StartCodeAt(b, i);
    if (sc != 0) {
      starts.push_back(i);
      i += sc;
    } else {
      ++i;
    }
  }
  std::vector<TBytes> units;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] : b.size();
    units.emplace_back(b.begin() + static_cast<long>(starts[k]), b.begin() + static_cast<long>(end));
  }
  return units;
}

std::vector<TBytes> SplitAccessUnits(const TBytes& annexB) {
  std::vector<TBytes> units;
  TBytes current;
  bool currentHasSlice = false;
  for (const TBytes& nal : SplitNalUnits(annexB)) {
    int type = NalType(nal);
    bool startsPicture = type == 9 || type == 7 || type == 8 || type == 6 ||
                         ((type == 1 || type == 5) && FirstSliceOfPicture(nal, StartCodeAt(nal, 0)));
    if (startsPicture && currentHasSlice) {
      units.push_back(std::move(current));
      current.clear();
      currentHasSlice = false;
    }
    current.insert(current.end(), nal.begin(), nal.end());
    if (type == 1 || type == 5) currentHasSlice = true;
  }
  if (currentHasSlice) units.push_back(std::move(current));
  return units;
}

std::vector<TBytes> SplitAdtsFrames(const TBytes& b) {
  std::vector<TBytes> frames;
  size_t i = 0;
  while (i + 7 <= b.size()) {
    if (b[i] != 0xFF || (b[i + 1] & 0xF0) != 0xF0) break;
    size_t length = (static_cast<size_t>(b[i + 3] & 0x03) << 11) | (static_cast<size_t>(b[i + 4]) << 3) |
                    (static_cast<size_t>(b[i + 5]) >> 5);
    if (length < 7 || i + length > b.size()) break;
    frames.emplace_back(b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(i + length));
    i += length;
  }
  return frames;
}

TBytes AudioSpecificConfigOfAdts(const TBytes& f) {
  int objectType = ((f[2] >> 6) & 0x03) + 1;
  int rateIndex = (f[2] >> 2) & 0x0F;
  int channels = ((f[2] & 0x01) << 2) | ((f[3] >> 6) & 0x03);
  return {static_cast<uint8_t>((objectType << 3) | (rateIndex >> 1)),
          static_cast<uint8_t>(((rateIndex & 1) << 7) | (channels << 3))};
}

const TTestMedia& MakeTestMedia(const TMediaOptions& o) {
  static std::mutex mutex;
  static std::map<std::tuple<int, int, int, int, int, int, int, int>, TTestMedia> cache;
  auto key = std::make_tuple(o.width, o.height, o.frameRate, o.keyInterval, o.seconds, o.audioRate,
                             o.audioChannels, o.slicesPerFrame);
  std::lock_guard lock(mutex);
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.emplace(key, Generate(o)).first;
  return it->second;
}

}  // namespace testsupport
