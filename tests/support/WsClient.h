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
  // Timeouts bound what should arrive; they suit a sanitizer build on a busy
  // machine, and a passing test never waits them out.
  // Reads whatever arrives until the peer closes or the timeout passes.
  std::string readAll(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Reads exactly n bytes; on close or timeout it returns what there is and
  // keeps nothing back.
  std::string readN(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // True when the peer has closed the connection (read returns 0 or error).
  bool peerClosed(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  void close();
  int fd() const { return fd_; }

  // WebSocket helpers.
  bool upgrade(const std::string& token, const std::string& extra = "");
  void sendFrame(uint8_t opcode, const std::string& payload, bool mask = true);
  struct Frame {
    uint8_t opcode;
    std::string payload;
  };
  // The next whole frame; nothing on timeout, with what came of the frame
  // kept for the next call.
  std::optional<Frame> readFrame(std::chrono::milliseconds timeout = std::chrono::seconds(30));

private:
  // Reads into pending_ until it holds n bytes; false on close or timeout.
  bool fill(size_t n, std::chrono::steady_clock::time_point end);
  int fd_ = -1;
  std::string pending_;
};

std::string maskedFrame(uint8_t opcode, const std::string& payload);

}  // namespace ts
