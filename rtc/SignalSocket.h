#pragma once
// The WebSocket to the rendezvous server (ws or wss). All calls and callbacks
// run on the thread of the io_context it was made with; each socket lives for
// one connection attempt and reports its end once through onLost.
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct WsUrl {
  bool tls = false;
  std::string host;    // without brackets
  std::string port;    // digits
  std::string target;  // path and query, at least "/"
};
// ws:// and wss:// URLs only; nothing for anything else.
std::optional<WsUrl> parseWsUrl(const std::string& url);

class SignalSocket {
public:
  virtual ~SignalSocket() = default;
  static std::shared_ptr<SignalSocket> make(boost::asio::io_context& io, const WsUrl& url);

  // Connects and starts reading. Texts sent before the handshake wait for it.
  virtual void start() = 0;
  virtual void send(const std::string& text) = 0;
  // Closes with 1001 (going away); no callback runs afterwards.
  virtual void close() = 0;

  std::function<void(const std::string&)> onText;
  std::function<void(const std::string& reason)> onLost;

  // Bound on resolve + connect + TLS + WebSocket handshake.
  std::chrono::milliseconds connectTimeout{60000};
  // Larger incoming messages end the connection.
  static constexpr size_t kMaxMessage = 1 << 20;
};
