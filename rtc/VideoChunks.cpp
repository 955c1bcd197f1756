#include "rtc/VideoChunks.h"

#include <algorithm>

namespace rtc {

std::optional<uint16_t> chunkCount(size_t n) {
  size_t count = n == 0 ? 1 : (n - 1) / kChunkPayload + 1;
  if (count > kMaxChunks) return std::nullopt;
  return static_cast<uint16_t>(count);
}

std::string videoChunk(uint32_t frame, uint16_t index, uint16_t count, const uint8_t* packet, size_t n) {
  size_t from = std::min(n, static_cast<size_t>(index) * kChunkPayload);
  size_t len = std::min(kChunkPayload, n - from);
  std::string out(kChunkHeader + len, '\0');
  auto put = [&out](size_t at, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, v >>= 8) out[at + static_cast<size_t>(i)] = static_cast<char>(v & 0xff);
  };
  put(0, frame, 4);
  put(4, index, 2);
  put(6, count, 2);
  if (len) std::copy_n(packet + from, len, out.begin() + kChunkHeader);
  return out;
}

}  // namespace rtc
