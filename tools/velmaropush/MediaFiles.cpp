#include "MediaFiles.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "h264utils.h"

namespace {

constexpr int kNalSlice = 1, kNalIdr = 5, kNalSei = 6, kNalSps = 7, kNalPps = 8, kNalDelimiter = 9;

TBytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads Exp-Golomb coded fields of an RBSP (emulation prevention removed).
class TBitReader {
 public:
  explicit TBitReader(const TBytes& rbsp) : data_(rbsp) {}
  uint32_t Bit() {
    if (position_ >= data_.size() * 8) throw std::runtime_error("sequence parameter set is truncated");
    uint32_t bit = (data_[position_ / 8] >> (7 - position_ % 8)) & 1u;
    ++position_;
    return bit;
  }
  uint32_t Bits(int n) {
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) value = (value << 1) | Bit();
    return value;
  }
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0)
      if (++zeros > 31) throw std::runtime_error("bad Exp-Golomb code");
    return (zeros == 0 ? 0 : Bits(zeros)) + ((1u << zeros) - 1);
  }
  int32_t Se() {
    uint32_t k = Ue();
    return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
  }

 private:
  const TBytes& data_;
  size_t position_ = 0;
};

TBytes Unescape(const TBytes& nal) {
  TBytes rbsp;
  int zeros = 0;
  for (uint8_t byte : nal) {
    if (zeros >= 2 && byte == 3) {  // emulation prevention byte
      zeros = 0;
      continue;
    }
    rbsp.push_back(byte);
    zeros = byte == 0 ? zeros + 1 : 0;
  }
  return rbsp;
}

void SkipScalingList(TBitReader& r, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) next = (last + r.Se() + 256) % 256;
    last = next == 0 ? last : next;
  }
}

bool StartsPicture(int type, const TNalUnit& unit) {
  if (type == kNalDelimiter || type == kNalSps || type == kNalPps || type == kNalSei) return true;
  // first_mb_in_slice is 0 exactly when the first bit after the header byte is set.
  return (type == kNalSlice || type == kNalIdr) && unit.length > 1 && (unit.data[1] & 0x80) != 0;
}

}  // namespace

bool SpsPictureSize(const TBytes& sps, int& width, int& height) {
  try {
    TBytes rbsp = Unescape(sps);
    TBitReader r(rbsp);
    r.Bits(8);  // NAL header
    uint32_t profile = r.Bits(8);
    r.Bits(16);  // constraint flags, level
    r.Ue();      // seq_parameter_set_id
    uint32_t chroma = 1;
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
        profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139 || profile == 134) {
      chroma = r.Ue();
      if (chroma == 3) r.Bit();  // separate_colour_plane_flag
      r.Ue();                    // bit depths
      r.Ue();
      r.Bit();  // qpprime_y_zero_transform_bypass_flag
      if (r.Bit())
        for (int i = 0; i < (chroma != 3 ? 8 : 12); ++i)
          if (r.Bit()) SkipScalingList(r, i < 6 ? 16 : 64);
    }
    r.Ue();  // log2_max_frame_num_minus4
    uint32_t pocType = r.Ue();
    if (pocType == 0) {
      r.Ue();
    } else if (pocType == 1) {
      r.Bit();
      r.Se();
      r.Se();
      for (uint32_t n = r.Ue(), i = 0; i < n; ++i) r.Se();
    }
    r.Ue();   // max_num_ref_frames
    r.Bit();  // gaps_in_frame_num_value_allowed_flag
    uint32_t widthMbs = r.Ue() + 1;
    uint32_t heightMapUnits = r.Ue() + 1;
    uint32_t frameMbsOnly = r.Bit();
    if (!frameMbsOnly) r.Bit();
    r.Bit();  // direct_8x8_inference_flag
    uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (r.Bit()) {
      cropLeft = r.Ue();
      cropRight = r.Ue();
      cropTop = r.Ue();
      cropBottom = r.Ue();
    }
    uint32_t cropX = chroma == 0 || chroma == 3 ? 1 : 2;
    uint32_t cropY = (chroma == 1 ? 2 : 1) * (2 - frameMbsOnly);
    width = static_cast<int>(widthMbs * 16 - (cropLeft + cropRight) * cropX);
    height = static_cast<int>((2 - frameMbsOnly) * heightMapUnits * 16 - (cropTop + cropBottom) * cropY);
    return width > 0 && height > 0;
  } catch (const std::runtime_error&) {
    return false;
  }
}

