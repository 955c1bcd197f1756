#include "extras/PcmPackets.h"

#include <algorithm>
#include <cmath>

int16_t sampleToS16(float v) {
  // Converting NaN (or anything out of range) to an integer is undefined.
  if (std::isnan(v)) return 0;
  v = std::clamp(v, -1.0f, 1.0f);
  return static_cast<int16_t>(v * 32767.0f);
}

std::vector<std::vector<uint8_t>> pcmPackets(const float* samples, size_t count) {
  std::vector<std::vector<uint8_t>> out;
  if (!samples) return out;
  for (size_t off = 0; off < count; off += kMaxPacketSamples) {
    size_t n = std::min(kMaxPacketSamples, count - off);
    std::vector<uint8_t> p(2 * n);
    for (size_t i = 0; i < n; ++i) {
      auto s = static_cast<uint16_t>(sampleToS16(samples[off + i]));
      p[2 * i] = uint8_t(s & 0xff);
      p[2 * i + 1] = uint8_t(s >> 8);
    }
    out.push_back(std::move(p));
  }
  return out;
}
