// Host's side of the extras: who asked (a requester per connection and
// transport), the eight side-feature kinds, first open and last close.
#include "app/Settings.h"
#include "extras/Extras.h"
#include "extras/PauseWatch.h"
#include "lan/Server.h"
#include "rtc/RTCTransport.h"
#include "session/Host.h"

using nlohmann::json;

namespace {
// The internet transport serves one phone at a time: a reply goes out only
// while the asking connection is still its current one, checked and sent in
// one step on its queue.
RequesterPtr rtcRequester(const std::shared_ptr<RTCTransport>& t, const ConnPtr& conn, int64_t key) {
  std::weak_ptr<RTCTransport> w = t;
  auto current = [w, conn](const std::function<bool(RTCTransport&)>& fn) {
    auto tr = w.lock();
    if (!tr) return false;
    bool ok = false;
    tr->queue().sync([&] {
      auto it = tr->conns().find(conn->id);
      if (it != tr->conns().end() && it->second == conn) ok = fn(*tr);
    });
    return ok;
  };
  auto r = std::make_shared<Requester>();
  r->key = key;
  r->send = [current](const std::string& text) {
    return current([&](RTCTransport& tr) { return tr.sendBulk(text); });
  };
  r->buffered = [w]() -> int64_t {
    auto tr = w.lock();
    return tr ? tr->bulkBuffered() : 0;
  };
  r->alive = [current] { return current([](RTCTransport&) { return true; }); };
  r->sendAudio = [current](std::vector<uint8_t> samples) {
    // The page tells sound from anything else on the channel by its first
    // byte, 1 on the internet link.
    samples.insert(samples.begin(), uint8_t{1});
    current([&](RTCTransport& tr) {
      tr.sendAudio(std::move(samples));
      return true;
    });
  };
  r->bulkLimit = 1000000;
  // 48,000 bytes are 64,000 base64 characters: with the JSON around them one
  // "fdat" stays within the channel's 65,536-byte messages.
  r->chunk = 48000;
  r->maxMessage = 65536;
  return r;
}
}  // namespace

void Host::wireExtras() {
  extras->sendCtl = [w = weak_from_this()](const std::string& text) {
    if (auto h = w.lock()) h->broadcast(text);
  };
}

void Host::startPauseWatch(std::function<bool()> paused, std::function<void(bool)> setPaused) {
  if (paused) extras->pause->paused = std::move(paused);
  if (setPaused) extras->pause->setPaused = std::move(setPaused);
  extras->pause->start();
}

void Host::noteInput() { extras->pause->noteInput(); }

RequesterPtr Host::requesterFor(const std::shared_ptr<Transport>& transport, const ConnPtr& conn) {
  // Connection ids are per transport; the transport's place in `servers`
  // makes the key unique across them.
  int64_t index = 0;
  for (size_t i = 0; i < servers.size(); ++i)
    if (servers[i] == transport) index = static_cast<int64_t>(i) + 1;
  const int64_t key = (index << 40) | conn->id;
  if (auto s = std::dynamic_pointer_cast<Server>(transport)) return s->requester(conn, key);
  if (auto t = std::dynamic_pointer_cast<RTCTransport>(transport)) return rtcRequester(t, conn, key);
  auto r = std::make_shared<Requester>();
  r->key = key;
  return r;
}

bool Host::handOver(const std::shared_ptr<Transport>& transport, const ConnPtr& conn, const std::string& kind,
                    json& m, size_t bytes) {
  if (!isSideKind(kind)) return false;
  std::function<void()> done;
  if (auto s = std::dynamic_pointer_cast<Server>(transport)) done = s->holdSide(conn, static_cast<int64_t>(bytes));
  extras->handle(kind, std::move(m), requesterFor(transport, conn), std::move(done));
  return true;
}

void Host::extrasOpened() {
  std::lock_guard<std::mutex> l(extrasLock_);
  extras->connected();
}

void Host::onClose(const std::shared_ptr<Transport>& transport, const ConnPtr& conn) {
  extras->closed(requesterFor(transport, conn)->key);
  {
    // Counted under the lock that openings take, so a client arriving on
    // another transport meanwhile is not left without its clipboard.
    std::lock_guard<std::mutex> l(extrasLock_);
    int64_t open = 0;
    for (auto& t : servers) open += t->wsCount();
    if (open == 0) extras->disconnected();
  }
  onClose();
}
