#include "FlvFile.h"

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

bool SplitAvcc(const std::vector<uint8_t>& body, std::vector<std::vector<uint8_t>>& nalUnits) {
  nalUnits.clear();
  size_t i = 5;
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

}  // namespace testsupport
