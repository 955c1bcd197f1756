// The peer session of the internet transport: one phone at a time, from the
// signed offer to the end of the session, with its journal events.
#include "app/Crypto.h"
#include "app/Loc.h"
#include "app/Log.h"
#include "app/Text.h"
#include "rtc/Auth.h"
#include "rtc/JsonInt.h"
#include "rtc/RTCTransport.h"
#include "rtc/Route.h"

#include <cstdio>

using nlohmann::json;

namespace {
const char* kRelayNeeded = "A direct connection was not possible on this network (a relay server is required).";
const char* kPausedText =
    "Paused on your Mac. To reconnect, choose “Resume iPhone Connection” from Tolvane Host in the Mac menu bar.";

double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// "%.2f" written as a JSON number.
json twoDecimals(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return std::stod(buf);
}
}  // namespace

void RTCTransport::ev(const std::string& name, json fields) {
  if (!fields.is_object()) fields = json::object();
  fields["src"] = "host";
  fields["ev"] = name;
  fields["ms"] = static_cast<int64_t>(secondsSince(t0_) * 1000);
  fields["sid"] = sid_;
  connectLog(fields);
}

rtc::ChannelEvents RTCTransport::channelEvents(const std::string& label) {
  std::weak_ptr<RTCTransport> w = weak_from_this();
  uint64_t g = gen_;
  rtc::ChannelEvents e;
  e.onState = [w, g, label](rtc::ChannelState s) {
    if (auto self = w.lock())
      self->q_->post([w, g, label, s] {
        if (auto self = w.lock()) self->onChannelState(g, label, s);
      });
  };
  e.onMessage = [w, g, label](std::string data, bool binary) {
    if (auto self = w.lock())
      self->q_->post([w, g, label, data = std::move(data), binary] {
        if (auto self = w.lock()) self->onChannelMessage(g, label, data, binary);
      });
  };
  return e;
}

void RTCTransport::startPeer(int64_t cid) {
  if (stopped_) return;
  closePeer("new_peer");
  ++gen_;
  curCid_ = cid;
  sid_ = randomToken();
  t0_ = Clock::now();
  connected_ = finished_ = remoteSet_ = answered_ = false;
  pendingIce_.clear();
  remoteIce_ = 0;
  clientEvSeq_ = 0;
  rep_ = json::object();
  repAt_ = 0;
  routeMsg_.reset();
  lastRxAt_ = nowMs();
  sim_.kbps = simKbps;
  sim_.delayMs = simDelayMs;
  sim_.lossPct = simLossPct;
  sim_.blackout = simBlackout;
  sim_.reset();

  std::weak_ptr<RTCTransport> w = weak_from_this();
  uint64_t g = gen_;
  auto hop = [w](std::function<void(RTCTransport&)> fn) {
    if (auto self = w.lock())
      self->q_->post([w, fn = std::move(fn)] {
        if (auto self = w.lock()) fn(*self);
      });
  };
  rtc::PeerEvents events;
  events.onCandidate = [hop, g](const rtc::IceCandidate& c) {
    hop([g, c](RTCTransport& t) { t.onLocalCandidate(g, c); });
  };
  events.onIceState = [hop, g](rtc::IceState s) { hop([g, s](RTCTransport& t) { t.onIceState(g, s); }); };
  events.onPeerState = [hop, g](rtc::PeerState s) { hop([g, s](RTCTransport& t) { t.onPeerState(g, s); }); };
  events.onSignalingState = [hop, g](int s) {
    hop([g, s](RTCTransport& t) {
      if (g == t.gen_ && t.pc_) t.ev("signaling", {{"state", s}});
    });
  };
  events.onGatheringState = [hop, g](rtc::GatheringState s) {
    hop([g, s](RTCTransport& t) {
      if (g == t.gen_ && t.pc_) t.ev("gathering", {{"state", rtc::gatheringStateName(s)}});
    });
  };
  rtc::PeerConfig config;
  config.iceServers.push_back(stun_);
  config.iceServers.insert(config.iceServers.end(), turnUrls_.begin(), turnUrls_.end());
  config.turnUser = turnUser_;
  config.turnPassword = turnPassword_;
  pc_ = factory_ ? factory_->create(config, std::move(events)) : nullptr;
  if (!pc_) {
    logf("[rtc] PeerConnection作成失敗");
    return;
  }
  ctl_ = pc_->createDataChannel("ctl", true, std::nullopt, channelEvents("ctl"));
  vid_ = pc_->createDataChannel("video", true, 0, channelEvents("video"));
  fch_ = pc_->createDataChannel("file", true, std::nullopt, channelEvents("file"));
  ach_ = pc_->createDataChannel("audio", false, 0, channelEvents("audio"));
  forgetTrack();
  if (videoMode != "dc" && tracker) addTrack();

  std::string sid = sid_;
  auto pc = pc_;
  std::weak_ptr<rtc::PeerConnection> wpc = pc_;
  pc_->createOffer([hop, g, sid, wpc](std::optional<rtc::SessionDescription> offer) {
    if (!offer) {
      hop([g](RTCTransport& t) {
        if (g == t.gen_ && t.pc_) t.finish(false, "offer_failed");
      });
      return;
    }
    auto pc = wpc.lock();
    if (!pc) return;
    rtc::SessionDescription local = *offer;
    pc->setLocalDescription(local, [hop, g, sid, local](rtc::DescriptionResult) {
      hop([g, sid, local](RTCTransport& t) {
        if (g != t.gen_ || !t.pc_ || sid != t.sid_) return;
        std::string mac = macFor(t.key_, "sdp|offer|" + sid + "|" + local.sdp);
        t.sendSig({{"t", "sig"},
                   {"cid", t.curCid_},
                   {"d", {{"kind", "offer"}, {"sdp", local.sdp}, {"sid", sid}, {"mac", mac}}}});
      });
    });
  });

  after(iceTimeout_, [w, g] {
    auto self = w.lock();
    if (self && g == self->gen_ && self->pc_ && !self->connected_ && !self->finished_)
      self->finish(false, "timeout");
  });
}

