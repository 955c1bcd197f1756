#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint64_t kMaxFrame = 4000000;

struct WsFrame {
  uint8_t opcode = 0;
  std::vector<uint8_t> payload;  // unmasked
};

enum class FrameStatus { NeedMore, Frame, TooLarge };

// Reads one frame from buf starting at `offset`; on Frame, advances offset
// past it. Masked and unmasked frames are both accepted.
FrameStatus parseFrame(const std::vector<uint8_t>& buf, size_t& offset, WsFrame& out);

// The header of an unmasked final frame carrying `len` payload bytes.
std::vector<uint8_t> frameHeader(uint8_t opcode, size_t len);
// Header and payload in one block.
std::vector<uint8_t> frameBytes(uint8_t opcode, const uint8_t* payload, size_t len);
