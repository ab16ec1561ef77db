#include "HevcParameterSets.h"

#include <algorithm>
#include <cstring>

#include "ByteWriters.h"
#include "RbspReaders.h"
#include "h264utils.h"

namespace {

constexpr size_t kNalHeaderBytes = 2;
constexpr size_t kRecordFixedBytes = 23;  // up to and including numOfArrays
constexpr uint32_t kMaxSubLayersMinus1 = 6;
constexpr uint32_t kMaxBitDepthMinus8 = 7;
constexpr uint32_t kMaxPictureSide = 16888;  // above the largest size any level allows

void SkipSubLayerOrders(TRbspReader& r, uint32_t maxSubLayersMinus1) {
  bool profilePresent[8] = {};
  bool levelPresent[8] = {};
  for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    profilePresent[i] = r.Bits(1) != 0;
    levelPresent[i] = r.Bits(1) != 0;
  }
  if (maxSubLayersMinus1 > 0) r.Skip(2 * (8 - maxSubLayersMinus1));  // reserved_zero_2bits
  for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    if (profilePresent[i]) r.Skip(88);
    if (levelPresent[i]) r.Skip(8);
  }
}

// The conformance window counts in chroma samples.
int32_t CroppedSide(uint32_t side, uint32_t unit, uint32_t before, uint32_t after) {
  const int64_t cropped = int64_t{side} - int64_t{unit} * (int64_t{before} + after);
  return cropped > 0 ? static_cast<int32_t>(cropped) : 0;
}

void PutArray(TByteWriter& w, int nalType, std::span<const uint8_t> nal) {
  w.PutByte(static_cast<uint8_t>(0x80 | nalType));  // array_completeness 1, NAL_unit_type
  w.PutUI16(1);                                     // numNalus
  w.PutUI16(static_cast<uint16_t>(nal.size()));
  w.PutBytes(nal.data(), nal.size());
}

bool IsSetOfType(std::span<const uint8_t> nal, int nalType) {
  return nal.size() > kNalHeaderBytes && HevcNalUnitType(nal.data()) == nalType;
}

}  // namespace

bool ReadHevcSequenceParameterSet(std::span<const uint8_t> sps, THevcSequenceInfo& info) {
  if (!IsSetOfType(sps, kHevcNalSps)) return false;
  TRbspReader r(sps.data() + kNalHeaderBytes, sps.size() - kNalHeaderBytes);
  THevcSequenceInfo read;
  r.Skip(4);  // sps_video_parameter_set_id
  read.MaxSubLayersMinus1 = r.Bits(3);
  read.TemporalIdNesting = r.Bits(1);
  if (r.Payload().size() < 1 + kHevcGeneralPtlBytes || read.MaxSubLayersMinus1 > kMaxSubLayersMinus1) return false;
  std::memcpy(read.GeneralPtl, r.Payload().data() + 1, kHevcGeneralPtlBytes);
  r.Skip(kHevcGeneralPtlBytes * 8);
  SkipSubLayerOrders(r, read.MaxSubLayersMinus1);
  r.Unsigned();  // sps_seq_parameter_set_id
  read.ChromaFormatIdc = r.Unsigned();
  const bool separatePlanes = read.ChromaFormatIdc == 3 && r.Bits(1) != 0;
  const uint32_t width = r.Unsigned();
  const uint32_t height = r.Unsigned();
  uint32_t window[4] = {};  // left, right, top, bottom
  if (r.Bits(1) != 0)
    for (uint32_t& offset : window) offset = r.Unsigned();
  read.BitDepthLumaMinus8 = r.Unsigned();
  read.BitDepthChromaMinus8 = r.Unsigned();
  // Beyond these ranges the fields would spill into their neighbours in the record.
  if (r.Overrun() || read.ChromaFormatIdc > 3 || read.BitDepthLumaMinus8 > kMaxBitDepthMinus8 ||
      read.BitDepthChromaMinus8 > kMaxBitDepthMinus8 || width > kMaxPictureSide || height > kMaxPictureSide)
    return false;
  const bool subsampled = !separatePlanes && (read.ChromaFormatIdc == 1 || read.ChromaFormatIdc == 2);
  const uint32_t unitX = subsampled ? 2 : 1;
  const uint32_t unitY = !separatePlanes && read.ChromaFormatIdc == 1 ? 2 : 1;
  read.Width = CroppedSide(width, unitX, window[0], window[1]);
  read.Height = CroppedSide(height, unitY, window[2], window[3]);
  if (read.Width == 0 || read.Height == 0) return false;
  info = read;
  return true;
}

size_t BuildHevcDecoderConfigurationRecord(std::span<const uint8_t> vps, std::span<const uint8_t> sps,
                                           std::span<const uint8_t> pps, uint8_t* out, size_t capacity) {
  THevcSequenceInfo f;
  if (!IsSetOfType(vps, kHevcNalVps) || !IsSetOfType(pps, kHevcNalPps) || !ReadHevcSequenceParameterSet(sps, f))
    return 0;
  if (std::max({vps.size(), sps.size(), pps.size()}) > UINT16_MAX) return 0;
  TByteWriter w(out, capacity);
  w.PutByte(0x01);  // configurationVersion
  w.PutBytes(f.GeneralPtl, kHevcGeneralPtlBytes);
  w.PutUI16(0xF000);  // reserved 1111, min_spatial_segmentation_idc 0
  w.PutByte(0xFC);    // reserved 111111, parallelismType 0 (unknown)
  w.PutByte(static_cast<uint8_t>(0xFC | f.ChromaFormatIdc));
  w.PutByte(static_cast<uint8_t>(0xF8 | f.BitDepthLumaMinus8));
  w.PutByte(static_cast<uint8_t>(0xF8 | f.BitDepthChromaMinus8));
  w.PutUI16(0);  // avgFrameRate unspecified
  // constantFrameRate 0, numTemporalLayers, temporalIdNested, lengthSizeMinusOne 3
  w.PutByte(static_cast<uint8_t>(((f.MaxSubLayersMinus1 + 1) << 3) | (f.TemporalIdNesting << 2) | 3));
  w.PutByte(3);  // numOfArrays
  PutArray(w, kHevcNalVps, vps);
  PutArray(w, kHevcNalSps, sps);
  PutArray(w, kHevcNalPps, pps);
  return w.Overflowed() ? 0 : w.Position();
}

std::span<const uint8_t> HevcRecordParameterSet(std::span<const uint8_t> record, int nalType) {
  if (record.size() < kRecordFixedBytes) return {};
  size_t at = kRecordFixedBytes;
  const size_t arrays = record[kRecordFixedBytes - 1];
  auto shortAt = [&](size_t i) { return size_t{record[i]} << 8 | record[i + 1]; };
  for (size_t a = 0; a < arrays; ++a) {
    if (record.size() - at < 3) return {};
    const int type = record[at] & 0x3F;
    const size_t count = shortAt(at + 1);
    at += 3;
    for (size_t n = 0; n < count; ++n) {
      if (record.size() - at < 2) return {};
      const size_t length = shortAt(at);
      at += 2;
      if (record.size() - at < length) return {};
      if (type == nalType && length > 0) return record.subspan(at, length);
      at += length;
    }
  }
  return {};
}
