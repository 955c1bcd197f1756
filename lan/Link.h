#pragma once
// The byte stream under one LAN connection: plain TCP or TLS over TCP. The
// server only needs read, write, close and (for TLS) a handshake.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

using ReadHandler = std::function<void(const boost::system::error_code&, size_t)>;
using DoneHandler = std::function<void(const boost::system::error_code&)>;

class Link {
public:
  virtual ~Link() = default;
  virtual void handshake(DoneHandler done) = 0;
  virtual void read(uint8_t* into, size_t max, ReadHandler done) = 0;
  virtual void write(const std::array<boost::asio::const_buffer, 2>& bufs, ReadHandler done) = 0;
  virtual void close() = 0;

  // Asio allows one write at a time per stream, so each link keeps a queue.
  struct Out {
    std::vector<uint8_t> head;                    // frame header or whole response
    std::shared_ptr<const std::vector<uint8_t>> body;  // shared payload (video), may be null
    std::function<void()> done;                   // send completion, whatever the outcome
  };
  std::deque<Out> outq;
  bool writing = false;
  bool closed = false;
  bool wsOpen = false;     // onWSOpen was raised; frames may be delivered
  bool answered = false;   // an HTTP answer is queued: ignore further requests
  std::array<uint8_t, 65536> rbuf;
};

std::shared_ptr<Link> makePlainLink(boost::asio::ip::tcp::socket sock);
std::shared_ptr<Link> makeTlsLink(boost::asio::ip::tcp::socket sock, boost::asio::ssl::context& ctx);
