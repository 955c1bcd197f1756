#pragma once
// One client socket of the rendezvous server: HTTP requests for the page,
// then, after an upgrade on "/ws", WebSocket text messages. It enforces what
// concerns one socket alone (message size, binary frames, time-outs, send
// backlog); the rules between sockets are the owner's. Every operation runs on
// the owner's queue, the io_context the socket was accepted on.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct SessionLimits {
  // Until a role is taken (and for each HTTP request or TLS handshake).
  std::chrono::milliseconds roleTimeout{10000};
  // Without any message from the client.
  std::chrono::milliseconds silenceTimeout{60000};
  size_t maxMessage = 64 * 1024;
  // Queued outgoing bytes past which a client that does not read is cut off.
  size_t maxBacklog = 1 << 20;
  std::string clientDir;
};

class Session : public std::enable_shared_from_this<Session> {
public:
  virtual ~Session() = default;
  virtual void start() = 0;
  // Queues a text message; dropped unless the WebSocket is open and not closing.
  virtual void send(std::string text) = 0;
  // Sends a close frame with code once the queued messages are out; later
  // messages from the client are ignored.
  virtual void close(uint16_t code, const std::string& reason) = 0;
  // Drops the connection at once.
  virtual void kill(const std::string& reason) = 0;
  // The socket has taken a role: the role time-out no longer applies.
  void markRole() { hadRole_ = true; }

  std::function<void()> onOpen;                      // WebSocket accepted
  std::function<void(const std::string&)> onText;    // one text message
  std::function<void(const std::string&)> onEnd;     // once, with the reason

  static std::shared_ptr<Session> plain(boost::asio::ip::tcp::socket socket, const SessionLimits& limits);
  static std::shared_ptr<Session> tls(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& ctx,
                                      const SessionLimits& limits);

protected:
  bool hadRole_ = false;
};
