// Many WebSocket clients on loopback receiving video-sized packets from one
// server: packets and bytes per second, CPU per packet on the server's
// thread, and what one stalled client does to memory.
#include "lan/Server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

int connectTo(int port, int rcvbuf = 0) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (rcvbuf) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  std::string req = "GET /ws?t=b HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: x\r\n\r\n";
  send(fd, req.data(), req.size(), 0);
  return fd;
}

double threadCpu() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

long rssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int clients = argc > 1 ? std::atoi(argv[1]) : 8;
  int packets = argc > 2 ? std::atoi(argv[2]) : 3000;
  size_t size = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 60000;

  auto server = std::make_shared<Server>(0, "bench");
  server->token = "b";
  server->onWSOpen = [](const ConnPtr& c) { c->wantsVideo = true; };
  std::atomic<int> needKeys{0};
  server->onNeedKey = [&] { ++needKeys; };
  server->start();
  int port = server->boundPort();

  std::atomic<long long> received{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < clients; ++i) {
    int fd = connectTo(port);
    readers.emplace_back([fd, &received, &stop] {
      std::vector<char> buf(1 << 16);
      while (!stop) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        received += n;
      }
      close(fd);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  auto packet = std::make_shared<const Bytes>(size, 0x42);
  double cpu0 = 0, cpu1 = 0;
  server->queue().sync([&] { cpu0 = threadCpu(); });
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < packets; ++i) {
    server->sendVideo(packet, i % 120 == 0);
    // Pace like a 240 fps encoder would, so the bench measures steady state.
    if (i % 4 == 3) std::this_thread::sleep_for(std::chrono::microseconds(4000));
  }
  server->queue().sync([&] { cpu1 = threadCpu(); });
  // Drained when nothing more arrives for 300 ms.
  long long last = -1;
  auto tEnd = std::chrono::steady_clock::now();
  while (received != last) {
    last = received;
    tEnd = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  double secs = std::chrono::duration<double>(tEnd - t0).count();
  double delivered = static_cast<double>(received) / static_cast<double>(size);
  std::printf("clients %d, packet %zu bytes, %d packets offered\n", clients, size, packets);
  std::printf("delivered %.0f of %lld packets (the rest dropped for back-pressure) in %.2f s: %.0f packets/s, %.1f MB/s\n", delivered,
              static_cast<long long>(packets) * clients, secs, delivered / secs, received / secs / 1e6);
  std::printf("server thread CPU per offered packet per client: %.2f us (%d key requests)\n",
              (cpu1 - cpu0) * 1e6 / packets / clients, needKeys.load());

  // A stalled client: it never reads. Memory must level off.
  int stalled = connectTo(port, 4096);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  long rss0 = rssKb();
  long rssMax = rss0;
  for (int i = 0; i < 2000; ++i) {
    server->sendVideo(std::make_shared<const Bytes>(size, 0x43), i % 60 == 0);
    if (i % 100 == 0) rssMax = std::max(rssMax, rssKb());
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  int64_t inflight = 0;
  server->queue().sync([&] {
    for (auto& [id, c] : server->conns()) inflight = std::max(inflight, c->inflight);
  });
  std::printf("stalled client: 2000 packets later RSS grew %ld kB (peak %ld kB), max in flight %lld\n",
              rssKb() - rss0, rssMax - rss0, static_cast<long long>(inflight));
  stop = true;
  close(stalled);
  server.reset();
  for (auto& t : readers) t.join();
  return 0;
}
