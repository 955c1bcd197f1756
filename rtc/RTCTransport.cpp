// Construction, the Transport side and the rendezvous-server client.
#include "rtc/RTCTransport.h"

#include "app/Crypto.h"
#include "app/Log.h"
#include "rtc/JsonInt.h"
#include "rtc/SignalSocket.h"

#include <cmath>
#include <stdexcept>

using nlohmann::json;

RTCTransport::RTCTransport(const std::string& signalBase, const std::string& key, const std::string& stun,
                           double iceTimeout, std::shared_ptr<rtc::PeerFactory> factory)
    : key_(key), stun_(stun), iceTimeout_(iceTimeout), factory_(std::move(factory)) {
  wsURL_ = signalBase;
  if (wsURL_.empty() || wsURL_.back() != '/') wsURL_ += "/";
  wsURL_ += "ws";
  if (!parseWsUrl(wsURL_)) throw std::invalid_argument("signalling URL is not ws:// or wss://: " + wsURL_);
  rid_ = sha256hex("rid:" + key_);
}

RTCTransport::~RTCTransport() {
  stop();
  q_->shutdown();
}

void RTCTransport::stop() {
  auto body = [this] {
    if (stopped_) return;
    stopped_ = true;
    if (pingTimer_) pingTimer_->cancel();
    cancelTick();
    for (auto& wt : timers_)
      if (auto tm = wt.lock()) tm->cancel();
    timers_.clear();
    if (task_) task_->close();
    task_.reset();
    forgetTrack();
    if (pc_) pc_->close();
    for (auto* ch : {&ctl_, &vid_, &fch_, &ach_})
      if (*ch) (*ch)->detach();
    pc_.reset();
    ctl_.reset(), vid_.reset(), fch_.reset(), ach_.reset();
  };
  if (q_->isCurrent()) body();
  else q_->sync(body);
}

std::chrono::nanoseconds RTCTransport::scaled(double seconds) const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(seconds * timeScale));
}

void RTCTransport::after(double seconds, std::function<void()> fn) {
  if (stopped_) return;
  std::erase_if(timers_, [](const std::weak_ptr<QueueTimer>& t) { return t.expired(); });
  timers_.push_back(QueueTimer::once(*q_, scaled(seconds), std::move(fn)));
}

void RTCTransport::start() {
  q_->post([w = weak_from_this()] {
    auto self = w.lock();
    if (!self || self->stopped_) return;
    self->connectSignal();
    self->pingTimer_ = QueueTimer::repeating(*self->q_, self->scaled(20), self->scaled(20), [w] {
      if (auto s = w.lock()) s->keepAlive();
    });
  });
}

void RTCTransport::connectSignal() {
  if (stopped_) return;
  auto url = parseWsUrl(wsURL_);
  auto sock = SignalSocket::make(q_->context(), *url);
  sock->connectTimeout = std::chrono::duration_cast<std::chrono::milliseconds>(scaled(60));
  std::weak_ptr<RTCTransport> w = weak_from_this();
  std::weak_ptr<SignalSocket> ws = sock;
  // Results of a socket that is no longer the current one are dropped.
  sock->onText = [w, ws](const std::string& text) {
    auto self = w.lock();
    if (self && ws.lock() == self->task_) self->onSignal(text);
  };
  sock->onLost = [w, ws](const std::string& reason) {
    auto self = w.lock();
    auto s = ws.lock();
    if (self && s && s == self->task_) self->signalLost(reason);
  };
  task_ = sock;
  lastPong_ = Clock::now();
  sock->start();
  sendSig({{"t", "host"}, {"rid", rid_}});
}

void RTCTransport::sendSig(const json& dict) {
  std::string text = jsonText(dict);
  if (sigTap) sigTap(text);
  if (task_) task_->send(text);
}

void RTCTransport::injectSignal(const std::string& text) {
  q_->post([w = weak_from_this(), text] {
    if (auto self = w.lock()) self->onSignal(text);
  });
}

void RTCTransport::keepAlive() {
  if (!task_) return;
  if (Clock::now() - lastPong_ > scaled(50)) return signalLost("no_pong");
  sendSig({{"t", "ping"}});
}

void RTCTransport::signalLost(const std::string& reason) {
  if (task_) task_->close();
  task_.reset();
  logf("[rtc] 待ち合わせ役との接続が切れました(" + reason + ")。" +
       std::to_string(static_cast<int64_t>(backoff_)) + "秒後に再接続");
  double delay = backoff_;
  backoff_ = std::min(backoff_ * 2, 30.0);
  after(delay, [w = weak_from_this()] {
    if (auto self = w.lock()) self->connectSignal();
  });
}

