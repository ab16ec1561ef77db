#include "AccessUnits.h"

#include <cstring>

#include "Debugs.h"

namespace {

constexpr uint8_t kLongStartCode[] = {0, 0, 0, 1};

// H.264: coded slices of non-IDR and IDR pictures. H.265: every VCL type
// (0-31); random-access pictures are 16-23.
bool IsSlice(int type, bool hevc) { return hevc ? type < 32 : type == 1 || type == 5; }
bool IsKeyPicture(int type, bool hevc) { return hevc ? type >= 16 && type <= 23 : type == 5; }

}  // namespace

int NalUnitTypeOf(const uint8_t* nal, bool hevc) { return hevc ? (nal[0] >> 1) & 0x3F : nal[0] & 0x1F; }

void ForEachNalUnit(const uint8_t* data, size_t size, const std::function<void(const uint8_t*, size_t)>& unit) {
  // Positions just after each 00 00 01.
  size_t start = SIZE_MAX;
  auto emit = [&](size_t end) {
    while (end > start && data[end - 1] == 0) --end;  // trailing zeros and the 4-byte code's first zero
    if (end > start) unit(data + start, end - start);
  };
  // Every video byte passes here: memchr finds the candidate 01 bytes at
  // memory speed, and only those are looked at more closely.
  size_t from = 2;  // the 01 of a start code has two bytes before it
  while (from < size) {
    const void* found = std::memchr(data + from, 1, size - from);
    if (found == nullptr) break;
    size_t one = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
    if (data[one - 1] == 0 && data[one - 2] == 0) {
      if (start != SIZE_MAX) emit(one - 2);
      start = one + 1;
      from = one + 3;  // the next code begins at `start` at the earliest
    } else {
      from = one + 1;
    }
  }
  if (start != SIZE_MAX) emit(size);
}

bool BeginsAccessUnit(const uint8_t* nal, size_t size, bool hevc) {
  int type = NalUnitTypeOf(nal, hevc);
  if (hevc) {
    // VPS, SPS, PPS, delimiter, prefix SEI and the types reserved before a
    // picture (ITU-T H.265 7.4.2.4.4); the slice header's first bit is
    // first_slice_segment_in_pic_flag, behind the 2-byte NAL header.
    if ((type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) || (type >= 48 && type <= 55))
      return true;
    return IsSlice(type, true) && size > 2 && (nal[2] & 0x80) != 0;
  }
  if (type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18)) return true;
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
  const bool delimiter = type == (hevc_ ? 35 : 9);
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
