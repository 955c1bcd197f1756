// The LAN server's side-feature path in-process: file messages never hold up
// video by more than one, the requester's buffered count, audio's drop rule,
// and reading held while received side-feature messages wait.
#include "lan/Server.h"
#include "support/TestSupport.h"
#include "support/WsClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

class ServerBulk : public ::testing::Test {
protected:
  void SetUp() override {
    server = std::make_shared<Server>(0, "http");
    server->token = "tok";
    server->onWSOpen = [this](const ConnPtr& c) {
      c->wantsVideo = true;
      std::lock_guard<std::mutex> l(m);
      conn = c;
    };
    server->onText = [this](const ConnPtr& c, const std::string& t) {
      // Holds every message as a side-feature message until released.
      auto release = server->holdSide(c, static_cast<int64_t>(t.size()));
      std::lock_guard<std::mutex> l(m);
      texts.push_back(t);
      releases.push_back(release);
    };
    server->start();
    port = server->boundPort();
  }
  void TearDown() override {
    server->stop();
    server.reset();
  }
  ConnPtr waitConn() {
    ts::waitUntil([&] {
      std::lock_guard<std::mutex> l(m);
      return conn != nullptr;
    });
    std::lock_guard<std::mutex> l(m);
    return conn;
  }
  std::shared_ptr<Server> server;
  int port = 0;
  std::mutex m;
  ConnPtr conn;
  std::vector<std::string> texts;
  std::vector<std::function<void()>> releases;
};

TEST_F(ServerBulk, VideoAndControlOvertakeQueuedFileMessages) {
  ts::RawClient c(port);
  ASSERT_TRUE(c.upgrade("tok"));
  auto conn = waitConn();
  auto req = server->requester(conn, 5);
  EXPECT_EQ(req->key, 5);
  EXPECT_EQ(req->chunk, 49152u);
  EXPECT_EQ(req->bulkLimit, 256 * 1024);
  const std::string file(65000, 'f');
  // Handed over in one go from the server's own queue, so that no write
  // completes in between and the order below is exact.
  server->queue().sync([&] {
    for (int i = 0; i < 30; ++i) req->send("F" + std::to_string(i) + file);
    server->sendVideo(std::make_shared<const Bytes>(Bytes{1, 1, 0, 0}), true);
    server->sendText(conn, "control");
  });
  // Counted as soon as they are handed over.
  EXPECT_GE(req->buffered(), 20 * 65000);
  std::vector<std::string> order;
  while (order.size() < 32) {
    auto f = c.readFrame();
    ASSERT_TRUE(f);
    order.push_back(f->opcode == 2 ? "video" : f->payload.substr(0, f->payload[0] == 'F' ? f->payload.find('f') : 7));
  }
  auto at = [&](const std::string& what) { return std::find(order.begin(), order.end(), what) - order.begin(); };
  // Behind the one file message already in the socket's queue, not 30.
  EXPECT_EQ(at("video"), 1);
  EXPECT_EQ(at("control"), 2);
  // The file messages themselves stay in order.
  std::vector<std::string> files;
  for (auto& o : order)
    if (o[0] == 'F') files.push_back(o);
  for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(files[i], "F" + std::to_string(i));
  EXPECT_TRUE(ts::waitUntil([&] { return req->buffered() == 0; }));
  EXPECT_TRUE(req->alive());
  c.close();
  EXPECT_TRUE(ts::waitUntil([&] { return !req->alive(); }));
  EXPECT_FALSE(req->send("late"));
  EXPECT_EQ(req->buffered(), 0);
}

TEST_F(ServerBulk, AudioIsOneBinaryMessageAndDroppedWhileTooMuchWaits) {
  ts::RawClient c(port, 4096);  // a reader that does not read for now
  ASSERT_TRUE(c.upgrade("tok"));
  auto conn = waitConn();
  auto req = server->requester(conn, 1);
  std::vector<uint8_t> samples(4800, 0x11);
  samples[0] = 0x22;
  // All from one handler of the server's queue: no write completes between.
  server->queue().sync([&] {
    for (int i = 0; i < 400; ++i) req->sendAudio(samples);
    server->sendText(conn, "end");
  });
  int audio = 0;
  for (;;) {
    auto f = c.readFrame();
    ASSERT_TRUE(f);
    if (f->opcode == 1) break;
    ASSERT_EQ(f->opcode, 2);
    ASSERT_EQ(f->payload.size(), 4801u);
    EXPECT_EQ(f->payload[0], 2);
    EXPECT_EQ(f->payload[1], 0x22);
    ++audio;
  }
  // Taken while at most 96,000 bytes waited: 20 of 4801 bytes, the rest dropped.
  EXPECT_EQ(audio, 20);
}

TEST_F(ServerBulk, ReadingWaitsWhileSideMessagesPileUp) {
  ts::RawClient c(port);
  ASSERT_TRUE(c.upgrade("tok"));
  waitConn();
  const std::string chunk(1 << 20, 'u');
  std::thread sender([&] {
    for (int i = 0; i < 24; ++i) c.sendFrame(1, chunk);
  });
  auto count = [&] {
    std::lock_guard<std::mutex> l(m);
    return texts.size();
  };
  // Past 8 MB unhandled the server stops taking more.
  EXPECT_TRUE(ts::waitUntil([&] { return count() >= 9; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_LE(count(), 10u);
  // Handling them lets the rest in.
  EXPECT_TRUE(ts::waitUntil([&] {
    std::vector<std::function<void()>> now;
    {
      std::lock_guard<std::mutex> l(m);
      now.swap(releases);
    }
    for (auto& r : now) r();
    return count() == 24;
  }));
  sender.join();
  EXPECT_EQ(count(), 24u);
}

}  // namespace
