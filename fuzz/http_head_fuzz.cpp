// Request heads as they arrive from the network, in arbitrary pieces.
#include "lan/HttpHead.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> buf;
  // Feed in two parts to exercise the waiting path as well.
  size_t cut = size ? data[0] % (size + 1) : 0;
  for (size_t part = 0; part < 2; ++part) {
    size_t from = part ? cut : 0, to = part ? size : cut;
    buf.insert(buf.end(), data + from, data + to);
    HttpHead head;
    size_t used = 0;
    if (parseHead(buf, head, used) == HeadStatus::Complete) {
      if (used > buf.size()) __builtin_trap();
      routeFor(head, "token");
      if (head.headers.count("sec-websocket-key")) wsAccept(head.headers["sec-websocket-key"]);
      buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(used));
    }
  }
  return 0;
}
