// The LAN server in-process, poked with exact bytes from a plain socket.
#include "lan/Server.h"
#include "support/TestSupport.h"
#include "support/WsClient.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

struct Events {
  std::mutex m;
  std::vector<std::string> log;
  std::atomic<int> needKey{0};
  void add(const std::string& s) {
    std::lock_guard<std::mutex> l(m);
    log.push_back(s);
  }
  std::vector<std::string> get() {
    std::lock_guard<std::mutex> l(m);
    return log;
  }
};

class ServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    server = std::make_shared<Server>(0, "http");
    server->token = "tok";
    server->htmlProvider = [this]() -> std::optional<Bytes> {
      if (!page) return std::nullopt;
      return Bytes(page->begin(), page->end());
    };
    server->certProvider = [this]() -> std::optional<Bytes> {
      if (!cert) return std::nullopt;
      return Bytes(cert->begin(), cert->end());
    };
    server->onWSOpen = [this](const ConnPtr& c) {
      c->wantsVideo = true;
      ev.add("open " + std::to_string(c->id));
    };
    server->onText = [this](const ConnPtr&, const std::string& t) { ev.add("text " + t); };
    server->onClose = [this](const ConnPtr& c) { ev.add("close " + std::to_string(c->id)); };
    server->onNeedKey = [this] { ++ev.needKey; };
    server->start();
    port = server->boundPort();
  }
  void TearDown() override {
    server->stop();
    server.reset();
  }

  size_t connCount() {
    size_t n = 0;
    server->queue().sync([&] { n = server->conns().size(); });
    return n;
  }
  bool waitConns(size_t n) {
    return ts::waitUntil([&] { return connCount() == n; });
  }
  // Packets the server has handed to its sockets and not yet seen written.
  int64_t inflight() {
    int64_t n = 0;
    server->queue().sync([&] {
      for (auto& [id, c] : server->conns()) n += c->inflight;
    });
    return n;
  }
  std::string get(const std::string& request) {
    ts::RawClient c(port);
    c.sendBytes(request);
    return c.readAll();
  }

  std::shared_ptr<Server> server;
  std::optional<std::string> page = std::string("<html>page</html>");
  std::optional<std::string> cert;
  Events ev;
  int port = 0;
};

std::string answer(const std::string& status, const std::string& type, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
}
const std::string kPlain = "text/plain; charset=utf-8";

}  // namespace

TEST_F(ServerTest, AnswersEveryRouteAndClosesAfterwards) {
  EXPECT_EQ(get("GET /?t=tok HTTP/1.1\r\n\r\n"), answer("200 OK", "text/html; charset=utf-8", "<html>page</html>"));
  EXPECT_EQ(get("GET /index.html?t=tok HTTP/1.1\r\n\r\n"), answer("200 OK", "text/html; charset=utf-8", "<html>page</html>"));
  EXPECT_EQ(get("GET / HTTP/1.1\r\n\r\n"), answer("403 Forbidden", kPlain, "403 Forbidden: a token is required"));
  EXPECT_EQ(get("POST /?t=tok HTTP/1.1\r\n\r\n"), answer("405 Method Not Allowed", kPlain, "405"));
  EXPECT_EQ(get("GET\r\n\r\n"), answer("405 Method Not Allowed", kPlain, "405"));
  EXPECT_EQ(get("GET /ws?t=tok HTTP/1.1\r\nSec-WebSocket-Key: a\r\n\r\n"), answer("404 Not Found", kPlain, "404"));
  EXPECT_EQ(get("GET /cert.cer?t=tok HTTP/1.1\r\n\r\n"), answer("404 Not Found", kPlain, "404"));
  cert = std::string("\x30\x82\x01\x00", 4);
  EXPECT_EQ(get("GET /cert.cer?t=tok HTTP/1.1\r\n\r\n"), answer("200 OK", "application/x-x509-ca-cert", *cert));
  page.reset();
  EXPECT_EQ(get("GET /?t=tok HTTP/1.1\r\n\r\n"),
            answer("500 Internal Server Error", kPlain, "client/index.html was not found"));
  EXPECT_TRUE(waitConns(0));
  EXPECT_TRUE(ev.get().empty());  // no WebSocket was ever opened
}

