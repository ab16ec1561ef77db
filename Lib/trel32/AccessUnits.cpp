#include "AccessUnits.h"

#include <cstring>

#include "Debugs.h"
#include "h264utils.h"

namespace {

constexpr uint8_t kLongStartCode[] = {0, 0, 0, 1};

// H.264: coded slices of non-IDR and IDR pictures. H.265: every VCL type
// (0-31); random-access pictures are 16-23.
bool IsSlice(int type, bool hevc) { return hevc ? type < kHevcNalVps : type == kNalTypeSlice || type == kNalTypeIdr; }
bool IsKeyPicture(int type, bool hevc) {
  return hevc ? type >= kHevcNalFirstKey && type <= kHevcNalLastKey : type == kNalTypeIdr;
}

}  // namespace

int NalUnitTypeOf(const uint8_t* nal, bool hevc) { return hevc ? (nal[0] >> 1) & 0x3F : nal[0] & 0x1F; }

bool BeginsAccessUnit(const uint8_t* nal, size_t size, bool hevc) {
  int type = NalUnitTypeOf(nal, hevc);
  if (hevc) {
    // VPS, SPS, PPS, delimiter, prefix SEI and the types reserved before a
    // picture (ITU-T H.265 7.4.2.4.4); the slice header's first bit is
    // first_slice_segment_in_pic_flag, behind the 2-byte NAL header.
    if ((type >= kHevcNalVps && type <= kHevcNalAud) || type == kHevcNalPrefixSei || (type >= 41 && type <= 44) ||
        (type >= 48 && type <= 55))
      return true;
    return IsSlice(type, true) && size > 2 && (nal[2] & 0x80) != 0;
  }
  if (type == kNalTypeSei || type == kNalTypeSps || type == kNalTypePps || type == kNalTypeAud ||
      (type >= 14 && type <= 18))
    return true;
  // first_mb_in_slice is the slice header's first field, an Exp-Golomb
  // number: it is 0 exactly when its first bit is 1.
  return IsSlice(type, false) && size > 1 && (nal[1] & 0x80) != 0;
}

void TAccessUnitAssembler::AddPacket(const uint8_t* data, size_t size, int64_t time) {
  ForEachNalUnit(data, size, [&](const uint8_t* nal, size_t length) { AddNalUnit(nal, length, time); });
}

void TAccessUnitAssembler::AddNalUnit(const uint8_t* nal, size_t size, int64_t time) {
  int type = NalUnitTypeOf(nal, hevc_);
  const bool slice = IsSlice(type, hevc_);
  const bool begins = BeginsAccessUnit(nal, size, hevc_);
  const bool delimiter = type == (hevc_ ? int{kHevcNalAud} : int{kNalTypeAud});
  if (skippingPicture_) {
    if (!begins) return;
    skippingPicture_ = false;
  }
  if (hasSlice_) {
    if (delimiter) {
      Finish(time);
    } else if (slice && begins) {
      Finish(held_.empty() ? time : heldTime_);
    } else if (begins) {
      // Parameter sets or SEI after a slice: a new picture follows, or (as
      // some packetizers send them) more slices of this one. The next slice
      // decides.
      if (held_.empty()) heldTime_ = time;
      if (!Fits(size)) return DropOversizedUnit();
      Append(held_, nal, size);
      return;
    } else if (slice) {
      unit_.insert(unit_.end(), held_.begin(), held_.end());
      held_.clear();
    }
  }
  // The unit's time is its first packet's; later slices of the same picture
  // may carry a time moved by a sender report.
  if (!timeSet_) {
    time_ = time;
    timeSet_ = true;
  }
  if (!Fits(size)) return DropOversizedUnit();
  hasSlice_ = hasSlice_ || slice;
  idr_ = idr_ || IsKeyPicture(type, hevc_);
  Append(unit_, nal, size);
}

void TAccessUnitAssembler::Append(std::vector<uint8_t>& target, const uint8_t* nal, size_t size) {
  target.insert(target.end(), std::begin(kLongStartCode), std::end(kLongStartCode));
  target.insert(target.end(), nal, nal + size);
}

bool TAccessUnitAssembler::Fits(size_t nalSize) const {
  return unit_.size() + held_.size() + sizeof kLongStartCode + nalSize <= kMaxUnitBytes;
}

void TAccessUnitAssembler::DropOversizedUnit() {
  DebugLogFmt("trel32: picture above %zu bytes dropped; waiting for the next IDR picture", kMaxUnitBytes);
  Reset();
  // Give the memory back: a capacity of the bound would stay with us.
  std::vector<uint8_t>().swap(unit_);
  std::vector<uint8_t>().swap(held_);
  skippingPicture_ = true;
  awaitingIdr_ = true;
  ++droppedUnits_;
}

void TAccessUnitAssembler::Finish(int64_t nextTime) {
  if (hasSlice_ && awaitingIdr_ && idr_) awaitingIdr_ = false;
  if (hasSlice_ && awaitingIdr_) ++droppedUnits_;
  if (hasSlice_ && !awaitingIdr_) output_(unit_, idr_, time_, nextTime);
  // What was held opens the next unit.
  unit_.swap(held_);
  held_.clear();
  hasSlice_ = false;
  idr_ = false;
  timeSet_ = !unit_.empty();
  time_ = timeSet_ ? heldTime_ : kNoTime;
}

void TAccessUnitAssembler::Flush() {
  Finish(kNoTime);
  Reset();
}

void TAccessUnitAssembler::Reset() {
  unit_.clear();
  held_.clear();
  hasSlice_ = false;
  idr_ = false;
  timeSet_ = false;
  time_ = kNoTime;
  skippingPicture_ = false;
}
