// WebSocket frames and the control messages inside them.
#include "app/Text.h"
#include "lan/WsFrame.h"
#include "session/Messages.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> buf(data, data + size);
  size_t offset = 0;
  WsFrame f;
  while (true) {
    size_t before = offset;
    FrameStatus st = parseFrame(buf, offset, f);
    if (st != FrameStatus::Frame) break;
    if (offset <= before || offset > buf.size()) __builtin_trap();
    if (f.opcode == 1 && validUtf8(f.payload.data(), f.payload.size())) {
      if (auto m = parseControl(std::string(f.payload.begin(), f.payload.end()))) {
        numField(*m, "x");
        strField(*m, "s");
      }
    }
    auto again = frameBytes(f.opcode, f.payload.data(), f.payload.size());
    size_t o2 = 0;
    WsFrame g;
    if (parseFrame(again, o2, g) != FrameStatus::Frame || g.payload != f.payload) __builtin_trap();
  }
  return 0;
}
