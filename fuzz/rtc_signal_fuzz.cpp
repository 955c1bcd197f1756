// The host's handling of what the rendezvous server and the phone send: each
// input line is one message, its first byte choosing the path (signalling
// socket, control channel, file channel, or a stack event), against a
// scripted WebRTC stack.
#include "app/Settings.h"
#include "rtc/RTCTransport.h"
#include "support/FakePeer.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static std::string dir = [] {
    char tmpl[] = "/tmp/rtc-fuzz-XXXXXX";
    return std::string(mkdtemp(tmpl));
  }();
  settings().dataDir = dir;
  // Every event is logged; the fuzzer reports on stderr.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto factory = std::make_shared<ts::FakeFactory>();
  auto t = std::make_shared<RTCTransport>("ws://127.0.0.1:9", std::string(64, 'a'), "stun:127.0.0.1:1", 25, factory);
  t->onText = [](const ConnPtr&, const std::string&) {};
  std::string in(reinterpret_cast<const char*>(data), size);
  size_t from = 0;
  while (from < in.size()) {
    size_t nl = in.find('\n', from);
    std::string line = in.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
    from = nl == std::string::npos ? in.size() : nl + 1;
    if (line.empty()) continue;
    char path = line[0];
    std::string body = line.substr(1);
    auto p = factory->last();
    switch (path) {
      case 'S': t->injectSignal(body); break;
      case 'P': t->injectSignal("{\"t\":\"peer\",\"cid\":1}"); break;
      case 'C': if (p && p->channel("ctl")) p->channel("ctl")->deliver(body); break;
      case 'F': if (p && p->channel("file")) p->channel("file")->deliver(body); break;
      case 'O': if (p && p->channel("ctl")) p->channel("ctl")->setState(rtc::ChannelState::Open); break;
      case 'X': if (p && p->channel("ctl")) p->channel("ctl")->setState(rtc::ChannelState::Closed); break;
      case 'I': if (p) p->ice(static_cast<rtc::IceState>(body.empty() ? 0 : body[0] % 7)); break;
      case 'Q': if (p) p->peer(static_cast<rtc::PeerState>(body.empty() ? 0 : body[0] % 6)); break;
      default: break;
    }
    t->queue().sync([] {});
    t->queue().sync([] {});
  }
  t->stop();
  return 0;
}
