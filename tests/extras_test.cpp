// The extras dispatcher in-process: replies reach the requester that asked,
// every handled message is released, and a closed connection or the last
// client leaving abandons uploads.
#include "app/Crypto.h"
#include "extras/Extras.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <filesystem>
#include <mutex>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct Sink {
  std::mutex m;
  std::vector<json> got;
  RequesterPtr requester(int64_t key) {
    auto r = std::make_shared<Requester>();
    r->key = key;
    r->alive = [] { return true; };
    r->send = [this](const std::string& t) {
      std::lock_guard<std::mutex> l(m);
      got.push_back(json::parse(t));
      return true;
    };
    return r;
  }
  std::vector<json> all() {
    std::lock_guard<std::mutex> l(m);
    return got;
  }
};

size_t entries(const std::string& dir) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); ++it) ++n;
  return n;
}

json chunk(const std::string& id, int i, int n) {
  return {{"t", "fput"}, {"id", id}, {"i", i}, {"n", n}, {"d", base64Encode(std::vector<uint8_t>(10, 'x'))},
          {"name", id + ".bin"}};
}

TEST(Extras, RepliesGoToTheAskerAndUploadsEndWithTheirConnection) {
  std::string root = ts::makeTempDir("tolvane-extras");
  fs::create_directories(root + "/home");
  auto ex = Extras::create(root + "/home", root + "/data", true);
  Sink a, b;
  std::atomic<int> released{0};
  auto done = [&] { ++released; };
  ex->handle("ls", {{"t", "ls"}}, a.requester(1), done);
  // Missing or mistyped required fields: handled, nothing sent.
  ex->handle("setclip", {{"t", "setclip"}}, a.requester(1), done);
  ex->handle("fcancel", {{"t", "fcancel"}, {"id", 3}}, a.requester(1), done);
  ex->handle("fput", {{"t", "fput"}, {"id", "x"}}, a.requester(1), done);
  // Uploads of two connections; the first one's connection closes midway.
  ex->handle("fput", chunk("one", 0, 2), a.requester(1), done);
  ex->handle("fput", chunk("two", 0, 2), b.requester(2), done);
  ex->closed(1);
  ex->handle("fput", chunk("one", 1, 2), a.requester(1), done);
  ex->handle("fput", chunk("two", 1, 2), b.requester(2), done);
  // The last client leaves during a third upload.
  ex->handle("fput", chunk("three", 0, 2), b.requester(2), done);
  ex->disconnected();
  ex->handle("fput", chunk("three", 1, 2), b.requester(2), done);
  ex->drain();
  EXPECT_EQ(released, 10);
  auto fromA = a.all();
  ASSERT_EQ(fromA.size(), 1u);
  EXPECT_EQ(fromA[0]["t"], "lsr");
  auto fromB = b.all();
  ASSERT_EQ(fromB.size(), 1u);
  EXPECT_EQ(fromB[0], json({{"t", "fdone"}, {"id", "two"}, {"ok", true}, {"name", "two.bin"}}));
  EXPECT_EQ(entries(root + "/home/Downloads/Tolvane"), 1u);
  EXPECT_EQ(entries(root + "/data/incoming"), 0u);
  ex.reset();
  ts::removeTree(root);
}

}  // namespace