TVideoFile ReadH264File(const std::string& path) {
  TBytes stream = ReadFile(path);
  TVideoFile video;
  TBytes current;
  bool currentHasSlice = false, currentKey = false;
  TNalUnitReader reader(stream.data(), stream.size());
  for (TNalUnit unit; reader.Next(unit);) {
    if (unit.length == 0) continue;
    int type = unit.data[0] & 0x1F;
    if (StartsPicture(type, unit) && currentHasSlice) {
      video.accessUnits.push_back(std::move(current));
      video.keyFrames.push_back(currentKey);
      current.clear();
      currentHasSlice = currentKey = false;
    }
    if (type == kNalSps && video.sps.empty()) video.sps.assign(unit.data, unit.data + unit.length);
    if (type == kNalPps && video.pps.empty()) video.pps.assign(unit.data, unit.data + unit.length);
    current.insert(current.end(), {0, 0, 0, 1});
    current.insert(current.end(), unit.data, unit.data + unit.length);
    currentHasSlice = currentHasSlice || type == kNalSlice || type == kNalIdr;
    currentKey = currentKey || type == kNalIdr;
  }
  if (currentHasSlice) {
    video.accessUnits.push_back(std::move(current));
    video.keyFrames.push_back(currentKey);
  }
  if (video.accessUnits.empty()) throw std::runtime_error(path + " holds no H.264 picture (Annex B expected)");
  if (video.sps.empty() || video.pps.empty())
    throw std::runtime_error(path + " holds no sequence or picture parameter set");
  if (!SpsPictureSize(video.sps, video.width, video.height)) video.width = video.height = 0;
  return video;
}

TAudioFile ReadAdtsFile(const std::string& path) {
  static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
  TBytes b = ReadFile(path);
  TAudioFile audio;
  size_t i = 0;
  while (i + 7 <= b.size()) {
    if (b[i] != 0xFF || (b[i + 1] & 0xF0) != 0xF0)
      throw std::runtime_error(path + ": no ADTS header at byte " + std::to_string(i));
    size_t headerLength = (b[i + 1] & 0x01) ? 7 : 9;  // protection_absent
    size_t length = (static_cast<size_t>(b[i + 3] & 0x03) << 11) | (static_cast<size_t>(b[i + 4]) << 3) |
                    (static_cast<size_t>(b[i + 5]) >> 5);
    if (length <= headerLength || i + length > b.size()) break;  // a cut-off last frame is dropped
    if (audio.frames.empty()) {
      int objectType = ((b[i + 2] >> 6) & 0x03) + 1;
      int rateIndex = (b[i + 2] >> 2) & 0x0F;
      int channels = ((b[i + 2] & 0x01) << 2) | ((b[i + 3] >> 6) & 0x03);
      if (rateIndex > 12) throw std::runtime_error(path + ": unsupported sampling frequency index");
      audio.sampleRate = kRates[rateIndex];
      audio.channels = channels;
      audio.audioSpecificConfig = {static_cast<uint8_t>((objectType << 3) | (rateIndex >> 1)),
                                   static_cast<uint8_t>(((rateIndex & 1) << 7) | (channels << 3))};
    }
    audio.frames.emplace_back(b.begin() + static_cast<long>(i + headerLength), b.begin() + static_cast<long>(i + length));
    i += length;
  }
  if (audio.frames.empty()) throw std::runtime_error(path + " holds no ADTS AAC frame");
  return audio;
}
