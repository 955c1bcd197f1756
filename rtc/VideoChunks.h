#pragma once
// Video packets cut for the unreliable "video" channel: each chunk carries an
// 8-byte big-endian header (frame number, chunk index, chunk count) so the
// page can put a frame together again and notice what went missing.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace rtc {

constexpr size_t kChunkHeader = 8;
constexpr size_t kChunkPayload = 15000;
constexpr size_t kMaxChunks = 65535;

// Chunks needed for n bytes (one empty chunk for none); nothing when the
// count field cannot express it.
std::optional<uint16_t> chunkCount(size_t n);

// Chunk index of count for frame: header plus that slice of the packet.
std::string videoChunk(uint32_t frame, uint16_t index, uint16_t count, const uint8_t* packet, size_t n);

}  // namespace rtc
