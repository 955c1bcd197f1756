#include "signal/Session.h"

#include "app/Log.h"
#include "signal/PageFiles.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <deque>
#include <optional>
#include <type_traits>

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using Clock = std::chrono::steady_clock;

namespace {

// A close handshake the client does not finish is cut off after this.
constexpr auto kCloseGrace = std::chrono::seconds(5);
// Keep-alive requests served on one connection before it is closed.
constexpr int kMaxRequests = 100;

std::string reasonOf(const beast::error_code& ec) {
  if (ec == websocket::error::closed) return "closed by client";
  if (ec == websocket::error::message_too_big) return "too_big";
  if (ec == http::error::end_of_stream || ec == beast::errc::connection_reset) return "closed by client";
  if (ec == beast::error::timeout) return "timeout";
  return ec.message();
}

template <class Stream>
class SessionOf final : public Session {
public:
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

  template <class... Args>
  explicit SessionOf(const SessionLimits& limits, Args&&... args)
      : limits_(limits), stream_(std::forward<Args>(args)...),
        timer_(beast::get_lowest_layer(stream_).get_executor()) {}

  void start() override {
    if constexpr (kTls) {
      beast::get_lowest_layer(stream_).expires_after(limits_.roleTimeout);
      stream_.async_handshake(boost::asio::ssl::stream_base::server, [self = me()](beast::error_code ec) {
        if (ec) return self->end("tls: " + ec.message());
        self->readRequest();
      });
    } else {
      readRequest();
    }
  }

  void send(std::string text) override {
    if (!ws_ || closing_ || ended_) return;
    backlog_ += text.size();
    if (backlog_ > limits_.maxBacklog) return kill("backlog");
    out_.push_back(std::move(text));
    if (!writing_) writeNext();
  }

  void close(uint16_t code, const std::string& reason) override {
    if (closing_ || ended_) return;
    closing_ = true;
    closeReason_ = reason;
    closeCode_ = code;
    closingAt_ = Clock::now();
    if (!ws_) return kill(reason);
    armDeadline();
    if (!writing_) closeNow();
  }

  void kill(const std::string& reason) override {
    if (closeReason_.empty()) closeReason_ = reason;
    end(reason);
  }

private:
  std::shared_ptr<SessionOf> me() { return std::static_pointer_cast<SessionOf>(shared_from_this()); }

  beast::tcp_stream& tcp() { return ws_ ? beast::get_lowest_layer(*ws_) : beast::get_lowest_layer(stream_); }

  // ---- HTTP ----

  void readRequest() {
    parser_.emplace();
    parser_->header_limit(8 * 1024);
    beast::get_lowest_layer(stream_).expires_after(limits_.roleTimeout);
    http::async_read(stream_, buf_, *parser_, [self = me()](beast::error_code ec, size_t) {
      if (ec) return self->end(reasonOf(ec));
      self->onRequest();
    });
  }

  void onRequest() {
    req_ = parser_->release();
    ++requests_;
    std::string_view path = requestPath(std::string_view(req_.target().data(), req_.target().size()));
    if (websocket::is_upgrade(req_)) {
      if (path == "/ws") return upgrade();
      return respond(http::status::not_found, "text/plain; charset=utf-8", "not found\n", false);
    }
    if (req_.method() != http::verb::get && req_.method() != http::verb::head)
      return respond(http::status::method_not_allowed, "text/plain; charset=utf-8", "method not allowed\n", false);
    auto file = pageFileFor(path);
    std::optional<std::string> body;
    if (file) body = readPageFile(limits_.clientDir, *file);
    if (!body) {
      logf("[signal] http 404");
      return respond(http::status::not_found, "text/plain; charset=utf-8", "not found\n", req_.keep_alive());
    }
    logf("[signal] http 200 " + file->name);
    respond(http::status::ok, file->type, std::move(*body), req_.keep_alive());
  }

  void respond(http::status status, const std::string& type, std::string body, bool keepAlive) {
    keepAlive = keepAlive && requests_ < kMaxRequests;
    res_.emplace(status, req_.version());
    res_->set(http::field::content_type, type);
    res_->set(http::field::cache_control, "no-cache");
    res_->set("X-Content-Type-Options", "nosniff");
    res_->set("Referrer-Policy", "no-referrer");
    res_->keep_alive(keepAlive);
    res_->body() = std::move(body);
    res_->prepare_payload();
    if (req_.method() == http::verb::head) res_->body().clear();  // Content-Length stays
    beast::get_lowest_layer(stream_).expires_after(limits_.roleTimeout);
    http::async_write(stream_, *res_, [self = me(), keepAlive](beast::error_code ec, size_t) {
      if (ec) return self->end(reasonOf(ec));
      if (keepAlive) return self->readRequest();
      self->finishHttp();
    });
  }

