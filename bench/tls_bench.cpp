// What TLS costs the LAN server per video packet: the same paced stream of
// video-sized binary WebSocket messages goes to the same number of loopback
// clients over plain HTTP and over HTTPS, and the CPU time of the server's
// "net" thread is divided by the packets it handled.
//
// usage: tls_bench [--clients 1,4] [--seconds 5] [--size 100000] [--fps 60]
#include "lan/Server.h"
#include "lan/TlsIdentity.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using namespace std::chrono_literals;

namespace {

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct ClientResult {
  std::atomic<int64_t> frames{0};
  std::atomic<int64_t> bytes{0};
  double cpu = 0;
};

// One phone: upgrades to WebSocket, then reads frames until the server goes.
template <class Stream>
void readFrames(Stream& s, const std::string& token, ClientResult& r, std::atomic<int>& ready) {
  std::string req = "GET /ws?t=" + token +
                    " HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
  asio::write(s, asio::buffer(req));
  asio::streambuf head;
  asio::read_until(s, head, "\r\n\r\n");
  ++ready;
  std::vector<uint8_t> payload(1 << 20);
  boost::system::error_code ec;
  // Bytes read past the response head belong to the first frame.
  std::vector<uint8_t> pending(asio::buffers_begin(head.data()), asio::buffers_end(head.data()));
  std::string all(pending.begin(), pending.end());
  pending.assign(pending.begin() + static_cast<std::ptrdiff_t>(all.find("\r\n\r\n") + 4), pending.end());
  auto readExactly = [&](uint8_t* into, size_t n) {
    size_t fromPending = std::min(n, pending.size());
    std::copy(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(fromPending), into);
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(fromPending));
    if (n > fromPending) asio::read(s, asio::buffer(into + fromPending, n - fromPending), ec);
    return !ec;
  };
  double cpu0 = threadCpuSeconds();
  for (;;) {
    uint8_t h[10];
    if (!readExactly(h, 2)) break;
    uint64_t len = h[1] & 0x7f;
    if (len == 126) {
      if (!readExactly(h + 2, 2)) break;
      len = (uint64_t(h[2]) << 8) | h[3];
    } else if (len == 127) {
      if (!readExactly(h + 2, 8)) break;
      len = 0;
      for (int i = 2; i < 10; ++i) len = (len << 8) | h[i];
    }
    if (len > payload.size()) payload.resize(len);
    if (!readExactly(payload.data(), len)) break;
    if ((h[0] & 0x0f) == 2) {
      ++r.frames;
      r.bytes += int64_t(len);
    }
  }
  r.cpu = threadCpuSeconds() - cpu0;
}

struct Row {
  std::string mode;
  int clients = 0;
  int64_t sent = 0, delivered = 0;
  double serverCpu = 0, clientCpu = 0, seconds = 0;
};

Row runOnce(bool tls, const std::shared_ptr<ssl::context>& identity, const std::string& caFile, int clients,
            double seconds, size_t size, int fps) {
  const std::string token = "bench";
  auto server = std::make_shared<Server>(0, tls ? "https" : "http");
  server->token = token;
  if (tls) server->identity = identity;
  server->onWSOpen = [](const ConnPtr& c) { c->wantsVideo = true; };
  server->start();
  uint16_t port = server->boundPort();

  std::vector<ClientResult> results(static_cast<size_t>(clients));
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      asio::io_context io;
      asio::ip::tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), port);
      try {
        if (tls) {
          ssl::context ctx(ssl::context::tls_client);
          ctx.load_verify_file(caFile);
          ssl::stream<asio::ip::tcp::socket> s(io, ctx);
          s.set_verify_mode(ssl::verify_peer);
          s.next_layer().connect(ep);
          s.handshake(ssl::stream_base::client);
          readFrames(s, token, results[size_t(i)], ready);
        } else {
          asio::ip::tcp::socket s(io);
          s.connect(ep);
          readFrames(s, token, results[size_t(i)], ready);
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "client %d: %s\n", i, e.what());
        ++ready;
      }
    });
  }
  while (ready < clients) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(100ms);  // onWSOpen has run for everyone

  auto packet = std::make_shared<Bytes>(size);
  for (size_t i = 0; i < size; ++i) packet->at(i) = uint8_t(rand());
  double cpu0 = 0, cpu1 = 0;
  server->queue().sync([&] { cpu0 = threadCpuSeconds(); });
  auto start = std::chrono::steady_clock::now();
  auto period = std::chrono::nanoseconds(int64_t(1e9 / fps));
  int64_t sent = 0;
  int64_t total = int64_t(seconds * fps);
  for (; sent < total; ++sent) {
    std::this_thread::sleep_until(start + period * sent);
    server->sendVideo(packet, sent % fps == 0);
  }
  // Let the last sends finish before reading the clock.
  std::this_thread::sleep_for(200ms);
  server->queue().sync([&] { cpu1 = threadCpuSeconds(); });
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  server.reset();  // closes every connection; the clients' reads end
  for (auto& t : threads) t.join();

  Row row{tls ? "https" : "http", clients, sent, 0, cpu1 - cpu0, 0, wall};
  for (auto& r : results) {
    row.delivered += r.frames;
    row.clientCpu += r.cpu;
  }
  return row;
}

std::vector<int> parseList(const std::string& text) {
  std::vector<int> out;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ','))
    if (int v = std::atoi(item.c_str()); v > 0) out.push_back(v);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> clientCounts = {1, 4};
  double seconds = 5;
  size_t size = 100000;
  int fps = 60;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--clients") clientCounts = parseList(v);
    else if (k == "--seconds") seconds = std::atof(v.c_str());
    else if (k == "--size") size = size_t(std::atol(v.c_str()));
    else if (k == "--fps") fps = std::atoi(v.c_str());
  }
  if (clientCounts.empty() || seconds <= 0 || size == 0 || fps <= 0) {
    std::fprintf(stderr, "usage: tls_bench [--clients 1,4] [--seconds 5] [--size 100000] [--fps 60]\n");
    return 2;
  }

  char tmpl[] = "/tmp/tolvane-tlsbench-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  auto identity = loadIdentity("127.0.0.1", dir, false);
  if (!identity) return 1;
  std::string ca = dir + "/cert/ca.pem";

  std::printf("%zu-byte packets at %d/s for %.0f s, key frame every %d\n", size, fps, seconds, fps);
  std::printf("%-6s %7s %7s %9s %8s %14s %15s %15s\n", "mode", "clients", "sent", "delivered", "dropped",
              "server us/pkt", "server us/copy", "client us/copy");
  for (int n : clientCounts) {
    for (bool tls : {false, true}) {
      Row r = runOnce(tls, identity, ca, n, seconds, size, fps);
      int64_t offered = r.sent * r.clients;
      std::printf("%-6s %7d %7lld %9lld %8lld %14.1f %15.1f %15.1f\n", r.mode.c_str(), r.clients,
                  (long long)r.sent, (long long)r.delivered, (long long)(offered - r.delivered),
                  r.serverCpu * 1e6 / double(r.sent),
                  r.delivered ? r.serverCpu * 1e6 / double(r.delivered) : 0.0,
                  r.delivered ? r.clientCpu * 1e6 / double(r.delivered) : 0.0);
      std::fflush(stdout);
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
