// H.265 parameter sets: what the program reads of an SPS (the picture size
// and the fields of the decoder configuration record) and the
// HEVCDecoderConfigurationRecord (ISO/IEC 14496-15 8.3.3.1.2) that FLV
// carries in place of the parameter sets. Hand-written for the same reason
// as the H.264 reader: the few fields needed do not warrant a decoder
// library, and every read must stay inside hostile input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

constexpr size_t kHevcGeneralPtlBytes = 12;  // general profile, tier, compatibility flags, level

struct THevcSequenceInfo {
  int32_t Width = 0;  // pixels, after the conformance window
  int32_t Height = 0;
  uint8_t GeneralPtl[kHevcGeneralPtlBytes] = {};
  uint32_t MaxSubLayersMinus1 = 0;
  uint32_t TemporalIdNesting = 0;
  uint32_t ChromaFormatIdc = 0;
  uint32_t BitDepthLumaMinus8 = 0;
  uint32_t BitDepthChromaMinus8 = 0;
};

// Reads an SPS NAL unit (two header bytes, no start code) up to its bit
// depths (ITU-T H.265 7.3.2.2.1). False when it is not an SPS, is cut short,
// or a field lies outside what the record can hold.
bool ReadHevcSequenceParameterSet(std::span<const uint8_t> sps, THevcSequenceInfo& info);

// The record from one VPS, SPS and PPS (each without start code). The VUI is
// not read (min_spatial_segmentation_idc 0, parallelismType 0). Returns the
// size; 0 when a set is unreadable or too short, or the record does not fit.
size_t BuildHevcDecoderConfigurationRecord(std::span<const uint8_t> vps, std::span<const uint8_t> sps,
                                           std::span<const uint8_t> pps, uint8_t* out, size_t capacity);

// The first parameter set of `nalType` in a record; empty when there is none
// or the record is malformed.
std::span<const uint8_t> HevcRecordParameterSet(std::span<const uint8_t> record, int nalType);
