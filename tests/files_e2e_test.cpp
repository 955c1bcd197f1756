// A gigabyte each way over the LAN WebSocket against the host binary: the
// bytes arrive unchanged and the host's memory stays flat, also when the
// phone ignores acknowledgements or reads slowly.
#include "app/Crypto.h"
#include "support/LanPhone.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Incremental SHA-256 (OpenSSL's digest interface).
struct Sha256 {
  Sha256() : ctx(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr); }
  ~Sha256() { EVP_MD_CTX_free(ctx); }
  void add(const uint8_t* p, size_t n) { EVP_DigestUpdate(ctx, p, n); }
  std::string done() {
    unsigned char md[32];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx, md, &n);
    return std::string(reinterpret_cast<char*>(md), n);
  }
  EVP_MD_CTX* ctx;
};

int64_t rssKB(int pid) {
  std::istringstream in(ts::readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  return 0;
}

// Samples the host's resident size until stopped; keeps the largest.
struct RssWatch {
  explicit RssWatch(int pid) : pid(pid), t([this] {
    while (!stop) {
      peak = std::max<int64_t>(peak, rssKB(this->pid));
      std::this_thread::sleep_for(20ms);
    }
  }) {}
  ~RssWatch() {
    stop = true;
    t.join();
  }
  int pid;
  std::atomic<bool> stop{false};
  std::atomic<int64_t> peak{0};
  std::thread t;
};

// Deterministic bytes that do not compress or repeat in step with chunks.
void fill(std::vector<uint8_t>& buf, uint64_t& state) {
  for (auto& b : buf) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    b = static_cast<uint8_t>(state >> 56);
  }
}

std::string sha256File(const std::string& path) {
  Sha256 c;
  int fd = ::open(path.c_str(), O_RDONLY);
  std::vector<uint8_t> buf(1 << 20);
  ssize_t n;
  while ((n = ::read(fd, buf.data(), buf.size())) > 0) c.add(buf.data(), static_cast<size_t>(n));
  ::close(fd);
  return c.done();
}

struct Host {
  Host() : home(ts::makeTempDir("tolvane-home")), data(ts::makeTempDir("tolvane-data")), port(ts::freePort()) {
    proc = std::make_unique<ts::Child>(
        std::vector<std::string>{TOLVANE_HOST_BIN, "--test-pattern", "--no-tls", "--no-signal", "--port",
                                 std::to_string(port), "--token", "testtoken", "--data-dir", data},
        std::vector<std::string>{"HOME=" + home, "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1",
                                 "DISPLAY="});
    proc->waitFor("データ置き場: ", 90s);
  }
  ~Host() {
    proc.reset();
    ts::removeTree(home);
    ts::removeTree(data);
  }
  std::string home, data;
  int port;
  std::unique_ptr<ts::Child> proc;
};

constexpr int64_t kGB = 1000000000;
constexpr int64_t kSlack = 64 * 1024;  // +64 MB in kB

// Uploads size bytes in 48,000-byte chunks without waiting for "fack"; the
// SHA-256 of what was sent.
std::string upload(ts::LanPhone& p, const std::string& id, int64_t size) {
  const int64_t chunk = 48000;
  const int64_t n = (size + chunk - 1) / chunk;
  std::vector<uint8_t> buf;
  uint64_t state = 42;
  Sha256 c;
  for (int64_t i = 0; i < n; ++i) {
    buf.resize(static_cast<size_t>(std::min(chunk, size - i * chunk)));
    fill(buf, state);
    c.add(buf.data(), buf.size());
    json m = {{"t", "fput"}, {"id", id}, {"i", i}, {"n", n}, {"d", base64Encode(buf)}};
    if (i == 0) m["name"] = "giga.bin";
    p.send(m);
  }
  return c.done();
}

TEST(FilesGigabyte, UpAndDownUnchangedWithFlatMemory) {
  Host h;
  ts::LanPhone p(h.port);
  ASSERT_TRUE(p.ok());
  p.settle();
  std::this_thread::sleep_for(1s);
  const int64_t idle = rssKB(h.proc->pid());
  std::string sent;
  {
    RssWatch w(h.proc->pid());
    // Replies pile up unread meanwhile (a sender ignoring "fack").
    sent = upload(p, "up", kGB);
    auto done = p.next("fdone", 600s);
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)["ok"], true);
    EXPECT_LE(w.peak - idle, kSlack) << "idle " << idle << " kB, peak " << w.peak << " kB";
  }
  const std::string path = h.home + "/Downloads/Tolvane/giga.bin";
  ASSERT_EQ(fs::file_size(path), static_cast<uintmax_t>(kGB));
  EXPECT_EQ(sha256File(path), sent);

  RssWatch w(h.proc->pid());
  p.send({{"t", "fget"}, {"path", "Downloads/Tolvane/giga.bin"}, {"id", "down"}});
  Sha256 c;
  int64_t got = 0, expect = 0;
  for (int64_t i = 0;; ++i) {
    auto m = p.next([](const json& j) { return j.value("t", "") == "fdat"; }, 120s);
    ASSERT_TRUE(m) << "chunk " << i;
    ASSERT_FALSE(m->contains("err")) << *m;
    ASSERT_EQ((*m)["i"], i);
    auto bytes = base64Decode((*m)["d"]);
    ASSERT_TRUE(bytes);
    c.add(bytes->data(), bytes->size());
    got += static_cast<int64_t>(bytes->size());
    expect = (*m)["n"];
    if (i + 1 == expect) break;
  }
  EXPECT_EQ(got, kGB);
  EXPECT_EQ(c.done(), sent);
  EXPECT_LE(w.peak - idle, kSlack) << "idle " << idle << " kB, peak " << w.peak << " kB";
}

TEST(FilesGigabyte, SparseLimitAndASlowReaderThatCancels) {
  Host h;
  auto sparse = [&](const std::string& name, off_t size) {
    int fd = ::open((h.home + "/" + name).c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(ftruncate(fd, size), 0);
    ::close(fd);
  };
  sparse("exact", kGB);
  sparse("over", kGB + 1);
  // A small receive buffer and pauses: the host must wait, not pile up.
  ts::LanPhone p(h.port, 16384);
  ASSERT_TRUE(p.ok());
  p.settle();
  std::this_thread::sleep_for(1s);
  const int64_t idle = rssKB(h.proc->pid());
  p.send({{"t", "fget"}, {"path", "over"}, {"id", "o"}});
  auto big = p.next("fdat");
  ASSERT_TRUE(big);
  EXPECT_EQ(*big, json({{"t", "fdat"}, {"id", "o"}, {"err", "big"}}));
  RssWatch w(h.proc->pid());
  p.send({{"t", "fget"}, {"path", "exact"}, {"id", "x"}});
  int64_t last = -1;
  for (int k = 0; k < 200; ++k) {
    auto m = p.next("fdat");
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)["size"], kGB);
    last = (*m)["i"];
    std::this_thread::sleep_for(10ms);
  }
  p.send({{"t", "fcancel"}, {"id", "x"}});
  // What was queued before the cancel still arrives (control messages may
  // overtake it), then nothing more.
  int64_t more = 0;
  while (auto m = p.next("fdat", 5s)) {
    ++more;
    last = (*m)["i"];
  }
  EXPECT_LT(last + 1, 20834);  // never finished
  EXPECT_LE(w.peak - idle, kSlack);
  // The queued bytes are bounded, so only a few chunks were on their way.
  EXPECT_LE(more, 24) << more;
}

}  // namespace
