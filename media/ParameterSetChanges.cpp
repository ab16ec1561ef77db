#include "ParameterSetChanges.h"

#include <cstring>

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

bool TakeParameterSetChange(const uint8_t* accessUnit, size_t length, TMediaHeader& header) {
  if (accessUnit == nullptr || header.VideoCodecId != 7) return false;  // AVC only
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
