#include "lan/Server.h"

#include "app/Loc.h"
#include "app/Log.h"
#include "app/Text.h"
#include "lan/ClientFiles.h"
#include "lan/HttpHead.h"
#include "lan/Link.h"
#include "lan/WsFrame.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>

namespace asio = boost::asio;
using asio::ip::tcp;

std::shared_ptr<Link> linkOf(const ConnPtr& c) { return std::static_pointer_cast<Link>(c->nw); }

Server::Server(uint16_t port, std::string label) : port_(port), label_(std::move(label)) {}

Server::~Server() {
  stop();
  if (q_->isCurrent()) {
    // The last owner let go inside one of our own handlers: the queue's
    // thread cannot join itself, so another thread waits for it to finish.
    std::thread([q = q_] { q->shutdown(); }).detach();
  } else {
    q_->shutdown();
  }
}

void Server::stop() {
  // Handlers hold the server weakly; closing everything on the queue lets the
  // context wind down.
  q_->sync([this] {
    onWSOpen = nullptr;
    onText = nullptr;
    onClose = nullptr;
    onNeedKey = nullptr;
    if (listener_) {
      boost::system::error_code ec;
      listener_->close(ec);
      listener_.reset();
    }
    for (auto& [id, c] : conns_) {
      linkOf(c)->gone = true;
      linkOf(c)->close();
    }
    conns_.clear();
    wsOpen_ = 0;
  });
}

void Server::start() {
  std::string err;
  q_->sync([&] {
    try {
      auto acc = std::make_unique<tcp::acceptor>(q_->context());
      tcp::endpoint ep(asio::ip::address_v6::any(), port_);
      boost::system::error_code ec;
      acc->open(ep.protocol(), ec);
      if (!ec) {
        acc->set_option(asio::ip::v6_only(false), ec);
        ec.clear();
      } else {
        // No IPv6 on this machine: listen on IPv4 only.
        ep = tcp::endpoint(asio::ip::address_v4::any(), port_);
        acc->open(ep.protocol());
      }
      acc->set_option(tcp::acceptor::reuse_address(true));
      acc->bind(ep);
      acc->listen();
      boundPort_ = acc->local_endpoint().port();
      listener_ = std::move(acc);
    } catch (const std::exception& e) {
      err = e.what();
    }
  });
  if (!err.empty()) throw std::runtime_error(err);
  logf("[" + label_ + "] listening :" + std::to_string(port_));
  q_->post([w = weak_from_this()] {
    if (auto self = w.lock()) self->accept();
  });
}

void Server::accept() {
  listener_->async_accept([w = weak_from_this()](const boost::system::error_code& ec, tcp::socket sock) {
    auto self = w.lock();
    if (!self || !self->listener_) return;
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      // Running out of descriptors and the like: keep listening.
      self->accept();
      return;
    }
    boost::system::error_code ignored;
    sock.set_option(tcp::no_delay(true), ignored);
    auto link = self->identity ? makeTlsLink(std::move(sock), *self->identity) : makePlainLink(std::move(sock));
    auto c = std::make_shared<Conn>(self->nextId_++, link);
    self->conns_[c->id] = c;
    std::shared_ptr<QueueTimer> deadline;
    if (self->identity) {
      deadline = QueueTimer::once(*self->q_, self->handshakeTimeout, [w, c] {
        auto s = w.lock();
        if (!s) return;
        linkOf(c)->close();
        s->drop(c);
      });
    }
    link->handshake([w, c, deadline](const boost::system::error_code& hec) {
      if (deadline) deadline->cancel();
      auto s = w.lock();
      if (!s) return;
      if (hec) {
        linkOf(c)->close();
        s->drop(c);
        return;
      }
      s->receive(c);
    });
    self->accept();
  });
}

