#pragma once
// A phone on the LAN WebSocket for side-feature tests: sends JSON, picks out
// the text replies it waits for and skips video.
#include "support/WsClient.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ts {

class LanPhone {
public:
  explicit LanPhone(int port, int rcvbuf = 0, const std::string& token = "testtoken");
  bool ok() const { return ok_; }
  void send(const nlohmann::json& message);
  // One text message as it stands, masked with an all-zero key (legal, and
  // cheap for bulk senders).
  void sendText(const std::string& text);
  // The next text message for which want holds; the others are kept in seen().
  std::optional<nlohmann::json> next(const std::function<bool(const nlohmann::json&)>& want,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(60));
  std::optional<nlohmann::json> next(const std::string& kind,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Sends a ping and collects every text message until its pong: what the
  // host had to say before answering.
  std::vector<nlohmann::json> settle(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  const std::vector<nlohmann::json>& seen() const { return seen_; }
  size_t binaryFrames() const { return binary_; }
  RawClient& raw() { return c_; }

private:
  RawClient c_;
  bool ok_ = false;
  std::vector<nlohmann::json> seen_;
  size_t binary_ = 0;
  double pingSeq_ = 0;
};

}  // namespace ts
