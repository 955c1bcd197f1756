#pragma once
// A deliberately plain blocking client for poking the server with exact bytes.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ts {

class RawClient {
public:
  // rcvbuf > 0 shrinks the receive buffer before connecting (a slow reader).
  explicit RawClient(int port, int rcvbuf = 0);
  ~RawClient();
  bool connected() const { return fd_ >= 0; }
  void sendBytes(const std::string& bytes);
  // Reads whatever arrives until the peer closes or the timeout passes.
  std::string readAll(std::chrono::milliseconds timeout = std::chrono::seconds(3));
  // Reads exactly n bytes (less on close or timeout).
  std::string readN(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(3));
  // True when the peer has closed the connection (read returns 0 or error).
  bool peerClosed(std::chrono::milliseconds timeout = std::chrono::seconds(3));
  void close();
  int fd() const { return fd_; }

  // WebSocket helpers.
  bool upgrade(const std::string& token, const std::string& extra = "");
  void sendFrame(uint8_t opcode, const std::string& payload, bool mask = true);
  struct Frame {
    uint8_t opcode;
    std::string payload;
  };
  std::optional<Frame> readFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
  int fd_ = -1;
  std::string pending_;
};

std::string maskedFrame(uint8_t opcode, const std::string& payload);

}  // namespace ts