TEST_F(ServerTest, HeadLimitsAndBadTextCloseWithoutAnswer) {
  {
    ts::RawClient c(port);
    c.sendBytes(std::string(16384, 'a'));
    EXPECT_FALSE(c.peerClosed(300ms));  // exactly the limit: still waiting
    c.sendBytes("a");
    EXPECT_TRUE(c.peerClosed());
    EXPECT_EQ(c.readAll(100ms), "");
  }
  {
    ts::RawClient c(port);
    c.sendBytes("GET /\xff\xfe?t=tok HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(c.peerClosed());
    EXPECT_EQ(c.readAll(100ms), "");
  }
  // Abrupt disconnects mid-head leak nothing.
  for (int i = 0; i < 20; ++i) {
    ts::RawClient c(port);
    c.sendBytes("GET /?t=tok HTTP/1.1\r\nHost:");
  }
  EXPECT_TRUE(waitConns(0));
}

TEST_F(ServerTest, FramesBehindTheUpgradeArriveAfterOpen) {
  ts::RawClient c(port);
  ASSERT_TRUE(c.upgrade("tok", ts::maskedFrame(1, "first") + ts::maskedFrame(1, "second")));
  ts::waitUntil([&] { return ev.get().size() >= 3; });
  auto log = ev.get();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].rfind("open ", 0), 0u);
  EXPECT_EQ(log[1], "text first");
  EXPECT_EQ(log[2], "text second");
  int64_t ws = 0;
  server->queue().sync([&] { ws = server->wsCount(); });
  EXPECT_EQ(ws, 1);
}

TEST_F(ServerTest, TextPingAndCloseFrames) {
  ts::RawClient c(port);
  ASSERT_TRUE(c.upgrade("tok"));
  c.sendFrame(1, "masked");
  c.sendFrame(1, "plain", false);
  c.sendFrame(1, std::string("\xc3\x28", 2));  // not UTF-8: dropped
  c.sendFrame(2, "binary");                    // ignored
  c.sendFrame(9, "ab");
  auto pong = c.readFrame();
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->opcode, 10);
  EXPECT_EQ(pong->payload, "ab");
  c.sendFrame(8, "");
  EXPECT_TRUE(c.peerClosed());
  EXPECT_EQ(c.readAll(100ms), "");  // no close frame is sent back
  EXPECT_TRUE(waitConns(0));
  auto log = ev.get();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1], "text masked");
  EXPECT_EQ(log[2], "text plain");
  EXPECT_EQ(log[3].rfind("close ", 0), 0u);
}

TEST_F(ServerTest, OversizedFrameClosesAndReportsOnce) {
  ts::RawClient c(port);
  ASSERT_TRUE(c.upgrade("tok"));
  std::string h = "\x82\xFF";
  uint64_t len = 4000001;
  for (int i = 7; i >= 0; --i) h.push_back(static_cast<char>(len >> (8 * i)));
  c.sendBytes(h + "mask");
  EXPECT_TRUE(c.peerClosed());
  EXPECT_TRUE(waitConns(0));
  auto log = ev.get();
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [](auto& s) { return s.rfind("close", 0) == 0; }), 1);
}

TEST_F(ServerTest, ManyAbruptClientsLeaveNoConnections) {
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        ts::RawClient c(port);
        if (i % 2) {
          c.upgrade("tok");
          c.sendBytes(std::string("\x81\xFE\x10", 3));  // a frame cut short
        } else {
          c.sendBytes("GET /?t=tok HTTP/1.1\r\n");
        }
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_TRUE(waitConns(0));
  auto log = ev.get();
  auto opens = std::count_if(log.begin(), log.end(), [](auto& s) { return s.rfind("open", 0) == 0; });
  auto closes = std::count_if(log.begin(), log.end(), [](auto& s) { return s.rfind("close", 0) == 0; });
  EXPECT_EQ(opens, closes);
}

