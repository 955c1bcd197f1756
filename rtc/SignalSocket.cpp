#include "rtc/SignalSocket.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <deque>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

std::optional<WsUrl> parseWsUrl(const std::string& url) {
  WsUrl u;
  std::string rest;
  if (url.rfind("ws://", 0) == 0) {
    rest = url.substr(5);
  } else if (url.rfind("wss://", 0) == 0) {
    u.tls = true;
    rest = url.substr(6);
  } else {
    return std::nullopt;
  }
  size_t slash = rest.find_first_of("/?#");
  std::string authority = rest.substr(0, slash);
  u.target = slash == std::string::npos ? "/" : rest.substr(slash);
  if (auto hash = u.target.find('#'); hash != std::string::npos) u.target.erase(hash);
  if (u.target.empty() || u.target[0] != '/') u.target = "/" + u.target;
  if (authority.find('@') != std::string::npos) return std::nullopt;
  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return std::nullopt;
    u.host = authority.substr(1, close - 1);
    std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return std::nullopt;
      port = after.substr(1);
    }
  } else {
    size_t colon = authority.rfind(':');
    u.host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
  }
  if (u.host.empty()) return std::nullopt;
  for (char c : u.host)
    if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '\\') return std::nullopt;
  if (port.empty()) port = u.tls ? "443" : "80";
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  if (std::stoi(port) < 1 || std::stoi(port) > 65535) return std::nullopt;
  u.port = port;
  return u;
}

namespace {

asio::ssl::context& clientTls() {
  // Made on first use, so SSL_CERT_FILE set before the first wss connection
  // (a test CA) is honoured by the default paths.
  static asio::ssl::context ctx = [] {
    asio::ssl::context c(asio::ssl::context::tls_client);
    c.set_default_verify_paths();
    c.set_verify_mode(asio::ssl::verify_peer);
    c.set_options(asio::ssl::context::no_sslv2 | asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                  asio::ssl::context::no_tlsv1_1);
    return c;
  }();
  return ctx;
}

template <class Next>
class Socket : public SignalSocket, public std::enable_shared_from_this<Socket<Next>> {
public:
  template <class... A>
  Socket(asio::io_context& io, WsUrl url, A&&... a)
      : url_(std::move(url)), resolver_(io), deadline_(io), ws_(std::forward<A>(a)...) {}

  void start() override {
    auto self = this->shared_from_this();
    deadline_.expires_after(connectTimeout);
    deadline_.async_wait([self](beast::error_code e) {
      if (!e && !self->open_) self->fail("timeout");
    });
    ws_.read_message_max(kMaxMessage);
    resolver_.async_resolve(url_.host, url_.port, [self](beast::error_code e, tcp::resolver::results_type r) {
      if (e) return self->fail(e.message());
      if (self->closed_) return;
      beast::get_lowest_layer(self->ws_).async_connect(r, [self](beast::error_code e, const tcp::endpoint&) {
        if (e) return self->fail(e.message());
        if (self->closed_) return;
        beast::get_lowest_layer(self->ws_).socket().set_option(tcp::no_delay(true));
        self->secure();
      });
    });
  }

  void send(const std::string& text) override {
    if (closed_) return;
    outq_.push_back(text);
    pump();
  }

  void close() override {
    if (closed_) return;
    closed_ = true;
    onText = nullptr;
    onLost = nullptr;
    resolver_.cancel();
    auto self = this->shared_from_this();
    if (open_ && !writing_) {
      // Bounded: a server that never answers the close frame is cut off.
      deadline_.expires_after(std::chrono::seconds(5));
      deadline_.async_wait([self](beast::error_code e) {
        if (!e) self->shut();
      });
      ws_.async_close(websocket::close_code::going_away, [self](beast::error_code) {
        self->deadline_.cancel();
        self->shut();
      });
    } else {
      deadline_.cancel();
      shut();
    }
  }

private:
  void secure();

  void handshake() {
    auto self = this->shared_from_this();
    std::string host = url_.host.find(':') != std::string::npos ? "[" + url_.host + "]" : url_.host;
    if (url_.port != (url_.tls ? "443" : "80")) host += ":" + url_.port;
    ws_.set_option(websocket::stream_base::decorator([](websocket::request_type& req) {
      req.set(beast::http::field::user_agent, "tolvane-host");
    }));
    ws_.async_handshake(host, url_.target, [self](beast::error_code e) {
      if (e) return self->fail(e.message());
      if (self->closed_) return;
      self->open_ = true;
      self->deadline_.cancel();
      self->ws_.text(true);
      self->read();
      self->pump();
    });
  }

  void read() {
    auto self = this->shared_from_this();
    ws_.async_read(buf_, [self](beast::error_code e, size_t) {
      if (e) return self->fail(e.message());
      if (self->closed_) return;
      if (self->ws_.got_text() && self->onText) {
        std::string text = beast::buffers_to_string(self->buf_.data());
        self->buf_.consume(self->buf_.size());
        auto cb = self->onText;
        cb(text);
      } else {
        self->buf_.consume(self->buf_.size());  // binary frames are not ours
      }
      if (!self->closed_) self->read();
    });
  }

  void pump() {
    if (!open_ || writing_ || closed_ || outq_.empty()) return;
    writing_ = true;
    auto self = this->shared_from_this();
    ws_.async_write(asio::buffer(outq_.front()), [self](beast::error_code e, size_t) {
      self->writing_ = false;
      if (e) return self->fail(e.message());
      if (!self->outq_.empty()) self->outq_.pop_front();
      self->pump();
    });
  }

  void fail(const std::string& reason) {
    if (closed_) return;
    closed_ = true;
    deadline_.cancel();
    auto cb = std::move(onLost);
    onText = nullptr;
    onLost = nullptr;
    shut();
    if (cb) cb(reason);
  }

  void shut() {
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

  WsUrl url_;
  tcp::resolver resolver_;
  asio::steady_timer deadline_;
  websocket::stream<Next> ws_;
  beast::flat_buffer buf_;
  std::deque<std::string> outq_;
  bool open_ = false, writing_ = false, closed_ = false;
};

template <>
void Socket<beast::tcp_stream>::secure() {
  handshake();
}

template <>
void Socket<beast::ssl_stream<beast::tcp_stream>>::secure() {
  auto& stream = ws_.next_layer();
  // SNI, and the certificate must name the host we asked for.
  if (!SSL_set_tlsext_host_name(stream.native_handle(), url_.host.c_str())) return fail("SNI");
  stream.set_verify_callback(asio::ssl::host_name_verification(url_.host));
  auto self = shared_from_this();
  stream.async_handshake(asio::ssl::stream_base::client, [self](beast::error_code e) {
    if (e) return self->fail(e.message());
    if (self->closed_) return;
    self->handshake();
  });
}

}  // namespace

std::shared_ptr<SignalSocket> SignalSocket::make(asio::io_context& io, const WsUrl& url) {
  if (url.tls)
    return std::make_shared<Socket<beast::ssl_stream<beast::tcp_stream>>>(io, url, io, clientTls());
  return std::make_shared<Socket<beast::tcp_stream>>(io, url, io);
}
