#include "ParameterSetChanges.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "HevcParameterSets.h"
#include "SequenceParameterSets.h"
#include "h264utils.h"

namespace {

// Annex B allows zero bytes after a unit; they are not part of it.
TNalUnit WithoutTrailingZeros(TNalUnit unit) {
  while (unit.length > 0 && unit.data[unit.length - 1] == 0) --unit.length;
  return unit;
}

bool SameAs(const TNalUnit& unit, const uint8_t* stored, int32_t storedLength) {
  return unit.data == nullptr ||
         (static_cast<int32_t>(unit.length) == storedLength && std::memcmp(unit.data, stored, unit.length) == 0);
}

}  // namespace

namespace {

bool TakeAvcChange(const uint8_t* accessUnit, size_t length, TMediaHeader& header) {
  TNalUnit sps, pps, unit;
  TNalUnitReader reader(accessUnit, length);
  while (reader.Next(unit)) {
    if (unit.length == 0) continue;
    int type = NalUnitType(unit.data);
    if (type == kNalTypeSps && sps.data == nullptr) sps = WithoutTrailingZeros(unit);
    if (type == kNalTypePps && pps.data == nullptr) pps = WithoutTrailingZeros(unit);
  }
  if (SameAs(sps, header.Sps, header.SpsLen) && SameAs(pps, header.Pps, header.PpsLen)) return false;
  if (sps.length > sizeof header.Sps || pps.length > sizeof header.Pps) return false;
  TSequenceInfo info;
  if (sps.data != nullptr && !ReadSequenceParameterSet(sps.data, sps.length, info)) return false;
  if (sps.data != nullptr) {
    std::memcpy(header.Sps, sps.data, sps.length);
    header.SpsLen = static_cast<int32_t>(sps.length);
    header.Width = info.Width;
    header.Height = info.Height;
    if (info.FrameRate > 0) header.FrameRate = info.FrameRate;
  }
  if (pps.data != nullptr) {
    std::memcpy(header.Pps, pps.data, pps.length);
    header.PpsLen = static_cast<int32_t>(pps.length);
  }
  return true;
}

// H.265 headers hold the decoder configuration record: the unit's sets, with
// the record's own for those it lacks, make a new record when they differ.
bool TakeHevcChange(const uint8_t* accessUnit, size_t length, TMediaHeader& header) {
  if (header.SpsLen <= 0 || header.SpsLen > static_cast<int32_t>(sizeof header.Sps)) return false;
  const std::span<const uint8_t> record(header.Sps, static_cast<size_t>(header.SpsLen));
  std::span<const uint8_t> sets[3];  // VPS, SPS, PPS
  bool anyInUnit = false;
  TNalUnit unit;
  TNalUnitReader reader(accessUnit, length);
  while (reader.Next(unit)) {
    unit = WithoutTrailingZeros(unit);
    if (unit.length < 2) continue;
    const int index = HevcNalUnitType(unit.data) - kHevcNalVps;
    if (index < 0 || index > 2 || !sets[index].empty()) continue;
    sets[index] = std::span<const uint8_t>(unit.data, unit.length);
    anyInUnit = true;
  }
  if (!anyInUnit) return false;
  // Cameras repeat their sets before every key frame: the same sets are
  // told apart by bytes, before anything is parsed.
  bool differs = false;
  for (int i = 0; i < 3; ++i) {
    const std::span<const uint8_t> current = HevcRecordParameterSet(record, kHevcNalVps + i);
    if (sets[i].empty())
      sets[i] = current;
    else
      differs |= !std::ranges::equal(sets[i], current);
  }
  if (!differs) return false;
  uint8_t changed[sizeof header.Sps];
  const size_t size = BuildHevcDecoderConfigurationRecord(sets[0], sets[1], sets[2], changed, sizeof changed);
  THevcSequenceInfo info;
  if (size == 0 || !ReadHevcSequenceParameterSet(sets[1], info)) return false;  // unreadable: nothing changes
  std::memcpy(header.Sps, changed, size);
  header.SpsLen = static_cast<int32_t>(size);
  header.Width = info.Width;
  header.Height = info.Height;
  return true;
}

}  // namespace

bool TakeParameterSetChange(const uint8_t* accessUnit, size_t length, TMediaHeader& header) {
  if (accessUnit == nullptr) return false;
  if (header.VideoCodecId == VELMARO_VIDEO_AVC) return TakeAvcChange(accessUnit, length, header);
  if (header.VideoCodecId == VELMARO_VIDEO_HEVC || header.VideoCodecId == VELMARO_VIDEO_HEVC_ID12)
    return TakeHevcChange(accessUnit, length, header);
  return false;
}
