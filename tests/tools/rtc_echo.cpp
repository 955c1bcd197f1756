// A computer-side peer on our webrtcbin stack for browser tests: it offers
// like the host does, with one "file" channel (ordered, reliable), and echoes
// every message it receives on it. Signalling is one JSON object per line:
//   out: {"t":"offer","sdp"}, {"t":"ice","cand","mid","idx"}, {"t":"open"},
//        {"t":"got","len","binary","sum"} before each echo, {"t":"sent","len","ok"},
//        {"t":"error","msg"}
//   in:  {"t":"answer","sdp"}, {"t":"ice","cand","mid","idx"},
//        {"t":"send","len","seed"} (a patterned text of that many bytes),
//        {"t":"quit"}
// The pattern is byte i = 'a' + (i * 7 + seed) % 26, which the page can
// rebuild to compare byte for byte. It opens peer connections, so it refuses
// to run outside a private network namespace.
#include "rtc/GstPeer.h"
#include "support/Netns.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

using nlohmann::json;

namespace {

std::mutex outLock;

void emit(const json& j) {
  std::lock_guard<std::mutex> l(outLock);
  std::string line = j.dump() + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

std::string pattern(size_t len, int seed) {
  std::string s(len, 'a');
  for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>('a' + (i * 7 + static_cast<size_t>(seed)) % 26);
  return s;
}

// FNV-1a over the bytes, printed in hex: enough to tell whether what arrived
// is what was sent without copying it out.
std::string checksum(const std::string& d) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : d) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

}  // namespace

int main() {
  const char* mark = std::getenv(ts::kNetnsMarker);
  if (!mark || std::strcmp(mark, "1") != 0) {
    std::fprintf(stderr, "rtc_echo opens peer connections: run it inside tests/tools/in-netns.sh\n");
    return 2;
  }
  rtc::GstPeerFactory factory;
  rtc::PeerConfig config;
  config.iceServers = {"stun:127.0.0.1:3478"};
  rtc::PeerEvents pev;
  pev.onCandidate = [](const rtc::IceCandidate& c) {
    emit({{"t", "ice"}, {"cand", c.candidate}, {"mid", c.mid}, {"idx", c.mlineIndex}});
  };
  std::shared_ptr<rtc::GstPeer> pc = factory.createPeer(config, pev);
  if (!pc) {
    emit({{"t", "error"}, {"msg", "no peer connection"}});
    return 1;
  }

  // The channel is known only after createDataChannel returns; messages
  // cannot arrive before negotiation, which starts later.
  auto file = std::make_shared<rtc::DataChannelPtr>();
  rtc::ChannelEvents cev;
  cev.onState = [](rtc::ChannelState s) {
    if (s == rtc::ChannelState::Open) emit({{"t", "open"}});
    if (s == rtc::ChannelState::Closed) emit({{"t", "closed"}});
  };
  std::weak_ptr<rtc::DataChannelPtr> wf = file;
  cev.onMessage = [wf](std::string data, bool binary) {
    emit({{"t", "got"}, {"len", data.size()}, {"binary", binary}, {"sum", checksum(data)}});
    auto f = wf.lock();
    if (f && *f) {
      bool ok = (*f)->send(data, binary);
      if (!ok) emit({{"t", "error"}, {"msg", "echo refused"}, {"len", data.size()}});
    }
  };
  *file = pc->createDataChannel("file", true, std::nullopt, cev);
  if (!*file) {
    emit({{"t", "error"}, {"msg", "no channel"}});
    return 1;
  }

  pc->createOffer([pc](std::optional<rtc::SessionDescription> d) {
    if (!d) {
      emit({{"t", "error"}, {"msg", "no offer"}});
      return;
    }
    rtc::SessionDescription offer = *d;
    pc->setLocalDescription(offer, [offer](rtc::DescriptionResult r) {
      if (r.error) {
        emit({{"t", "error"}, {"msg", "local description: " + *r.error}});
        return;
      }
      emit({{"t", "offer"}, {"sdp", offer.sdp}});
    });
  });

  std::string line;
  while (std::getline(std::cin, line)) {
    json m = json::parse(line, nullptr, false);
    if (!m.is_object() || !m.contains("t") || !m["t"].is_string()) continue;
    const std::string t = m["t"];
    if (t == "answer" && m.value("sdp", json()).is_string()) {
      pc->setRemoteDescription({"answer", m["sdp"].get<std::string>()}, [](rtc::DescriptionResult r) {
        if (r.error) emit({{"t", "error"}, {"msg", "remote description: " + *r.error}});
      });
    } else if (t == "ice" && m.value("cand", json()).is_string()) {
      rtc::IceCandidate c;
      c.candidate = m["cand"];
      c.mid = m.value("mid", json()).is_string() ? m["mid"].get<std::string>() : "";
      c.mlineIndex = m.value("idx", json()).is_number_integer() ? m["idx"].get<int32_t>() : 0;
      pc->addIceCandidate(c);
    } else if (t == "send" && m.value("len", json()).is_number_unsigned()) {
      size_t len = m["len"];
      int seed = m.value("seed", json()).is_number_integer() ? m["seed"].get<int>() : 0;
      bool ok = *file && (*file)->send(pattern(len, seed), false);
      emit({{"t", "sent"}, {"len", len}, {"ok", ok}});
    } else if (t == "quit") {
      break;
    }
  }
  if (*file) (*file)->detach();
  pc->close();
  return 0;
}
