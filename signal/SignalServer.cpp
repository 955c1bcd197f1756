#include "signal/SignalServer.h"

#include "app/Log.h"
#include "signal/TurnCredentials.h"

#include <boost/asio/ip/address.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <thread>

namespace asio = boost::asio;
using asio::ip::tcp;

SignalServer::SignalServer(SignalConfig cfg) : cfg_(std::move(cfg)), rooms_(cfg_.rooms, cfg_.stun) {
  if (!cfg_.turn.empty()) {
    auto creds = std::make_shared<TurnCredentials>(cfg_.turn, cfg_.turnSecret, cfg_.turnTtl);
    rooms_.turnFor = [creds](const std::string& rid) { return creds->forRoom(rid); };
  }
  // Only the credentials made from it leave this object.
  cfg_.turnSecret.clear();
}

SignalServer::~SignalServer() {
  stop();
  if (q_->isCurrent()) {
    std::thread([q = q_] { q->shutdown(); }).detach();
  } else {
    q_->shutdown();
  }
}

std::optional<std::string> SignalServer::start() {
  std::optional<std::string> failure;
  q_->sync([&] {
    try {
      if (cfg_.tlsCert || cfg_.tlsKey) {
        tls_.emplace(asio::ssl::context::tls_server);
        tls_->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                          asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                          asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
        tls_->use_certificate_chain_file(cfg_.tlsCert.value_or(""));
        tls_->use_private_key_file(cfg_.tlsKey.value_or(""), asio::ssl::context::pem);
      }
      tcp::endpoint at(asio::ip::make_address(cfg_.bind), cfg_.port);
      acceptor_.emplace(q_->context());
      acceptor_->open(at.protocol());
      acceptor_->set_option(asio::socket_base::reuse_address(true));
      acceptor_->bind(at);
      acceptor_->listen(asio::socket_base::max_listen_connections);
      port_ = acceptor_->local_endpoint().port();
      accept();
    } catch (const std::exception& e) {
      acceptor_.reset();
      failure = e.what();
    }
  });
  return failure;
}

void SignalServer::stop() {
  q_->sync([this] {
    if (retry_) retry_->cancel();
    if (acceptor_) {
      boost::system::error_code ec;
      acceptor_->close(ec);
    }
    // Ending a session erases it from clients_: kill from a copy.
    std::vector<std::shared_ptr<Session>> all;
    for (auto& [id, c] : clients_) all.push_back(c.session);
    for (auto& s : all) s->kill("server stopping");
  });
}

int64_t SignalServer::nowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0_).count();
}

void SignalServer::accept() {
  std::weak_ptr<SignalServer> weak = weak_from_this();
  acceptor_->async_accept([this, weak](boost::system::error_code ec, tcp::socket socket) {
    auto self = weak.lock();
    if (!self || !acceptor_ || !acceptor_->is_open()) return;
    if (ec) {
      // Out of descriptors and the like: try again shortly rather than spin.
      logf("[signal] accept failed: " + ec.message());
      retry_ = QueueTimer::once(*q_, std::chrono::milliseconds(200), [weak] {
        if (auto s = weak.lock(); s && s->acceptor_ && s->acceptor_->is_open()) s->accept();
      });
      return;
    }
    admit(std::move(socket));
    accept();
  });
}

void SignalServer::admit(tcp::socket socket) {
  boost::system::error_code ec;
  auto peer = socket.remote_endpoint(ec);
  if (ec) return;
  std::string address = peer.address().to_string();
  const char* refused = nullptr;
  if (clients_.size() >= cfg_.maxSockets) refused = "sockets";
  else if (cfg_.maxPerAddress != 0 && perAddress_[address] >= cfg_.maxPerAddress) refused = "per_address";
  if (refused) {
    if (perAddress_[address] == 0) perAddress_.erase(address);
    logf("[signal] refused " + address + " (" + refused + ")");
    socket.close(ec);
    return;
  }
  socket.set_option(tcp::no_delay(true), ec);
  uint64_t id = nextId_++;
  auto session = tls_ ? Session::tls(std::move(socket), *tls_, cfg_.session) : Session::plain(std::move(socket), cfg_.session);
  std::weak_ptr<SignalServer> weak = weak_from_this();
  session->onOpen = [weak, id] {
    if (auto s = weak.lock()) {
      auto it = s->clients_.find(id);
      if (it == s->clients_.end()) return;
      it->second.ws = true;
      logf("[signal] #" + std::to_string(id) + " open " + it->second.address);
    }
  };
  session->onText = [weak, id](const std::string& text) {
    if (auto s = weak.lock()) s->onText(id, text);
  };
  session->onEnd = [weak, id](const std::string& reason) {
    if (auto s = weak.lock()) s->onEnd(id, reason);
  };
  clients_[id] = Client{session, address, false};
  ++perAddress_[address];
  session->start();
}

void SignalServer::onText(uint64_t id, const std::string& text) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  auto session = it->second.session;
  Rooms::Step step = rooms_.onText(id, text, nowMs());
  if (rooms_.hasRole(id)) session->markRole();
  apply(id, step);
}

void SignalServer::apply(uint64_t from, const Rooms::Step& step) {
  for (const auto& line : step.logs) logf(line);
  for (const auto& out : step.sends) {
    auto it = clients_.find(out.to);
    if (it != clients_.end()) it->second.session->send(out.text);
  }
  if (step.closeSender) {
    auto it = clients_.find(from);
    if (it != clients_.end())
      it->second.session->close(static_cast<uint16_t>(boost::beast::websocket::close_code::policy_error),
                                step.closeReason);
  }
}

void SignalServer::onEnd(uint64_t id, const std::string& reason) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client c = std::move(it->second);
  clients_.erase(it);
  if (--perAddress_[c.address] == 0) perAddress_.erase(c.address);
  if (c.ws) logf("[signal] #" + std::to_string(id) + " closed (" + reason + ")");
  apply(id, rooms_.onClose(id));
}
