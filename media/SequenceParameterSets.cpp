#include "SequenceParameterSets.h"

#include "RbspReaders.h"
#include "h264utils.h"

#include <cmath>

namespace {


bool HasChromaFields(uint32_t profile) {
  switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
    case 134: case 135:
      return true;
    default:
      return false;
  }
}

// False when a delta lies outside the range the standard allows.
bool SkipScalingList(TRbspReader& bits, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      int32_t delta = bits.Signed();
      if (delta < -128 || delta > 127) return false;
      next = (last + delta + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
  return true;
}

// Reads up to the timing information of the VUI; the frame rate or 0.
int32_t ReadVuiFrameRate(TRbspReader& bits) {
  if (bits.Bits(1) && bits.Bits(8) == 255) bits.Bits(32);  // aspect ratio; extended SAR
  if (bits.Bits(1)) bits.Bits(1);                          // overscan
  if (bits.Bits(1)) {                                      // video signal type
    bits.Bits(4);
    if (bits.Bits(1)) bits.Bits(24);  // colour description
  }
  if (bits.Bits(1)) {  // chroma sample location
    bits.Unsigned();
    bits.Unsigned();
  }
  if (!bits.Bits(1)) return 0;  // no timing information
  uint32_t unitsInTick = bits.Bits(32);
  uint32_t timeScale = bits.Bits(32);
  if (unitsInTick == 0 || bits.Overrun()) return 0;
  long rate = std::lround(static_cast<double>(timeScale) / (2.0 * unitsInTick));  // two fields per frame
  return rate >= 1 && rate <= 240 ? static_cast<int32_t>(rate) : 0;
}

}  // namespace

bool ReadSequenceParameterSet(const uint8_t* nal, size_t length, TSequenceInfo& info) {
  if (nal == nullptr || length < 4 || NalUnitType(nal) != kNalTypeSps) return false;
  TRbspReader bits(nal + 1, length - 1);
  uint32_t profile = bits.Bits(8);
  bits.Bits(16);  // constraint flags, level
  bits.Unsigned();  // seq_parameter_set_id
  uint32_t chromaFormat = 1;
  bool separateColourPlanes = false;
  if (HasChromaFields(profile)) {
    chromaFormat = bits.Unsigned();
    if (chromaFormat > 3) return false;
    if (chromaFormat == 3) separateColourPlanes = bits.Bits(1) != 0;
    bits.Unsigned();  // bit depths
    bits.Unsigned();
    bits.Bits(1);  // qpprime_y_zero_transform_bypass_flag
    if (bits.Bits(1))  // scaling matrices present
      for (int i = 0; i < (chromaFormat != 3 ? 8 : 12); ++i)
        if (bits.Bits(1) && !SkipScalingList(bits, i < 6 ? 16 : 64)) return false;
  }
  bits.Unsigned();  // log2_max_frame_num_minus4
  uint32_t pocType = bits.Unsigned();
  if (pocType == 0) {
    bits.Unsigned();
  } else if (pocType == 1) {
    bits.Bits(1);
    bits.Signed();
    bits.Signed();
    uint32_t cycle = bits.Unsigned();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle; ++i) bits.Signed();
  } else if (pocType > 2) {
    return false;
  }
  bits.Unsigned();  // max_num_ref_frames
  bits.Bits(1);     // gaps_in_frame_num_value_allowed_flag
  uint32_t widthMbs = bits.Unsigned() + 1;
  uint32_t heightUnits = bits.Unsigned() + 1;
  bool frameMbsOnly = bits.Bits(1) != 0;
  if (!frameMbsOnly) bits.Bits(1);  // mb_adaptive_frame_field_flag
  bits.Bits(1);                     // direct_8x8_inference_flag
  uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
  if (bits.Bits(1)) {
    cropLeft = bits.Unsigned();
    cropRight = bits.Unsigned();
    cropTop = bits.Unsigned();
    cropBottom = bits.Unsigned();
  }
  int32_t frameRate = bits.Bits(1) ? ReadVuiFrameRate(bits) : 0;
  if (bits.Overrun() || widthMbs > 1024 || heightUnits > 1024) return false;

  // Crop units: 4:2:0 halves both directions, 4:2:2 only the width.
  bool monochrome = chromaFormat == 0 || separateColourPlanes;
  uint32_t cropX = monochrome || chromaFormat == 3 ? 1 : 2;
  uint32_t cropY = (monochrome || chromaFormat != 1 ? 1 : 2) * (frameMbsOnly ? 1 : 2);
  int64_t width = int64_t{widthMbs} * 16 - int64_t{cropX} * (int64_t{cropLeft} + cropRight);
  int64_t height =
      int64_t{heightUnits} * 16 * (frameMbsOnly ? 1 : 2) - int64_t{cropY} * (int64_t{cropTop} + cropBottom);
  if (width <= 0 || height <= 0) return false;
  info.Width = static_cast<int32_t>(width);
  info.Height = static_cast<int32_t>(height);
  info.FrameRate = frameRate;
  return true;
}
