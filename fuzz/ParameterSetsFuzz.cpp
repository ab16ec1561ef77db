// A key frame from the device may carry any bytes as its SPS and PPS (H.265:
// and VPS). The
// change detection must read them without a stray read or write, and what it
// takes must hold: a size it reports is positive and the header's set
// lengths stay inside their fields. A second look at the same unit finds no
// change any more.
//
// Input: the access unit, in Annex B form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "HevcParameterSets.h"
#include "ParameterSetChanges.h"
#include "SequenceParameterSets.h"
#include "h264utils.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// A real H.265 stream's record (x265, 320x240): the sets an access unit
// lacks come from it.
TMediaHeader HevcHeader() {
  static const uint8_t kVps[] = {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00,
                                 0x90, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x3C, 0x95, 0x98, 0x09};
  static const uint8_t kSps[] = {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00, 0x03, 0x00,
                                 0x00, 0x03, 0x00, 0x3C, 0xA0, 0x0A, 0x08, 0x0F, 0x16, 0x59, 0x59, 0xA4, 0x93, 0x2B,
                                 0xC0, 0x5A, 0x02, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x32, 0x10};
  static const uint8_t kPps[] = {0x44, 0x01, 0xC1, 0x72, 0xB4, 0x62, 0x40};
  TMediaHeader header{};
  header.VideoCodecId = VELMARO_VIDEO_HEVC;
  header.SpsLen = static_cast<int32_t>(
      BuildHevcDecoderConfigurationRecord(kVps, kSps, kPps, header.Sps, sizeof header.Sps));
  Require(header.SpsLen > 0);
  return header;
}

void CheckTaken(const uint8_t* data, size_t size, TMediaHeader& header) {
  if (!TakeParameterSetChange(data, size, header)) return;
  Require(header.SpsLen >= 0 && header.SpsLen <= static_cast<int32_t>(sizeof header.Sps));
  Require(header.PpsLen >= 0 && header.PpsLen <= static_cast<int32_t>(sizeof header.Pps));
  Require(header.SpsLen == 0 || (header.Width > 0 && header.Height > 0));
  Require(!TakeParameterSetChange(data, size, header));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TSequenceInfo info;
  if (ReadSequenceParameterSet(data, size, info)) Require(info.Width > 0 && info.Height > 0 && info.FrameRate >= 0);
  THevcSequenceInfo hevcInfo;
  if (ReadHevcSequenceParameterSet({data, size}, hevcInfo))
    Require(hevcInfo.Width > 0 && hevcInfo.Height > 0 && hevcInfo.MaxSubLayersMinus1 <= 6);
  // The input taken as a record: any set found lies inside it.
  for (int type : {kHevcNalVps, kHevcNalSps, kHevcNalPps}) {
    std::span<const uint8_t> set = HevcRecordParameterSet({data, size}, type);
    Require(set.empty() || (set.data() >= data && set.data() + set.size() <= data + size));
  }

  TMediaHeader header{};
  header.VideoCodecId = VELMARO_VIDEO_AVC;
  CheckTaken(data, size, header);
  TMediaHeader hevc = HevcHeader();
  CheckTaken(data, size, hevc);
  return 0;
}
