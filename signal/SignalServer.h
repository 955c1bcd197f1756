#pragma once
// The rendezvous server: accepts sockets (plain or TLS), limits how many there
// are in all and per source address, and carries out what Rooms decides.
// Everything runs on its own queue "signal".
#include "app/SerialQueue.h"
#include "signal/Rooms.h"
#include "signal/Session.h"
#include "signal/TurnCredentials.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct SignalConfig {
  std::string bind = "0.0.0.0";
  uint16_t port = 8080;  // 0: any free port (see boundPort)
  std::vector<std::string> stun;
  // Relay servers handed out with short-lived credentials made from the secret.
  std::vector<std::string> turn;
  std::string turnSecret;
  int64_t turnTtl = TurnCredentials::kDefaultTtl;
  std::optional<std::string> tlsCert, tlsKey;
  size_t maxSockets = 2000;
  size_t maxPerAddress = 64;  // 0: no limit (behind a proxy every socket has its address)
  Rooms::Limits rooms;
  SessionLimits session;
};

class SignalServer : public std::enable_shared_from_this<SignalServer> {
public:
  explicit SignalServer(SignalConfig cfg);
  ~SignalServer();

  // Loads the TLS identity, binds and starts accepting; the reason when it cannot.
  std::optional<std::string> start();
  // Closes the listener and every socket; idempotent.
  void stop();
  uint16_t boundPort() const { return port_.load(); }

private:
  void accept();
  void admit(boost::asio::ip::tcp::socket socket);
  void onText(uint64_t id, const std::string& text);
  void onEnd(uint64_t id, const std::string& reason);
  void apply(uint64_t from, const Rooms::Step& step);
  int64_t nowMs() const;

  struct Client {
    std::shared_ptr<Session> session;
    std::string address;
    bool ws = false;
  };

  SignalConfig cfg_;
  // Shared so that a last reference dropped inside one of our own handlers
  // can hand the join to another thread.
  std::shared_ptr<SerialQueue> q_ = std::make_shared<SerialQueue>("signal");
  std::optional<boost::asio::ip::tcp::acceptor> acceptor_;
  std::optional<boost::asio::ssl::context> tls_;
  std::shared_ptr<QueueTimer> retry_;
  Rooms rooms_;
  std::unordered_map<uint64_t, Client> clients_;
  std::map<std::string, size_t> perAddress_;
  uint64_t nextId_ = 1;  // Rooms reads 0 as "nobody"
  std::atomic<uint16_t> port_{0};
  const std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
};
