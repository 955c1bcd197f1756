#include "lan/Link.h"

#include <boost/asio/write.hpp>

namespace {

template <class Stream>
class StreamLink : public Link {
public:
  template <class... A>
  explicit StreamLink(A&&... a) : s_(std::forward<A>(a)...) {}

  void handshake(DoneHandler done) override {
    if constexpr (std::is_same_v<Stream, boost::asio::ip::tcp::socket>) {
      done({});
    } else {
      s_.async_handshake(boost::asio::ssl::stream_base::server, std::move(done));
    }
  }
  void read(uint8_t* into, size_t max, ReadHandler done) override {
    s_.async_read_some(boost::asio::buffer(into, max), std::move(done));
  }
  void write(const std::array<boost::asio::const_buffer, 2>& bufs, ReadHandler done) override {
    boost::asio::async_write(s_, bufs, std::move(done));
  }
  void close() override {
    if (closed) return;
    closed = true;
    boost::system::error_code ec;
    auto& sock = lowest();
    sock.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
    sock.close(ec);
  }

  int nativeFd() override {
    auto& sock = lowest();
    return sock.is_open() ? sock.native_handle() : -1;
  }

private:
  boost::asio::ip::tcp::socket& lowest() {
    if constexpr (std::is_same_v<Stream, boost::asio::ip::tcp::socket>) {
      return s_;
    } else {
      return s_.next_layer();
    }
  }
  Stream s_;
};

}  // namespace

std::shared_ptr<Link> makePlainLink(boost::asio::ip::tcp::socket sock) {
  return std::make_shared<StreamLink<boost::asio::ip::tcp::socket>>(std::move(sock));
}

std::shared_ptr<Link> makeTlsLink(boost::asio::ip::tcp::socket sock, boost::asio::ssl::context& ctx) {
  return std::make_shared<StreamLink<boost::asio::ssl::stream<boost::asio::ip::tcp::socket>>>(
      std::move(sock), ctx);
}
