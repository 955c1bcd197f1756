#include "media/AvcConfig.h"

#include <cstdio>

std::optional<AvcConfig> AvcConfig::from(const std::vector<uint8_t>& sps,
                                         const std::vector<uint8_t>& pps) {
  if (sps.size() < 4 || pps.empty() || sps.size() > 0xFFFF || pps.size() > 0xFFFF) return std::nullopt;
  AvcConfig c;
  char name[16];
  std::snprintf(name, sizeof name, "avc1.%02x%02x%02x", sps[1], sps[2], sps[3]);
  c.codec = name;
  auto& d = c.description;
  d.reserve(11 + sps.size() + pps.size());
  d.push_back(1);       // configuration version
  d.push_back(sps[1]);  // profile
  d.push_back(sps[2]);  // profile compatibility (constraint flags)
  d.push_back(sps[3]);  // level
  d.push_back(0xFF);    // 4-byte NAL lengths
  d.push_back(0xE1);    // one SPS
  d.push_back(static_cast<uint8_t>(sps.size() >> 8));
  d.push_back(static_cast<uint8_t>(sps.size()));
  d.insert(d.end(), sps.begin(), sps.end());
  d.push_back(1);  // one PPS
  d.push_back(static_cast<uint8_t>(pps.size() >> 8));
  d.push_back(static_cast<uint8_t>(pps.size()));
  d.insert(d.end(), pps.begin(), pps.end());
  return c;
}

bool AvcConfig::parse(const std::vector<uint8_t>& r, std::vector<uint8_t>& sps,
                      std::vector<uint8_t>& pps) {
  size_t at = 5;
  auto unit = [&](std::vector<uint8_t>& out) {
    if (at + 2 > r.size()) return false;
    size_t n = (size_t(r[at]) << 8) | r[at + 1];
    at += 2;
    if (n == 0 || at + n > r.size()) return false;
    out.assign(r.begin() + at, r.begin() + at + n);
    at += n;
    return true;
  };
  if (r.size() < 6 || r[0] != 1 || (r[5] & 0x1F) < 1) return false;
  ++at;
  if (!unit(sps)) return false;
  // Any further SPS are skipped.
  for (int i = 1; i < (r[5] & 0x1F); ++i) {
    std::vector<uint8_t> skip;
    if (!unit(skip)) return false;
  }
  if (at >= r.size() || r[at] < 1) return false;
  ++at;
  return unit(pps);
}

std::optional<std::vector<uint8_t>> AvcConfig::annexB(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out;
  out.reserve(in.size() + 16);
  size_t at = 0;
  while (at < in.size()) {
    if (in.size() - at < 4) return std::nullopt;
    size_t n = (size_t(in[at]) << 24) | (size_t(in[at + 1]) << 16) | (size_t(in[at + 2]) << 8) | in[at + 3];
    at += 4;
    if (n > in.size() - at) return std::nullopt;
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), in.begin() + at, in.begin() + at + n);
    at += n;
  }
  return out;
}
