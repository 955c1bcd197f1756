#include "support/LanPhone.h"

using nlohmann::json;

namespace ts {

LanPhone::LanPhone(int port, int rcvbuf, const std::string& token) : c_(port, rcvbuf) {
  ok_ = c_.connected() && c_.upgrade(token);
}

void LanPhone::send(const json& message) { c_.sendFrame(1, message.dump()); }

void LanPhone::sendText(const std::string& text) {
  std::string f;
  f.reserve(text.size() + 14);
  f.push_back(static_cast<char>(0x81));
  const uint64_t n = text.size();
  if (n < 126) {
    f.push_back(static_cast<char>(0x80 | n));
  } else if (n <= 65535) {
    f.push_back(static_cast<char>(0x80 | 126));
    f.push_back(static_cast<char>(n >> 8));
    f.push_back(static_cast<char>(n));
  } else {
    f.push_back(static_cast<char>(0x80 | 127));
    for (int i = 7; i >= 0; --i) f.push_back(static_cast<char>(n >> (8 * i)));
  }
  f.append(4, '\0');
  f += text;
  c_.sendBytes(f);
}

std::optional<json> LanPhone::next(const std::function<bool(const json&)>& want, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    auto f = c_.readFrame(left);
    if (!f) return std::nullopt;
    if (f->opcode != 1) {
      ++binary_;
      continue;
    }
    auto j = json::parse(f->payload, nullptr, false);
    if (j.is_discarded()) continue;
    if (want(j)) return j;
    seen_.push_back(std::move(j));
  }
  return std::nullopt;
}

std::optional<json> LanPhone::next(const std::string& kind, std::chrono::milliseconds timeout) {
  return next([&](const json& j) { return j.is_object() && j.value("t", "") == kind; }, timeout);
}

std::vector<json> LanPhone::settle(std::chrono::milliseconds timeout) {
  double c = ++pingSeq_ + 0.5;
  send({{"t", "ping"}, {"c", c}});
  std::vector<json> before;
  next(
      [&](const json& j) {
        if (j.value("t", "") == "pong" && j.value("c", 0.0) == c) return true;
        before.push_back(j);
        return false;
      },
      timeout);
  return before;
}

}  // namespace ts