void Server::receive(const ConnPtr& c) {
  auto link = linkOf(c);
  if (link->closed) return;
  link->read(link->rbuf.data(), link->rbuf.size(),
             [w = weak_from_this(), c](const boost::system::error_code& ec, size_t n) {
               auto self = w.lock();
               if (!self) return;
               auto l = linkOf(c);
               if (n > 0 && !l->closed) {
                 c->buf.insert(c->buf.end(), l->rbuf.begin(), l->rbuf.begin() + n);
                 if (c->isWS) {
                   if (l->wsOpen) self->parseFrames(c);
                 } else if (!l->answered) {
                   self->parseHTTP(c);
                 }
               }
               if (!ec && !l->closed) {
                 // Side-feature messages still waiting to be handled hold
                 // further reading (uploads' back-pressure).
                 if (l->sideWaiting > kSideWaiting) l->readHeld = true;
                 else self->receive(c);
               } else {
                 l->close();
                 self->drop(c);
               }
             });
}

void Server::drop(const ConnPtr& c) {
  auto it = conns_.find(c->id);
  if (it == conns_.end() || it->second != c) return;
  conns_.erase(it);
  auto link = linkOf(c);
  link->gone = true;
  link->close();
  link->bulkq.clear();
  // A write in progress still refers to the front entry's buffers.
  while (link->outq.size() > (link->writing ? 1u : 0u)) link->outq.pop_back();
  if (c->isWS) {
    --wsOpen_;
    if (onClose) onClose(c);
  }
}

void Server::parseHTTP(const ConnPtr& c) {
  HttpHead head;
  size_t used = 0;
  switch (parseHead(c->buf, head, used)) {
    case HeadStatus::NeedMore:
      return;
    case HeadStatus::TooLarge:
    case HeadStatus::BadText:
      linkOf(c)->close();
      drop(c);
      return;
    case HeadStatus::Complete:
      break;
  }
  c->buf.erase(c->buf.begin(), c->buf.begin() + static_cast<std::ptrdiff_t>(used));
  const std::string plain = "text/plain; charset=utf-8";
  switch (routeFor(head, token)) {
    case Route::MethodNotAllowed:
      return respond(c, "405 Method Not Allowed", plain, "405");
    case Route::Forbidden:
      return respond(c, "403 Forbidden", plain, Loc::tr("403 Forbidden: a token is required"));
    case Route::NotFound:
      return respond(c, "404 Not Found", plain, "404");
    case Route::Page:
      if (auto page = htmlProvider())
        return respond(c, "200 OK", "text/html; charset=utf-8", std::string(page->begin(), page->end()));
      return respond(c, "500 Internal Server Error", plain, Loc::tr("client/index.html was not found"));
    case Route::Cert:
      if (auto cert = certProvider())
        return respond(c, "200 OK", "application/x-x509-ca-cert", std::string(cert->begin(), cert->end()));
      return respond(c, "404 Not Found", plain, "404");
    case Route::ClientFile: {
      const std::string name = clientFileFor(head.path).value_or("");
      if (auto file = fileProvider(name))
        return respond(c, "200 OK", clientFileType(name), std::string(file->begin(), file->end()));
      return respond(c, "404 Not Found", plain, "404");
    }
    case Route::Upgrade:
      return upgrade(c, head);
  }
}

void Server::respond(const ConnPtr& c, const std::string& status, const std::string& type,
                     const std::string& body) {
  linkOf(c)->answered = true;
  std::string text = "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
                     "\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
  enqueue(c, std::vector<uint8_t>(text.begin(), text.end()), nullptr,
          [w = weak_from_this(), c] {
            auto self = w.lock();
            if (!self) return;
            linkOf(c)->close();
            self->drop(c);
          });
}

void Server::upgrade(const ConnPtr& c, const HttpHead& head) {
  std::string accept = wsAccept(head.headers.at("sec-websocket-key"));
  c->isWS = true;
  ++wsOpen_;
  std::string text =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: " + accept + "\r\n\r\n";
  enqueue(c, std::vector<uint8_t>(text.begin(), text.end()), nullptr, [w = weak_from_this(), c] {
    auto self = w.lock();
    if (!self || !self->conns_.count(c->id)) return;
    linkOf(c)->wsOpen = true;
    if (self->onWSOpen) self->onWSOpen(c);
    if (!c->buf.empty()) self->parseFrames(c);
  });
}