void RTCTransport::onPeerSig(const json& d) {
  if (!pc_ || d.empty()) return;
  auto kind = d.find("kind");
  if (kind == d.end() || !kind->is_string()) return;
  if (*kind == "answer") onAnswer(d);
  else if (*kind == "ice") onRemoteIce(d);
}

void RTCTransport::onAnswer(const json& d) {
  auto str = [&d](const char* k) -> std::optional<std::string> {
    auto it = d.find(k);
    if (it == d.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  auto sdp = str("sdp"), sid = str("sid"), mac = str("mac");
  bool authentic = sdp && sid && mac && *sid == sid_ && macOK(key_, "sdp|answer|" + sid_ + "|" + *sdp, *mac);
  if (!authentic) {
    logf("[rtc] answer の認証に失敗（キーが違うか改ざん）。破棄");
    // After the genuine answer a forged one is someone else's noise: the
    // session keeps going and its journal shows no failure.
    if (!connected_ && !answered_) finish(false, "auth_failed");
    return;
  }
  if (answered_) return;  // a replay of the answer already applied
  answered_ = true;
  std::weak_ptr<RTCTransport> w = weak_from_this();
  uint64_t g = gen_;
  pc_->setRemoteDescription({"answer", answerForTrack(*sdp)}, [w, g](rtc::DescriptionResult r) {
    auto self = w.lock();
    if (!self) return;
    self->q_->post([w, g, r] {
      auto self = w.lock();
      if (!self || g != self->gen_ || !self->pc_) return;
      if (!r.error) {
        self->remoteSet_ = true;
        for (const auto& c : self->pendingIce_) self->pc_->addIceCandidate(c);
        self->pendingIce_.clear();
        self->trackAnswered();
      } else {
        logf("[rtc] setRemote失敗 " + *r.error);
        self->finish(false, "sdp_failed");
      }
    });
  });
}

void RTCTransport::onRemoteIce(const json& d) {
  auto cand = d.find("cand");
  if (cand == d.end() || !cand->is_string()) return;
  rtc::IceCandidate c;
  c.candidate = cand->get<std::string>();
  if (auto idx = d.find("idx"); idx != d.end()) c.mlineIndex = jsonInt32(*idx).value_or(0);
  if (auto mid = d.find("mid"); mid != d.end() && mid->is_string()) c.mid = mid->get<std::string>();
  // A phone (or a forger at the server) flooding candidates gets the first
  // few hundred; the rest cannot help a connection anyway.
  if (remoteIce_ >= kMaxRemoteIce) return;
  ++remoteIce_;
  if (remoteSet_) {
    pc_->addIceCandidate(c);
  } else if (pendingIce_.size() < kMaxPendingIce) {
    pendingIce_.push_back(std::move(c));
  }
}

void RTCTransport::onLocalCandidate(uint64_t g, const rtc::IceCandidate& c) {
  if (g != gen_ || !pc_) return;
  sendSig({{"t", "sig"},
           {"cid", curCid_},
           {"d", {{"kind", "ice"}, {"cand", c.candidate}, {"mid", c.mid}, {"idx", c.mlineIndex}}}});
}

void RTCTransport::onIceState(uint64_t g, rtc::IceState s) {
  if (g != gen_ || !pc_) return;
  logf("[rtc] ICE状態 " + std::to_string(static_cast<int>(s)));
  ev("ice", {{"state", rtc::iceStateName(s)}});
  if (s == rtc::IceState::Connected || s == rtc::IceState::Completed) {
    onConnected();
  } else if (s == rtc::IceState::Failed) {
    snapshotStats("ice_failed");
    if (connected_) dropPeerAfterConnect("ice_failed_after_connect");
    else finish(false, "ice_failed");
  }
}

void RTCTransport::onPeerState(uint64_t g, rtc::PeerState s) {
  if (g != gen_ || !pc_) return;
  ev("pc", {{"state", rtc::peerStateName(s)}});
  if (s == rtc::PeerState::Failed && !connected_) {
    finish(false, "dtls_or_ice_failed");
  } else if ((s == rtc::PeerState::Failed || s == rtc::PeerState::Closed) && connected_) {
    dropPeerAfterConnect("closed");
  }
}

void RTCTransport::onConnected() {
  if (connected_ || !pc_) return;
  connected_ = true;
  connectedAt_ = Clock::now();
  // A session that connected has its outcome: no later failure record.
  finished_ = true;
  json rec = {{"src", "host"}, {"result", "ok"}, {"sec", twoDecimals(secondsSince(t0_))},
              {"mode", "webrtc"}, {"stun", stun_}};
  std::weak_ptr<RTCTransport> w = weak_from_this();
  uint64_t g = gen_;
  pc_->getStats([w, g, rec](json report) mutable {
    auto self = w.lock();
    if (!self) {
      rec["stun"] = "";
      connectLog(rec);
      return;
    }
    self->q_->post([w, g, rec, report = std::move(report)]() mutable {
      auto self = w.lock();
      if (!self || g != self->gen_) {
        // The session went on without us: its record still counts, but the
        // route belongs to no live session any more.
        if (!self) rec["stun"] = "";
        auto route = rtc::routeOf(report);
        for (auto& [k, v] : route.fields.items()) rec[k] = v;
        connectLog(rec);
        return;
      }
      self->onConnectedStats(std::move(rec), report);
    });
  });
}

void RTCTransport::onChannelState(uint64_t g, const std::string& label, rtc::ChannelState s) {
  if (g != gen_ || !pc_) return;
  if (label != "ctl" && label != "video") return;
  ev("dc", {{"label", label}, {"state", rtc::channelStateName(s)}});
  if (label != "ctl") return;
  if (s == rtc::ChannelState::Open && !conn_) {
    conn_ = std::make_shared<Conn>(nextId_++, nullptr);
    conns_[conn_->id] = conn_;
    ++open_;
    // Silence counts from here: slow ICE is not the phone being quiet.
    lastRxAt_ = nowMs();
    rateOpen();
    flushRoute();
    auto c = conn_;
    if (onWSOpen) onWSOpen(c);
    if (videoMode == "track") applyMode("track");
    startTick();
  } else if ((s == rtc::ChannelState::Closing || s == rtc::ChannelState::Closed) && connected_) {
    dropPeerAfterConnect("channel_closed");
  }
}

void RTCTransport::onChannelMessage(uint64_t g, const std::string& label, const std::string& data, bool binary) {
  if (g != gen_ || !pc_ || binary) return;
  if (!validUtf8(data)) return;
  if (sim_.blackedOut(nowMs() / 1000)) return;
  if (double d = sim_.inboundDelay(); d > 0) {
    after(d, [w = weak_from_this(), g, label, data] {
      if (auto self = w.lock()) self->onClientText(g, label, data);
    });
    return;
  }
  onClientText(g, label, data);
}

void RTCTransport::onClientText(uint64_t g, const std::string& label, const std::string& data) {
  if (g != gen_ || !pc_) return;
  if (!conn_ || (label != "ctl" && label != "file")) return;
  lastRxAt_ = nowMs();
  handleClientText(data);
}

void RTCTransport::handleClientText(const std::string& text) {
  auto parsed = [&text]() -> std::optional<json> {
    try {
      json j = json::parse(text);
      if (j.is_object()) return j;
    } catch (const json::exception&) {
    }
    return std::nullopt;
  };
  if (text.find("\"t\":\"rep\"") != std::string::npos) {
    if (auto j = parsed()) {
      rep_ = *j;
      repAt_ = nowMs();
    }
  } else if (text.find("\"t\":\"mode\"") != std::string::npos) {
    if (auto j = parsed()) {
      auto v = j->find("v");
      applyMode(v != j->end() && v->is_string() ? v->get<std::string>() : "dc");
    }
  } else if (text.find("\"t\":\"conn\"") != std::string::npos) {
    handleClientJournal(text);
  } else if (onText) {
    auto c = conn_;
    onText(c, text);
  }
}

void RTCTransport::handleClientJournal(const std::string& text) {
  json d;
  try {
    d = json::parse(text);
  } catch (const json::exception&) {
    return;
  }
  if (!d.is_object()) return;
  d.erase("t");
  d["src"] = "client";
  d["mode"] = "webrtc";
  d["sid"] = sid_;
  auto events = d.find("events");
  if (events == d.end() || !events->is_array()) {
    connectLog(d);
    return;
  }
  json fresh = json::array();
  int64_t maxN = 0;
  for (const auto& e : *events) {
    if (!e.is_object()) continue;
    int64_t n = 0;
    if (auto it = e.find("n"); it != e.end()) n = jsonInt64(*it).value_or(0);
    maxN = std::max(maxN, n);
    if (n > clientEvSeq_) fresh.push_back(e);
  }
  if (!fresh.empty()) {
    d["events"] = fresh;
    connectLog(d);
  }
  clientEvSeq_ = std::max(clientEvSeq_, maxN);
  if (conn_) sendText(conn_, jsonText({{"t", "evack"}, {"n", clientEvSeq_}}));
}

void RTCTransport::finish(bool ok, const std::string& reason) {
  if (finished_) return;
  finished_ = true;
  if (ok) return;
  connectLog({{"src", "host"}, {"result", "fail"}, {"reason", reason},
              {"sec", twoDecimals(secondsSince(t0_))}, {"mode", "webrtc"}});
  if (ctl_) sendOn(ctl_, jsonText({{"t", "warn"}, {"code", "ice"}, {"msg", Loc::tr(kRelayNeeded)}}), false);
}

void RTCTransport::removeConn() {
  if (!conn_) return;
  auto c = conn_;
  conns_.erase(c->id);
  conn_.reset();
  --open_;
  if (onClose) onClose(c);
  // Without adaptation the encoder's rate was never touched.
  if (adaptive) onRate(std::nullopt);
}

void RTCTransport::closePeer(const std::string& reason) {
  if (pc_) {
    if (!finished_ && !connected_) finish(false, reason);
    ev("peer_closed", {{"reason", reason}});
  }
  cancelTick();
  forgetTrack();
  if (pc_) pc_->close();
  for (auto* ch : {&ctl_, &vid_, &fch_, &ach_})
    if (*ch) (*ch)->detach();
  pc_.reset();
  ctl_.reset(), vid_.reset(), fch_.reset(), ach_.reset();
  connected_ = false;
  removeConn();
}

void RTCTransport::dropPeerAfterConnect(const std::string& reason) {
  // Guarded by the connection itself rather than by conn: a session that
  // connected but never opened its control channel must still be closed
  // and recorded, or it would stay "live" for ever.
  cancelTick();
  if (!pc_ || !connected_) return;
  json rec = {{"src", "host"}, {"result", "ended"}, {"reason", reason},
              {"duration_sec", static_cast<int64_t>(secondsSince(connectedAt_))},
              {"mode", "webrtc"}, {"sid", sid_}};
  connectLog(rec);
  finished_ = true;
  removeConn();
  forgetTrack();
  pc_->close();
  pc_.reset();
  for (auto* ch : {&ctl_, &vid_, &fch_, &ach_}) {
    if (*ch) (*ch)->detach();
    ch->reset();
  }
  connected_ = false;
}

void RTCTransport::setPaused(bool p) {
  q_->post([w = weak_from_this(), p] {
    auto self = w.lock();
    if (!self) return;
    self->paused_ = p;
    logf(std::string("[rtc] 一時停止 ") + (p ? "オン" : "オフ"));
    if (!p || !self->pc_) return;
    if (isOpen(self->ctl_))
      self->sendOn(self->ctl_, jsonText({{"t", "paused"}, {"msg", Loc::tr(kPausedText)}}), false);
    uint64_t g = self->gen_;
    // Only this session, and only if the pause still holds: an unpause and a
    // new phone within the 0.4 s must not be cut off.
    self->after(0.4, [w, g] {
      auto self = w.lock();
      if (self && self->paused_ && g == self->gen_ && self->pc_) self->closePeer("paused_by_mac");
    });
  });
}
