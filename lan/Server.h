#pragma once
// The LAN web server: serves the client page and the CA certificate, and
// carries the session over WebSocket. One instance per listening port; TLS
// when given an identity.
#include "extras/Requester.h"
#include "session/Transport.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

class Link;
struct HttpHead;

class Server : public Transport, public std::enable_shared_from_this<Server> {
public:
  Server(uint16_t port, std::string label);
  ~Server() override;

  // Binds and listens; throws std::runtime_error when the port cannot be used.
  void start();
  // Closes the listener and every connection without further callbacks.
  void stop();

  SerialQueue& queue() override { return *q_; }
  const std::map<int64_t, ConnPtr>& conns() const override { return conns_; }
  int64_t wsCount() const override;
  void sendText(const ConnPtr& conn, const std::string& text) override;
  void sendTextAll(const std::string& text) override;
  void sendVideo(std::shared_ptr<const Bytes> data, bool key) override;

  // Side-feature replies to one connection (any thread). Bulk texts go out
  // one at a time between video and control messages.
  bool sendBulk(const ConnPtr& conn, const std::string& text);
  // Its queued file messages plus the socket's unsent bytes; synchronous on
  // the queue, never call it from there.
  int64_t bulkBuffered(const ConnPtr& conn);
  // One binary message, kind byte 2 then the samples; dropped while more
  // than kAudioQueued audio bytes wait for that connection.
  void sendAudio(const ConnPtr& conn, std::vector<uint8_t> samples);
  // On the queue: counts a received side-feature message of `bytes` until
  // the returned release (callable from any thread) runs; reading from the
  // connection stops while more than kSideWaiting bytes are counted.
  std::function<void()> holdSide(const ConnPtr& conn, int64_t bytes);
  // The connection as a requester of side features.
  RequesterPtr requester(const ConnPtr& conn, int64_t key);

  static constexpr int64_t kBulkBound = 256 * 1024;
  static constexpr int64_t kAudioQueued = 96000;
  static constexpr int64_t kSideWaiting = 8 * 1024 * 1024;
  static constexpr size_t kFileChunk = 49152;

  uint16_t port() const { return port_; }
  const std::string& label() const { return label_; }
  // The port actually bound (differs from port() only when it was 0).
  uint16_t boundPort() const { return boundPort_; }

  std::string token;
  std::shared_ptr<boost::asio::ssl::context> identity;
  std::function<std::optional<Bytes>()> htmlProvider = [] { return std::nullopt; };
  std::function<std::optional<Bytes>()> certProvider = [] { return std::nullopt; };
  // The page's other files by their clientFiles() name, read on every request.
  std::function<std::optional<Bytes>(const std::string&)> fileProvider = [](const std::string&) {
    return std::nullopt;
  };
  std::function<void(const ConnPtr&)> onWSOpen;
  std::function<void(const ConnPtr&, const std::string&)> onText;
  std::function<void(const ConnPtr&)> onClose;
  std::function<void()> onNeedKey;

  // Outstanding video frames allowed per connection before delta frames are
  // dropped, and the hard ceiling past which key frames are dropped too so a
  // stalled client cannot make memory grow without bound.
  static constexpr int64_t kInflightLimit = 4;
  static constexpr int64_t kInflightCeiling = 16;

  // A TLS client that has not finished its handshake by then is cut off, so
  // half-open connections cannot pile up.
  std::chrono::milliseconds handshakeTimeout{10000};

private:
  void accept();
  void receive(const ConnPtr& c);
  void drop(const ConnPtr& c);
  void parseHTTP(const ConnPtr& c);
  void parseFrames(const ConnPtr& c);
  void upgrade(const ConnPtr& c, const HttpHead& head);
  void respond(const ConnPtr& c, const std::string& status, const std::string& type,
               const std::string& body);
  void sendRaw(const ConnPtr& c, uint8_t opcode, std::shared_ptr<const Bytes> payload, bool tracked);
  void enqueue(const ConnPtr& c, std::vector<uint8_t> head, std::shared_ptr<const Bytes> body,
               std::function<void()> done);
  void pump(const ConnPtr& c);
  void pumpBulk(const ConnPtr& c);

  const uint16_t port_;
  const std::string label_;
  // Shared so that a last reference dropped on the queue itself can hand the
  // join to another thread.
  std::shared_ptr<SerialQueue> q_ = std::make_shared<SerialQueue>("net");
  std::map<int64_t, ConnPtr> conns_;
  int64_t nextId_ = 1;
  // Kept beside conns_ so other queues can ask how many are open.
  std::atomic<int64_t> wsOpen_{0};
  uint16_t boundPort_ = 0;
  std::unique_ptr<boost::asio::ip::tcp::acceptor> listener_;
};

std::shared_ptr<Link> linkOf(const ConnPtr& c);