TEST_F(ServerTest, VideoBackPressureDropsDeltasAndKeepsMemoryBounded) {
  // Two clients that never read, with tiny receive buffers, so sends stall.
  std::vector<std::unique_ptr<ts::RawClient>> clients;
  for (int i = 0; i < 2; ++i) {
    clients.push_back(std::make_unique<ts::RawClient>(port, 4096));
    ASSERT_TRUE(clients.back()->upgrade("tok"));
  }
  ASSERT_TRUE(waitConns(2));
  auto packet = [](char tag) { return std::make_shared<const Bytes>(1000000, static_cast<uint8_t>(tag)); };
  server->sendVideo(packet('d'), false);  // before any key frame: skipped
  server->sendVideo(packet('K'), true);
  for (int i = 0; i < 12; ++i) server->sendVideo(packet('d'), false);
  int64_t maxInflight = 0;
  server->queue().sync([&] {
    for (auto& [id, c] : server->conns()) {
      maxInflight = std::max(maxInflight, c->inflight);
      EXPECT_TRUE(c->needKey);
    }
  });
  EXPECT_LE(maxInflight, Server::kInflightLimit);
  EXPECT_GE(ev.needKey.load(), 1);
  // One request per call, however many connections dropped.
  EXPECT_LE(ev.needKey.load(), 12);
  // A stalled client gets key frames up to the ceiling, never more.
  for (int i = 0; i < 40; ++i) server->sendVideo(packet('K'), true);
  server->queue().sync([&] {
    for (auto& [id, c] : server->conns()) EXPECT_LE(c->inflight, Server::kInflightCeiling);
  });
}

TEST_F(ServerTest, ReceiverSeesAKeyFrameAfterEveryGap) {
  ts::RawClient c(port, 4096);
  ASSERT_TRUE(c.upgrade("tok"));
  ASSERT_TRUE(waitConns(1));
  auto packet = [](uint8_t seq, bool key) {
    // Larger than the kernel's socket buffers can swallow in a few packets.
    auto b = std::make_shared<Bytes>(2000000, 0);
    (*b)[0] = key ? 'K' : 'd';
    (*b)[1] = seq;
    return std::shared_ptr<const Bytes>(b);
  };
  uint8_t seq = 0;
  server->sendVideo(packet(seq++, true), true);
  for (int i = 0; i < 30; ++i) server->sendVideo(packet(seq++, false), false);
  server->sendVideo(packet(seq++, true), true);
  for (int i = 0; i < 3; ++i) server->sendVideo(packet(seq++, false), false);
  server->queue().sync([] {});  // every decision made before the client reads
  // Reads until the server has nothing left to write and nothing more is on
  // the way: a pause in the flow is no end while the server still writes.
  std::vector<std::pair<char, int>> got;
  auto deadline = std::chrono::steady_clock::now() + 120s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto f = c.readFrame(500ms)) {
      got.push_back({f->payload[0], static_cast<uint8_t>(f->payload[1])});
      continue;
    }
    if (inflight() > 0) continue;
    // All written: what is left is in the socket and comes at once.
    auto f = c.readFrame(2s);
    if (!f) break;
    got.push_back({f->payload[0], static_cast<uint8_t>(f->payload[1])});
  }
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got.front().first, 'K');
  EXPECT_LT(got.size(), 35u);  // some deltas were dropped
  for (size_t i = 1; i < got.size(); ++i) {
    bool gap = got[i].second != got[i - 1].second + 1;
    if (gap) {
      EXPECT_EQ(got[i].first, 'K') << "delta " << got[i].second << " after a gap";
    }
  }
  // Once the client has caught up, a key frame and the deltas after it flow.
  server->sendVideo(packet(seq++, true), true);
  server->sendVideo(packet(seq++, false), false);
  auto k = c.readFrame(), d = c.readFrame();
  ASSERT_TRUE(k && d);
  EXPECT_EQ(k->payload[0], 'K');
  EXPECT_EQ(d->payload[0], 'd');
  EXPECT_EQ(static_cast<uint8_t>(d->payload[1]), seq - 1);
}
