#pragma once
// The byte stream under one LAN connection: plain TCP or TLS over TCP. The
// server only needs read, write, close and (for TLS) a handshake.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>

#include <array>
#include <atomic>
#include <cstdint>
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
  // The TCP socket's descriptor (-1 once closed), for its unsent-byte count.
  virtual int nativeFd() = 0;

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

  // Side-feature traffic. File messages wait in bulkq and enter outq one at a
  // time, so video and control never queue behind more than one of them.
  std::deque<std::shared_ptr<const std::vector<uint8_t>>> bulkq;
  bool bulkInOutq = false;
  int64_t audioQueued = 0;   // audio bytes in outq
  int64_t sideWaiting = 0;   // received side-feature bytes not yet handled
  bool readHeld = false;     // reading stopped until sideWaiting drops
  // Read from other threads: bulk bytes queued and not yet written, and
  // whether the server has let the connection go.
  std::atomic<int64_t> bulkBytes{0};
  std::atomic<bool> gone{false};
};

std::shared_ptr<Link> makePlainLink(boost::asio::ip::tcp::socket sock);
std::shared_ptr<Link> makeTlsLink(boost::asio::ip::tcp::socket sock, boost::asio::ssl::context& ctx);
