// An access unit from the capturer becomes one FLV video body. Any bytes must
// build without a stray read or write, the plan and the build must agree on
// the size, and the body must carry exactly the input's non-empty NAL units,
// in order, each behind its 32-bit length (AVC, H.265) or simply joined
// (others).
//
// Input: one flags byte (bit 0 key frame, bit 1 pass-through, bits 2-4 the
// codec: AVC, H.265 in either FLV form, Sorenson H.263 or an unknown id),
// then the access unit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "VelmaroImp.h"
#include "h264utils.h"

namespace {

using namespace velmaro;
using TBytes = std::vector<uint8_t>;

void Require(bool condition) {
  if (!condition) std::abort();
}

// The start-code rule byte by byte (h264utils scans with memchr): the first i
// from `from` on where 00 00 01 begins with a byte after it, or 00 00 00 01.
bool ReferenceStartCode(const uint8_t* b, size_t n, size_t from, size_t& at) {
  for (size_t i = from; i + 3 < n; ++i) {
    bool three = b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1;
    bool four = i + 4 < n && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 0 && b[i + 3] == 1;
    if (three || four) {
      at = i;
      return true;
    }
  }
  return false;
}

// The NAL unit payloads that the body must carry. A unit runs from behind its
// start code to the next start code or the end; empty units are dropped, and
// so is a bare 00 00 00 01 that ends the buffer (no byte follows it, so it is
// no start code, but it carries nothing either).
std::vector<TBytes> ReferencePayloads(const uint8_t* b, size_t n) {
  std::vector<TBytes> payloads;
  size_t at = 0;
  if (!ReferenceStartCode(b, n, 0, at)) return payloads;
  for (;;) {
    size_t begin = at + (b[at + 2] == 1 ? 3 : 4);
    size_t next = 0;
    bool more = ReferenceStartCode(b, n, begin, next);
    size_t end = more ? next : n;
    static const uint8_t kFourByteCode[] = {0, 0, 0, 1};
    bool bareCode = end - begin == 4 && std::memcmp(b + begin, kFourByteCode, 4) == 0;
    if (end > begin && !bareCode) payloads.emplace_back(b + begin, b + end);
    if (!more) return payloads;
    at = next;
  }
}

uint32_t ReadUI32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

// Splits an AVC body of NAL units back into its payloads; every length must
// lie inside the body and the units must fill it exactly.
std::vector<TBytes> ReparseAvcBody(const uint8_t* body, size_t size) {
  std::vector<TBytes> payloads;
  size_t position = 5;
  while (position < size) {
    Require(size - position >= 4);
    size_t length = ReadUI32(body + position);
    position += 4;
    Require(length <= size - position);
    payloads.emplace_back(body + position, body + position + length);
    position += length;
  }
  return payloads;
}

void CheckStartCodeScan(const uint8_t* data, size_t size) {
  size_t expected = 0, found = 0;
  bool expectedFound = ReferenceStartCode(data, size, 0, expected);
  Require(FindStartCode(data, size, found) == expectedFound);
  if (expectedFound) Require(found == expected);
}

int32_t CodecOf(uint8_t flags) {
  switch (flags >> 2 & 7) {
    case 3: return kCodecHevcFourCc;
    case 4: return kCodecHevcId12;
    case 5: return kCodecSorensonH263;
    case 6:
    case 7: return 0x0F;  // no codec we know
    default: return kCodecAvc;
  }
}

// The five bytes before an AVC or H.265 body's first NAL unit length.
TBytes LengthPrefixedHead(int32_t codec, bool keyFrame) {
  if (codec == kCodecAvc) return {static_cast<uint8_t>(keyFrame ? 0x17 : 0x27), 0x01, 0x00, 0x00, 0x00};
  if (codec == kCodecHevcId12) return {static_cast<uint8_t>(keyFrame ? 0x1C : 0x2C), 0x01, 0x00, 0x00, 0x00};
  return {static_cast<uint8_t>(keyFrame ? 0x93 : 0xA3), 'h', 'v', 'c', '1'};  // CodedFramesX
}

void CheckBody(int32_t codec, bool keyFrame, bool passThrough, const uint8_t* au, size_t length,
               const uint8_t* body, size_t size) {
  std::vector<TBytes> expected = passThrough ? std::vector<TBytes>{TBytes(au, au + length)}
                                             : ReferencePayloads(au, length);
  if (codec == kCodecAvc || codec == kCodecHevcFourCc || codec == kCodecHevcId12) {
    const TBytes prefix = LengthPrefixedHead(codec, keyFrame);
    Require(size >= prefix.size() && std::memcmp(body, prefix.data(), prefix.size()) == 0);
    Require(ReparseAvcBody(body, size) == expected);
    return;
  }
  uint8_t frameByte = codec == kCodecSorensonH263 ? (keyFrame ? 0x12 : 0x22) : 0x00;
  Require(size >= 1 && body[0] == frameByte);
  TBytes joined;
  for (const TBytes& payload : expected) joined.insert(joined.end(), payload.begin(), payload.end());
  Require(TBytes(body + 1, body + size) == joined);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const bool keyFrame = (flags & 1) != 0;
  const bool passThrough = (flags & 2) != 0;
  const int32_t codec = CodecOf(flags);
  const uint8_t* au = data + 1;  // the fuzzer's buffer ends exactly at the input's end
  const size_t length = size - 1;

  CheckStartCodeScan(au, length);
  std::vector<TNalUnit> units;
  size_t planned = PlanVideoBody(codec, au, length, passThrough, units);
  if (planned == 0) {
    Require(!passThrough && ReferencePayloads(au, length).empty());
    return 0;
  }
  // Exactly sized blocks: one byte written past the plan is an overflow.
  std::unique_ptr<uint8_t[]> body(new uint8_t[planned]);
  Require(BuildVideoBody(codec, units, keyFrame, body.get(), planned) == planned);
  CheckBody(codec, keyFrame, passThrough, au, length, body.get(), planned);
  std::unique_ptr<uint8_t[]> tooSmall(new uint8_t[planned - 1]);
  Require(BuildVideoBody(codec, units, keyFrame, tooSmall.get(), planned - 1) == 0);
  return 0;
}