void Server::parseFrames(const ConnPtr& c) {
  size_t offset = 0;
  WsFrame f;
  bool stop = false;
  while (!stop && conns_.count(c->id)) {
    FrameStatus st = parseFrame(c->buf, offset, f);
    if (st == FrameStatus::NeedMore) break;
    if (st == FrameStatus::TooLarge) {
      linkOf(c)->close();
      drop(c);
      return;
    }
    switch (f.opcode) {
      case 1:
        if (validUtf8(f.payload.data(), f.payload.size()) && onText)
          onText(c, std::string(f.payload.begin(), f.payload.end()));
        break;
      case 9:
        sendRaw(c, 10, std::make_shared<const Bytes>(std::move(f.payload)), false);
        break;
      case 8:
        linkOf(c)->close();
        drop(c);
        stop = true;
        break;
      default:
        break;
    }
  }
  if (offset > 0 && offset <= c->buf.size())
    c->buf.erase(c->buf.begin(), c->buf.begin() + static_cast<std::ptrdiff_t>(offset));
}

void Server::enqueue(const ConnPtr& c, std::vector<uint8_t> head, std::shared_ptr<const Bytes> body,
                     std::function<void()> done) {
  auto link = linkOf(c);
  if (link->closed) {
    if (done) done();
    return;
  }
  link->outq.push_back({std::move(head), std::move(body), std::move(done)});
  pump(c);
}

void Server::pump(const ConnPtr& c) {
  auto link = linkOf(c);
  if (link->writing || link->outq.empty()) return;
  link->writing = true;
  auto& out = link->outq.front();
  std::array<asio::const_buffer, 2> bufs{
      asio::buffer(out.head),
      out.body ? asio::buffer(*out.body) : asio::const_buffer()};
  link->write(bufs, [w = weak_from_this(), c](const boost::system::error_code&, size_t) {
    auto self = w.lock();
    if (!self) return;
    auto l = linkOf(c);
    l->writing = false;
    if (l->outq.empty()) return;
    auto done = std::move(l->outq.front().done);
    l->outq.pop_front();
    if (done) done();
    self->pump(c);
  });
}

void Server::sendRaw(const ConnPtr& c, uint8_t opcode, std::shared_ptr<const Bytes> payload, bool tracked) {
  std::function<void()> done;
  if (tracked) {
    ++c->inflight;
    done = [c] { --c->inflight; };
  }
  auto head = frameHeader(opcode, payload->size());
  enqueue(c, std::move(head), std::move(payload), std::move(done));
}

int64_t Server::wsCount() const { return wsOpen_.load(); }

void Server::sendText(const ConnPtr& conn, const std::string& text) {
  auto data = std::make_shared<const Bytes>(text.begin(), text.end());
  q_->post([w = weak_from_this(), conn, data] {
    auto self = w.lock();
    if (!self || !conn->isWS || !self->conns_.count(conn->id)) return;
    self->sendRaw(conn, 1, data, false);
  });
}

void Server::sendTextAll(const std::string& text) {
  auto data = std::make_shared<const Bytes>(text.begin(), text.end());
  q_->post([w = weak_from_this(), data] {
    auto self = w.lock();
    if (!self) return;
    for (auto& [id, c] : self->conns_)
      if (c->isWS) self->sendRaw(c, 1, data, false);
  });
}

void Server::sendVideo(std::shared_ptr<const Bytes> data, bool key) {
  q_->post([w = weak_from_this(), data = std::move(data), key] {
    auto self = w.lock();
    if (!self) return;
    bool wantKey = false;
    for (auto& [id, c] : self->conns_) {
      if (!c->isWS || !c->wantsVideo) continue;
      if (c->needKey && !key) continue;
      if (c->inflight >= kInflightLimit) {
        if (!key) {
          c->needKey = true;
          wantKey = true;
          continue;
        }
        if (c->inflight >= kInflightCeiling) continue;  // stalled: wait for the next key frame
      }
      if (key) c->needKey = false;
      self->sendRaw(c, 2, data, true);
    }
    if (wantKey && self->onNeedKey) self->onNeedKey();
  });
}