  void finishHttp() {
    if constexpr (kTls) {
      beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(2));
      stream_.async_shutdown([self = me()](beast::error_code) { self->end("http done"); });
    } else {
      beast::error_code ec;
      stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ec);
      end("http done");
    }
  }

  // ---- WebSocket ----

  void upgrade() {
    beast::get_lowest_layer(stream_).expires_never();
    ws_.emplace(std::move(stream_));
    websocket::stream_base::timeout t{};
    t.handshake_timeout = limits_.roleTimeout;
    t.idle_timeout = websocket::stream_base::none();  // silence is timed below
    t.keep_alive_pings = false;
    ws_->set_option(t);
    ws_->read_message_max(limits_.maxMessage);
    ws_->async_accept(req_, [self = me()](beast::error_code ec) {
      if (ec) return self->end(reasonOf(ec));
      self->openedAt_ = self->lastHeard_ = Clock::now();
      self->armDeadline();
      if (self->onOpen) self->onOpen();
      self->readMessage();
    });
  }

  void readMessage() {
    ws_->async_read(rbuf_, [self = me()](beast::error_code ec, size_t) {
      if (ec) return self->end(reasonOf(ec));
      self->onMessage();
      if (!self->ended_) self->readMessage();
    });
  }

  void onMessage() {
    std::string text = beast::buffers_to_string(rbuf_.data());
    rbuf_.consume(rbuf_.size());
    if (closing_) return;
    if (!ws_->got_text()) return close(static_cast<uint16_t>(websocket::close_code::unknown_data), "binary");
    lastHeard_ = Clock::now();
    if (onText) onText(text);
  }

  void writeNext() {
    writing_ = true;
    ws_->text(true);
    ws_->async_write(boost::asio::buffer(out_.front()), [self = me()](beast::error_code ec, size_t) {
      self->writing_ = false;
      if (ec || self->ended_) return self->end(reasonOf(ec));
      self->backlog_ -= self->out_.front().size();
      self->out_.pop_front();
      if (!self->out_.empty()) return self->writeNext();
      if (self->closing_) self->closeNow();
    });
  }

  void closeNow() {
    ws_->async_close(websocket::close_reason(closeCode_), [self = me()](beast::error_code ec) {
      self->end(ec ? reasonOf(ec) : "closed");
    });
  }

  // One timer covers the role time-out, silence and a close the client
  // never answers; it looks at the clock when it fires instead of being reset
  // on every message.
  void armDeadline() {
    Clock::time_point at = lastHeard_ + limits_.silenceTimeout;
    if (!hadRole_) at = std::min(at, openedAt_ + limits_.roleTimeout);
    if (closing_) at = closingAt_ + kCloseGrace;
    timer_.expires_at(at);
    timer_.async_wait([self = me()](beast::error_code ec) {
      if (ec || self->ended_) return;
      auto now = Clock::now();
      if (self->closing_) {
        if (now >= self->closingAt_ + kCloseGrace) return self->kill(self->closeReason_);
      } else if (!self->hadRole_ && now >= self->openedAt_ + self->limits_.roleTimeout) {
        return self->close(static_cast<uint16_t>(websocket::close_code::policy_error), "no_role");
      } else if (now >= self->lastHeard_ + self->limits_.silenceTimeout) {
        return self->close(static_cast<uint16_t>(websocket::close_code::policy_error), "silent");
      }
      self->armDeadline();
    });
  }

  void end(const std::string& reason) {
    if (ended_) return;
    ended_ = true;
    timer_.cancel();
    tcp().close();
    auto cb = std::move(onEnd);
    onEnd = nullptr;
    onText = nullptr;
    onOpen = nullptr;
    if (cb) cb(closeReason_.empty() ? reason : closeReason_);
  }

  SessionLimits limits_;
  Stream stream_;  // moved into ws_ on upgrade
  std::optional<websocket::stream<Stream>> ws_;
  boost::asio::steady_timer timer_;
  beast::flat_buffer buf_, rbuf_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  http::request<http::empty_body> req_;
  std::optional<http::response<http::string_body>> res_;
  int requests_ = 0;
  std::deque<std::string> out_;
  size_t backlog_ = 0;
  bool writing_ = false, closing_ = false, ended_ = false;
  uint16_t closeCode_ = 1000;
  std::string closeReason_;
  Clock::time_point openedAt_{}, lastHeard_{}, closingAt_{};
};

}  // namespace

std::shared_ptr<Session> Session::plain(boost::asio::ip::tcp::socket socket, const SessionLimits& limits) {
  return std::make_shared<SessionOf<beast::tcp_stream>>(limits, std::move(socket));
}

std::shared_ptr<Session> Session::tls(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& ctx,
                                      const SessionLimits& limits) {
  return std::make_shared<SessionOf<beast::ssl_stream<beast::tcp_stream>>>(limits, std::move(socket), ctx);
}
