#pragma once
// The desktop's float samples as the phone plays them: signed 16-bit
// little-endian, at most 480 samples (20 ms at 24000 Hz) a packet. The
// transport puts its own kind byte in front.
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t kMaxPacketSamples = 480;

// Limited to -1..1, times 32767, truncated toward zero; NaN is silence.
int16_t sampleToS16(float v);

// One payload per packet: 1024 samples give 480, 480 and 64 samples.
std::vector<std::vector<uint8_t>> pcmPackets(const float* samples, size_t count);
