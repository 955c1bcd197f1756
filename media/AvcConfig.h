#pragma once
// The decoder configuration a web decoder needs for our H.264 stream: the AVC
// decoder configuration record (ISO/IEC 14496-15) built from one SPS and one
// PPS, and the "avc1.PPCCLL" codec name taken from the SPS.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct AvcConfig {
  std::string codec;                 // "avc1.%02x%02x%02x" of SPS bytes 1..3
  std::vector<uint8_t> description;  // the configuration record

  // Nothing when the SPS is shorter than 4 bytes, the PPS is empty, or either
  // does not fit its 16-bit length field. NAL units without start codes.
  static std::optional<AvcConfig> from(const std::vector<uint8_t>& sps,
                                       const std::vector<uint8_t>& pps);

  // The first SPS and PPS of a configuration record; false when the record is
  // malformed or truncated.
  static bool parse(const std::vector<uint8_t>& record, std::vector<uint8_t>& sps,
                    std::vector<uint8_t>& pps);

  // Turns 4-byte length-prefixed NAL units into an Annex B byte stream (start
  // codes). Nothing when a length runs past the end.
  static std::optional<std::vector<uint8_t>> annexB(const std::vector<uint8_t>& lengthPrefixed);
};
