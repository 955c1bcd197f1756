#include "support/WsClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ts {

RawClient::RawClient(int port, int rcvbuf) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (rcvbuf > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

RawClient::~RawClient() { close(); }

void RawClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void RawClient::sendBytes(const std::string& bytes) {
  size_t off = 0;
  while (fd_ >= 0 && off < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

static bool waitReadable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

std::string RawClient::readAll(std::chrono::milliseconds timeout) {
  std::string out = std::move(pending_);
  pending_.clear();
  auto end = std::chrono::steady_clock::now() + timeout;
  char buf[65536];
  while (fd_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !waitReadable(fd_, left)) break;
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

bool RawClient::fill(size_t n, std::chrono::steady_clock::time_point end) {
  char buf[65536];
  while (pending_.size() < n && fd_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !waitReadable(fd_, left)) break;
    ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
    if (r <= 0) break;
    pending_.append(buf, static_cast<size_t>(r));
  }
  return pending_.size() >= n;
}

std::string RawClient::readN(size_t n, std::chrono::milliseconds timeout) {
  fill(n, std::chrono::steady_clock::now() + timeout);
  std::string out = pending_.substr(0, n);
  pending_.erase(0, out.size());
  return out;
}

bool RawClient::peerClosed(std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  char buf[65536];
  while (fd_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !waitReadable(fd_, left)) return false;
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return true;
    pending_.append(buf, static_cast<size_t>(n));
  }
  return true;
}

bool RawClient::upgrade(const std::string& token, const std::string& extra) {
  sendBytes("GET /ws?t=" + token +
            " HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n" + extra);
  std::string head;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (head.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < end) {
    std::string b = readN(1, std::chrono::milliseconds(500));
    if (b.empty() && peerClosed(std::chrono::milliseconds(1))) break;
    head += b;
  }
  return head.rfind("HTTP/1.1 101 Switching Protocols\r\n", 0) == 0 &&
         head.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n") != std::string::npos;
}

std::string maskedFrame(uint8_t opcode, const std::string& payload) {
  std::string f;
  f.push_back(static_cast<char>(0x80 | opcode));
  size_t n = payload.size();
  if (n < 126) {
    f.push_back(static_cast<char>(0x80 | n));
  } else if (n <= 65535) {
    f.push_back(static_cast<char>(0x80 | 126));
    f.push_back(static_cast<char>(n >> 8));
    f.push_back(static_cast<char>(n));
  } else {
    f.push_back(static_cast<char>(0x80 | 127));
    for (int i = 7; i >= 0; --i) f.push_back(static_cast<char>(uint64_t(n) >> (8 * i)));
  }
  const char key[4] = {0x12, 0x34, 0x56, 0x78};
  f.append(key, 4);
  for (size_t i = 0; i < n; ++i) f.push_back(static_cast<char>(payload[i] ^ key[i & 3]));
  return f;
}

void RawClient::sendFrame(uint8_t opcode, const std::string& payload, bool mask) {
  if (mask) {
    sendBytes(maskedFrame(opcode, payload));
    return;
  }
  std::string f;
  f.push_back(static_cast<char>(0x80 | opcode));
  f.push_back(static_cast<char>(payload.size()));
  sendBytes(f + payload);
}

std::optional<RawClient::Frame> RawClient::readFrame(std::chrono::milliseconds timeout) {
  // Nothing is taken from pending_ until the whole frame is there, so a frame
  // that is slow to arrive is still read whole by the next call.
  auto end = std::chrono::steady_clock::now() + timeout;
  if (!fill(2, end)) return std::nullopt;
  uint64_t len = static_cast<uint8_t>(pending_[1]) & 0x7F;
  size_t head = 2;
  if (len == 126) {
    head = 4;
    if (!fill(head, end)) return std::nullopt;
    len = (uint64_t(static_cast<uint8_t>(pending_[2])) << 8) | static_cast<uint8_t>(pending_[3]);
  } else if (len == 127) {
    head = 10;
    if (!fill(head, end)) return std::nullopt;
    len = 0;
    for (size_t i = 2; i < head; ++i) len = (len << 8) | static_cast<uint8_t>(pending_[i]);
  }
  if (len > (uint64_t(1) << 32) || !fill(head + static_cast<size_t>(len), end)) return std::nullopt;
  Frame f{static_cast<uint8_t>(static_cast<uint8_t>(pending_[0]) & 0x0F), pending_.substr(head, static_cast<size_t>(len))};
  pending_.erase(0, head + static_cast<size_t>(len));
  return f;
}

}  // namespace ts