bool Server::sendBulk(const ConnPtr& conn, const std::string& text) {
  auto link = linkOf(conn);
  if (link->gone) return false;
  auto data = std::make_shared<const Bytes>(text.begin(), text.end());
  // Counted at once, so the sender's pacing sees it before the queue runs.
  link->bulkBytes += static_cast<int64_t>(data->size());
  q_->post([w = weak_from_this(), conn, data] {
    auto self = w.lock();
    auto l = linkOf(conn);
    if (!self || l->gone || !self->conns_.count(conn->id)) {
      l->bulkBytes -= static_cast<int64_t>(data->size());
      return;
    }
    l->bulkq.push_back(data);
    self->pumpBulk(conn);
  });
  return true;
}

void Server::pumpBulk(const ConnPtr& c) {
  auto l = linkOf(c);
  if (l->bulkInOutq || l->bulkq.empty() || l->closed) return;
  auto data = std::move(l->bulkq.front());
  l->bulkq.pop_front();
  l->bulkInOutq = true;
  auto size = static_cast<int64_t>(data->size());
  auto head = frameHeader(1, data->size());
  enqueue(c, std::move(head), std::move(data), [w = weak_from_this(), c, size] {
    auto l = linkOf(c);
    l->bulkInOutq = false;
    l->bulkBytes -= size;
    if (auto self = w.lock()) self->pumpBulk(c);
  });
}

int64_t Server::bulkBuffered(const ConnPtr& conn) {
  auto link = linkOf(conn);
  if (link->gone) return 0;
  int unsent = 0;
  q_->sync([&] {
    int fd = link->closed ? -1 : link->nativeFd();
    if (fd < 0 || ::ioctl(fd, SIOCOUTQ, &unsent) != 0) unsent = 0;
  });
  return link->bulkBytes.load() + unsent;
}

void Server::sendAudio(const ConnPtr& conn, std::vector<uint8_t> samples) {
  auto data = std::make_shared<Bytes>(samples.size() + 1);
  (*data)[0] = 2;
  std::copy(samples.begin(), samples.end(), data->begin() + 1);
  q_->post([w = weak_from_this(), conn, data = std::shared_ptr<const Bytes>(std::move(data))] {
    auto self = w.lock();
    auto l = linkOf(conn);
    if (!self || l->gone || !conn->isWS || !self->conns_.count(conn->id)) return;
    if (l->audioQueued > kAudioQueued) return;
    auto size = static_cast<int64_t>(data->size());
    l->audioQueued += size;
    auto head = frameHeader(2, data->size());
    self->enqueue(conn, std::move(head), data, [conn, size] { linkOf(conn)->audioQueued -= size; });
  });
}

std::function<void()> Server::holdSide(const ConnPtr& conn, int64_t bytes) {
  linkOf(conn)->sideWaiting += bytes;
  return [w = weak_from_this(), conn, bytes] {
    auto self = w.lock();
    if (!self) return;
    self->q_->post([w, conn, bytes] {
      auto s = w.lock();
      auto l = linkOf(conn);
      l->sideWaiting -= bytes;
      if (!s || !l->readHeld || l->sideWaiting > kSideWaiting || l->closed) return;
      l->readHeld = false;
      s->receive(conn);
    });
  };
}

RequesterPtr Server::requester(const ConnPtr& conn, int64_t key) {
  auto r = std::make_shared<Requester>();
  std::weak_ptr<Server> w = weak_from_this();
  r->key = key;
  r->send = [w, conn](const std::string& text) {
    auto s = w.lock();
    return s && s->sendBulk(conn, text);
  };
  r->buffered = [w, conn]() -> int64_t {
    auto s = w.lock();
    return s ? s->bulkBuffered(conn) : 0;
  };
  r->alive = [w, conn] {
    auto s = w.lock();
    return s && !linkOf(conn)->gone;
  };
  r->sendAudio = [w, conn](std::vector<uint8_t> samples) {
    if (auto s = w.lock()) s->sendAudio(conn, std::move(samples));
  };
  r->bulkLimit = kBulkBound;
  r->chunk = kFileChunk;
  return r;
}
