#include "lan/WsFrame.h"

FrameStatus parseFrame(const std::vector<uint8_t>& buf, size_t& offset, WsFrame& out) {
  size_t avail = buf.size() - offset;
  const uint8_t* p = buf.data() + offset;
  if (avail < 2) return FrameStatus::NeedMore;
  uint8_t opcode = p[0] & 0x0F;
  bool masked = (p[1] & 0x80) != 0;
  uint64_t len = p[1] & 0x7F;
  size_t header = 2;
  if (len == 126) {
    if (avail < 4) return FrameStatus::NeedMore;
    len = (uint64_t(p[2]) << 8) | p[3];
    header = 4;
  } else if (len == 127) {
    if (avail < 10) return FrameStatus::NeedMore;
    len = 0;
    for (int i = 2; i < 10; ++i) len = (len << 8) | p[i];
    if (len > kMaxFrame) return FrameStatus::TooLarge;
    header = 10;
  }
  uint8_t key[4] = {0, 0, 0, 0};
  if (masked) {
    if (avail < header + 4) return FrameStatus::NeedMore;
    for (int i = 0; i < 4; ++i) key[i] = p[header + i];
    header += 4;
  }
  if (avail - header < len) return FrameStatus::NeedMore;
  out.opcode = opcode;
  out.payload.assign(p + header, p + header + len);
  if (masked)
    for (size_t i = 0; i < out.payload.size(); ++i) out.payload[i] ^= key[i & 3];
  offset += header + static_cast<size_t>(len);
  return FrameStatus::Frame;
}

std::vector<uint8_t> frameHeader(uint8_t opcode, size_t len) {
  std::vector<uint8_t> h;
  h.push_back(static_cast<uint8_t>(0x80 | opcode));
  if (len < 126) {
    h.push_back(static_cast<uint8_t>(len));
  } else if (len <= 65535) {
    h.push_back(126);
    h.push_back(static_cast<uint8_t>(len >> 8));
    h.push_back(static_cast<uint8_t>(len));
  } else {
    h.push_back(127);
    for (int i = 7; i >= 0; --i) h.push_back(static_cast<uint8_t>(uint64_t(len) >> (8 * i)));
  }
  return h;
}

std::vector<uint8_t> frameBytes(uint8_t opcode, const uint8_t* payload, size_t len) {
  auto out = frameHeader(opcode, len);
  out.insert(out.end(), payload, payload + len);
  return out;
}
