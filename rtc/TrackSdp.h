#pragma once
// The video track's texts: which H.264 variants to offer and in what order,
// which one the answer chose, and the answer's level rewrite. Pure functions.
#include "rtc/PeerApi.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace rtc {

struct CodecCapability {
  std::string name;  // "H264", "VP8", ...
  std::map<std::string, std::string> params;
};

// What our track can send: the H.264 profiles the track encoder makes, in
// the one packetization the RTP payloader guarantees (mode 1: it fragments
// large NAL units, so mode 0's one-unit-per-packet is out of reach).
std::vector<CodecCapability> trackSenderCapabilities();

// The H.264 capabilities (name upper-cased "H264") in offer order:
// "packetization-mode" descending, then "profile-level-id" descending, both
// compared as plain strings (missing = "").
std::vector<CodecCapability> h264Preferences(std::vector<CodecCapability> caps);

// Those preferences as variants with payload types from 96 on.
std::vector<H264Variant> trackVariants(const std::vector<CodecCapability>& prefs);

// The first H.264 payload of the first video section, with its fmtp
// parameters; none when the section or an H.264 payload is missing.
std::optional<H264Variant> answeredVariant(const std::string& sdp);

// The lines of an SDP text containing "profile-level-id", in order.
std::vector<std::string> h264Fmtp(const std::string& sdp);

// Every "profile-level-id=PPPPLL" with LL set to "34" (level 5.2), keeping
// the profile bytes. The text unchanged when there is nothing to raise.
std::string raiseH264Level(const std::string& sdp);

}  // namespace rtc
