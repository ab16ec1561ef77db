// A key frame from the device may carry any bytes as its SPS and PPS. The
// change detection must read them without a stray read or write, and what it
// takes must hold: a size it reports is positive and the header's set
// lengths stay inside their fields. A second look at the same unit finds no
// change any more.
//
// Input: the access unit, in Annex B form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ParameterSetChanges.h"
#include "SequenceParameterSets.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TSequenceInfo info;
  if (ReadSequenceParameterSet(data, size, info)) Require(info.Width > 0 && info.Height > 0 && info.FrameRate >= 0);

  TMediaHeader header{};
  header.VideoCodecId = 7;
  if (TakeParameterSetChange(data, size, header)) {
    Require(header.SpsLen >= 0 && header.SpsLen <= static_cast<int32_t>(sizeof header.Sps));
    Require(header.PpsLen >= 0 && header.PpsLen <= static_cast<int32_t>(sizeof header.Pps));
    Require(header.SpsLen == 0 || (header.Width > 0 && header.Height > 0));
    Require(!TakeParameterSetChange(data, size, header));
  }
  return 0;
}
