// Groups H.264 or H.265 NAL units into access units. A multi-slice encoder's
// picture can reach us in several packets, and their times cannot be trusted
// to say which slices belong together (an RTCP sender report can move a time
// by a tick between two slices of one picture), so the slices themselves
// decide: once the current access unit has a slice, an access unit delimiter
// or a slice whose first macroblock is 0 (H.265: whose
// first_slice_segment_in_pic_flag is set) begins a new one. Parameter sets
// and SEI (H.265: prefix SEI) after a slice are held until the next slice
// says whether they open a new picture or sit between two slices of this one
// (packetizers that repeat parameter sets before every IDR slice do that).
//
// A picture is at most kMaxUnitBytes: a source whose picture never ends (no
// slice with first macroblock 0 ever comes) would otherwise grow the unit
// without bound. Past the bound the unit is dropped, the rest of that
// picture is skipped, and nothing is handed out until the next IDR picture,
// since the pictures in between refer to the lost one.
#pragma once

#include "h264utils.h"  // ForEachNalUnit

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>


// The NAL unit type (without start code): H.264's 5 bits, H.265's 6.
int NalUnitTypeOf(const uint8_t* nal, bool hevc);

// True when the NAL unit (without start code) begins a new access unit after
// a picture's slices.
bool BeginsAccessUnit(const uint8_t* nal, size_t size, bool hevc = false);

class TAccessUnitAssembler {
 public:
  static constexpr int64_t kNoTime = INT64_MIN;
  static constexpr size_t kMaxUnitBytes = 8 << 20;

  // A finished access unit: Annex B with 4-byte start codes. `nextTime` is
  // the time of the unit that ended it (kNoTime at a flush), so a unit that
  // came without a time can be given one.
  using TOutput = std::function<void(const std::vector<uint8_t>& unit, bool idr, int64_t time, int64_t nextTime)>;

  explicit TAccessUnitAssembler(TOutput output) : output_(std::move(output)) {}

  // H.265 instead of H.264 (the stream's description decides; before the
  // first packet). For H.265 an "IDR" unit is any random-access picture
  // (NAL types 16-23: BLA, IDR, CRA): a decoder can start there.
  void SetHevc(bool hevc) { hevc_ = hevc; }

  // Adds one packet's NAL units, with the packet's time (kNoTime if none).
  void AddPacket(const uint8_t* data, size_t size, int64_t time);
  // Hands out the unit being built, if it holds a slice; drops it otherwise.
  void Flush();
  // Forgets the unit being built (a new session starts).
  void Reset();
  // Pictures dropped for their size, and the pictures skipped after them
  // until an IDR picture, since construction.
  uint64_t DroppedUnits() const { return droppedUnits_; }

 private:
  void AddNalUnit(const uint8_t* nal, size_t size, int64_t time);
  void Finish(int64_t nextTime);
  bool Fits(size_t nalSize) const;
  void DropOversizedUnit();
  static void Append(std::vector<uint8_t>& target, const uint8_t* nal, size_t size);

  TOutput output_;
  bool hevc_ = false;
  std::vector<uint8_t> unit_;
  std::vector<uint8_t> held_;  // non-slice units after a slice, not yet placed
  int64_t heldTime_ = kNoTime;
  bool hasSlice_ = false;
  bool idr_ = false;
  bool timeSet_ = false;
  int64_t time_ = kNoTime;
  bool skippingPicture_ = false;  // the rest of a dropped picture
  bool awaitingIdr_ = false;
  uint64_t droppedUnits_ = 0;
};