void RTCTransport::onSignal(const std::string& text) {
  json m;
  try {
    m = json::parse(text);
  } catch (const json::exception&) {
    return;
  }
  if (!m.is_object()) return;
  auto t = m.find("t");
  if (t == m.end() || !t->is_string()) return;
  const std::string kind = t->get<std::string>();
  auto cidOf = [&m]() -> std::optional<int64_t> {
    auto it = m.find("cid");
    return it == m.end() ? std::nullopt : jsonInt64(*it);
  };
  if (kind == "pong") {
    lastPong_ = Clock::now();
  } else if (kind == "ok") {
    backoff_ = 2.0;
    lastPong_ = Clock::now();
    logf("[rtc] 待ち合わせ役に登録しました");
  } else if (kind == "reject") {
    std::string reason;
    if (auto r = m.find("reason"); r != m.end()) reason = r->is_string() ? r->get<std::string>() : jsonText(*r);
    logf("[rtc] 待ち合わせ役に拒否されました(" + reason + ")");
    backoff_ = 30.0;
  } else if (kind == "replaced") {
    logf("[rtc] 同じキーの別のMacに入れ替えられました");
  } else if (kind == "peer") {
    if (paused_) {
      logf("[rtc] 一時停止中のため接続を受けません");
      return;
    }
    takeTurn(m);
    startPeer(cidOf().value_or(0));
  } else if (kind == "gone") {
    auto cid = cidOf();
    if (cid && *cid == curCid_ && pc_ && !connected_) finish(false, "client_left_before_connect");
  } else if (kind == "sig") {
    auto cid = cidOf();
    auto d = m.find("d");
    if (cid && *cid == curCid_ && d != m.end() && d->is_object()) onPeerSig(*d);
  }
}

// A server without relays sends none; anything malformed counts as none too,
// and the session tries its luck with STUN alone.
void RTCTransport::takeTurn(const json& peer) {
  turnUrls_.clear();
  turnUser_.clear();
  turnPassword_.clear();
  auto turn = peer.find("turn");
  if (turn == peer.end() || !turn->is_object()) return;
  auto text = [&](const char* key) -> std::optional<std::string> {
    auto it = turn->find(key);
    if (it == turn->end() || !it->is_string()) return std::nullopt;
    const auto& v = it->get_ref<const std::string&>();
    if (v.empty() || v.size() > 512) return std::nullopt;
    return v;
  };
  auto user = text("username"), password = text("credential");
  auto urls = turn->find("urls");
  if (!user || !password || urls == turn->end() || !urls->is_array()) return;
  std::vector<std::string> kept;
  for (const auto& u : *urls) {
    if (!u.is_string() || kept.size() >= 8) continue;
    const auto& url = u.get_ref<const std::string&>();
    if (url.size() < 512 && (url.rfind("turn:", 0) == 0 || url.rfind("turns:", 0) == 0)) kept.push_back(url);
  }
  if (kept.empty()) return;
  turnUrls_ = std::move(kept);
  turnUser_ = *user;
  turnPassword_ = *password;
}

// Transport side.

bool RTCTransport::isOpen(const rtc::DataChannelPtr& ch) { return ch && ch->state() == rtc::ChannelState::Open; }

void RTCTransport::sendText(const ConnPtr& conn, const std::string& text) {
  q_->post([w = weak_from_this(), conn, text] {
    auto self = w.lock();
    if (!self || !conn || conn != self->conn_ || !isOpen(self->ctl_)) return;
    self->emit(text, false, self->ctl_);
  });
}

void RTCTransport::sendTextAll(const std::string& text) {
  q_->post([w = weak_from_this(), text] {
    auto self = w.lock();
    if (self && self->conn_) self->sendText(self->conn_, text);
  });
}

bool RTCTransport::sendOn(const rtc::DataChannelPtr& ch, const std::string& text, bool binary) {
  if (!isOpen(ch)) return false;
  bool sent = ch->send(text, binary);
  // A phone that stops reading must not make the control queue grow without
  // bound: past the limit the session counts as lost.
  if (ch == ctl_ && ch->bufferedAmount() > kMaxCtlBuffered && connected_) {
    q_->post([w = weak_from_this(), g = gen_] {
      auto self = w.lock();
      if (self && g == self->gen_ && self->pc_) self->dropPeerAfterConnect("channel_closed");
    });
  }
  return sent;
}

bool RTCTransport::isLive() {
  bool live = false;
  q_->sync([&] { live = connected_ && pc_; });
  return live;
}

bool RTCTransport::paused() {
  bool p = false;
  q_->sync([&] { p = paused_; });
  return p;
}

bool RTCTransport::sendBulk(const std::string& text) {
  bool ok = false;
  q_->sync([&] { ok = isOpen(fch_) && fch_->send(text, false); });
  return ok;
}

int64_t RTCTransport::bulkBuffered() {
  int64_t n = 0;
  q_->sync([&] { n = fch_ ? static_cast<int64_t>(fch_->bufferedAmount()) : 0; });
  return n;
}

void RTCTransport::sendAudio(std::vector<uint8_t> bytes) {
  q_->post([w = weak_from_this(), bytes = std::move(bytes)] {
    auto self = w.lock();
    if (!self || !isOpen(self->ach_) || self->ach_->bufferedAmount() >= 96000) return;
    self->ach_->send(std::string(bytes.begin(), bytes.end()), true);
  });
}
