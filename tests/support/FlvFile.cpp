#include "FlvFile.h"

#include <algorithm>
#include <stdexcept>

#include "Processes.h"

namespace testsupport {
namespace {
uint32_t Be(const std::string& b, size_t i, int n) {
  uint32_t v = 0;
  for (int k = 0; k < n; ++k) v = (v << 8) | static_cast<uint8_t>(b[i + static_cast<size_t>(k)]);
  return v;
}
}  // namespace

TFlvFile ReadFlvFile(const std::string& path) {
  std::string b = ReadWholeFile(path);
  if (b.size() < 9 || b.compare(0, 3, "FLV") != 0) throw std::runtime_error("not an FLV file: " + path);
  TFlvFile file;
  file.hasAudioFlag = (b[4] & 0x04) != 0;
  file.hasVideoFlag = (b[4] & 0x01) != 0;
  size_t i = Be(b, 5, 4) + 4;  // header, then the first previous-tag-size
  while (i + 11 <= b.size()) {
    TFlvTag tag;
    tag.type = static_cast<uint8_t>(b[i] & 0x1F);
    uint32_t size = Be(b, i + 1, 3);
    tag.timestamp = Be(b, i + 4, 3) | (static_cast<uint32_t>(static_cast<uint8_t>(b[i + 7])) << 24);
    if (i + 11 + size > b.size()) {
      file.truncated = true;
      break;
    }
    tag.body.assign(b.begin() + static_cast<long>(i + 11), b.begin() + static_cast<long>(i + 11 + size));
    file.tags.push_back(std::move(tag));
    i += 11 + size + 4;
  }
  return file;
}

bool SplitAvcc(const std::vector<uint8_t>& body, std::vector<std::vector<uint8_t>>& nalUnits, size_t offset) {
  nalUnits.clear();
  size_t i = offset;
  while (i < body.size()) {
    if (i + 4 > body.size()) return false;
    size_t n = (size_t{body[i]} << 24) | (size_t{body[i + 1]} << 16) | (size_t{body[i + 2]} << 8) | body[i + 3];
    i += 4;
    if (n == 0 || i + n > body.size()) return false;
    nalUnits.emplace_back(body.begin() + static_cast<long>(i), body.begin() + static_cast<long>(i + n));
    i += n;
  }
  return !nalUnits.empty();
}

namespace {

constexpr uint8_t kStartCode[] = {0, 0, 0, 1};

// The NAL units of an HEVCDecoderConfigurationRecord's arrays.
void AppendRecordSets(const std::vector<uint8_t>& body, size_t at, std::vector<uint8_t>& out) {
  auto u16 = [&](size_t i) {
    if (i + 2 > body.size()) throw std::runtime_error("H.265 record cut short");
    return size_t{body[i]} << 8 | body[i + 1];
  };
  if (at + 23 > body.size()) throw std::runtime_error("H.265 record cut short");
  const size_t arrays = body[at + 22];
  size_t i = at + 23;
  for (size_t a = 0; a < arrays; ++a) {
    const size_t count = u16(i + 1);
    i += 3;
    for (size_t n = 0; n < count; ++n) {
      const size_t length = u16(i);
      if (i + 2 + length > body.size()) throw std::runtime_error("H.265 record set cut short");
      out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
      out.insert(out.end(), body.begin() + static_cast<long>(i + 2), body.begin() + static_cast<long>(i + 2 + length));
      i += 2 + length;
    }
  }
}

void AddForm(THevcStream& stream, const char* form) {
  if (stream.forms.find(form) == std::string::npos) stream.forms += stream.forms.empty() ? form : std::string(" ") + form;
}

}  // namespace

THevcStream HevcAnnexB(const TFlvFile& file) {
  THevcStream stream;
  std::vector<std::vector<uint8_t>> units;
  std::vector<uint8_t> lastHeader;
  for (const TFlvTag& tag : file.tags) {
    if (!tag.IsVideo() || tag.body.size() < 5) continue;
    const uint8_t first = tag.body[0];
    const bool enhanced = (first & 0x80) != 0 && std::equal(tag.body.begin() + 1, tag.body.begin() + 5, "hvc1");
    const bool id12 = (first & 0x8F) == 12;
    if (!enhanced && !id12) continue;
    AddForm(stream, enhanced ? "enhanced" : "id12");
    const int packetType = enhanced ? first & 0x0F : tag.body[1];
    if (packetType == 0) {
      if (tag.body != lastHeader) ++stream.sequenceHeaders;
      lastHeader = tag.body;
      AppendRecordSets(tag.body, 5, stream.annexB);
      continue;
    }
    // Enhanced CodedFrames carries a composition time; CodedFramesX and id 12's prefix are five bytes.
    const size_t offset = enhanced && packetType == 1 ? 8 : 5;
    if ((enhanced && packetType != 1 && packetType != 3) || (id12 && packetType != 1)) continue;
    if (!SplitAvcc(tag.body, units, offset)) throw std::runtime_error("H.265 frame whose lengths do not add up");
    ++stream.frames;
    for (const auto& unit : units) {
      stream.annexB.insert(stream.annexB.end(), std::begin(kStartCode), std::end(kStartCode));
      stream.annexB.insert(stream.annexB.end(), unit.begin(), unit.end());
    }
  }
  return stream;
}

}  // namespace testsupport
