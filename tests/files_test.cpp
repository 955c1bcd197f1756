// File transfer against real files: uploads, listings and downloads with a
// requester that records what it is sent.
#include "app/Crypto.h"
#include "app/Log.h"
#include "extras/FileTransfer.h"
#include "extras/Paths.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

using nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Recorder {
  std::mutex m;
  std::vector<json> got;
  std::atomic<bool> alive{true};
  std::atomic<int64_t> buffered{0};
  // Runs on each message as it is sent (from the download queue for "fdat").
  std::function<void(const json&)> onSend;
  RequesterPtr requester(int64_t key, size_t chunk = 49152) {
    auto r = std::make_shared<Requester>();
    r->key = key;
    r->send = [this](const std::string& text) {
      auto j = json::parse(text);
      if (onSend) onSend(j);
      std::lock_guard<std::mutex> l(m);
      got.push_back(std::move(j));
      return alive.load();
    };
    r->buffered = [this] { return buffered.load(); };
    r->alive = [this] { return alive.load(); };
    r->chunk = chunk;
    r->bulkLimit = 1000;
    return r;
  }
  std::vector<json> all() {
    std::lock_guard<std::mutex> l(m);
    return got;
  }
  std::vector<json> ofKind(const std::string& t) {
    std::vector<json> out;
    for (auto& j : all())
      if (j["t"] == t) out.push_back(j);
    return out;
  }
};

std::string b64(const std::string& s) {
  return base64Encode(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

json chunk(const std::string& id, int64_t i, int64_t n, const std::string& data, const std::string& name = "a.txt") {
  json m = {{"t", "fput"}, {"id", id}, {"i", i}, {"n", n}, {"d", b64(data)}};
  if (i == 0) m["name"] = name;
  return m;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

class Files : public ::testing::Test {
protected:
  void SetUp() override {
    root = ts::makeTempDir("tolvane-files");
    home = root + "/home";
    data = root + "/data";
    fs::create_directories(home);
    fs::create_directories(data);
    ft = std::make_unique<FileTransfer>(home, data);
  }
  void TearDown() override {
    ft.reset();
    ts::removeTree(root);
  }
  std::string downloads() { return home + "/Downloads/Tolvane"; }
  std::string root, home, data;
  std::unique_ptr<FileTransfer> ft;
  Recorder rec;
};

TEST_F(Files, UploadsAckEveryEighthChunkAndLandUnderTheirSafeName) {
  std::vector<std::string> logged;
  std::mutex lm;
  setLogTap([&](const std::string& l) {
    std::lock_guard<std::mutex> g(lm);
    logged.push_back(l);
  });
  auto from = rec.requester(1);
  std::vector<std::pair<std::string, bool>> received;
  ft->onReceived = [&](const std::string& p, bool last) { received.push_back({p, last}); };
  // Single chunk without "n": created, written and finished at once.
  ft->put({{"t", "fput"}, {"id", "s"}, {"d", b64("hello")}, {"name", "note.txt"}}, from);
  // Sixteen chunks: acknowledgements after 7 and 15 only.
  std::string whole;
  for (int i = 0; i < 16; ++i) {
    std::string part(1000 + i, static_cast<char>('a' + i));
    whole += part;
    json m = chunk("big", i, 16, part, "many.bin");
    if (i == 15) m["last"] = false;
    ft->put(m, from);
  }
  auto msgs = rec.all();
  ASSERT_EQ(msgs.size(), 4u);
  EXPECT_EQ(msgs[0], json({{"t", "fdone"}, {"id", "s"}, {"ok", true}, {"name", "note.txt"}}));
  EXPECT_EQ(msgs[1], json({{"t", "fack"}, {"id", "big"}, {"i", 7}}));
  EXPECT_EQ(msgs[2], json({{"t", "fack"}, {"id", "big"}, {"i", 15}}));
  EXPECT_EQ(msgs[3], json({{"t", "fdone"}, {"id", "big"}, {"ok", true}, {"name", "many.bin"}}));
  EXPECT_EQ(ts::readFile(downloads() + "/note.txt"), "hello");
  EXPECT_EQ(ts::readFile(downloads() + "/many.bin"), whole);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_TRUE(received[0].second);
  EXPECT_FALSE(received[1].second);
  EXPECT_EQ(listDir(data + "/incoming"), std::vector<std::string>{});
  // The tap goes first: the logger calls it under its own lock, which the
  // other order would invert.
  setLogTap(nullptr);
  std::lock_guard<std::mutex> g(lm);
  EXPECT_NE(std::find(logged.begin(), logged.end(), "[files] 受け取り: " + downloads() + "/note.txt"), logged.end());
}

TEST_F(Files, SameNamesNeverReplaceAnythingAlsoWhenMadeAtTheLastMoment) {
  auto from = rec.requester(1);
  fs::create_directories(downloads());
  ts::writeFile(downloads() + "/a.txt", "original");
  ft->put(chunk("1", 0, 1, "second"), from);
  ft->put(chunk("2", 0, 1, "third"), from);
  // Someone else creates the next free name just before the host takes it.
  ft->beforePlace = [&](const std::string& cand) {
    if (cand == downloads() + "/a 4.txt" && !fs::exists(cand)) ts::writeFile(cand, "raced");
  };
  ft->put(chunk("3", 0, 1, "fourth"), from);
  auto done = rec.ofKind("fdone");
  ASSERT_EQ(done.size(), 3u);
  EXPECT_EQ(done[0]["name"], "a 2.txt");
  EXPECT_EQ(done[1]["name"], "a 3.txt");
  EXPECT_EQ(done[2]["name"], "a 5.txt");
  EXPECT_EQ(ts::readFile(downloads() + "/a.txt"), "original");
  EXPECT_EQ(ts::readFile(downloads() + "/a 2.txt"), "second");
  EXPECT_EQ(ts::readFile(downloads() + "/a 3.txt"), "third");
  EXPECT_EQ(ts::readFile(downloads() + "/a 4.txt"), "raced");
  EXPECT_EQ(ts::readFile(downloads() + "/a 5.txt"), "fourth");
}

TEST_F(Files, BrokenUploadsFailWholeAndLeaveNothing) {
  auto from = rec.requester(1);
  // A gap.
  ft->put(chunk("gap", 0, 3, "one"), from);
  ft->put(chunk("gap", 2, 3, "three"), from);
  // Bad base64 in the middle (white space is not tolerated).
  ft->put(chunk("b64", 0, 3, "one"), from);
  ft->put({{"t", "fput"}, {"id", "b64"}, {"i", 1}, {"n", 3}, {"d", "aGVs bG8="}}, from);
  ft->put(chunk("b64", 2, 3, "three"), from);
  // Cancelled by the phone.
  ft->put(chunk("cx", 0, 3, "one"), from);
  ft->cancel("cx", from);
  ft->put(chunk("cx", 1, 3, "two"), from);
  // Repeated chunk.
  ft->put(chunk("rep", 0, 3, "one"), from);
  ft->put(chunk("rep", 0 + 1, 3, "two"), from);
  ft->put(chunk("rep", 1, 3, "two"), from);
  // Unknown transfers and bad base64 without one are dropped silently.
  ft->put(chunk("nobody", 5, 9, "x"), from);
  ft->put({{"t", "fput"}, {"id", "q"}, {"d", "@@@@"}}, from);
  ft->put({{"t", "fput"}, {"id", "q"}}, from);
  ft->put({{"t", "fput"}, {"id", 5}, {"d", ""}}, from);
  auto msgs = rec.all();
  ASSERT_EQ(msgs.size(), 4u);
  for (auto& id : {"gap", "b64", "cx", "rep"})
    EXPECT_NE(std::find(msgs.begin(), msgs.end(), json({{"t", "fdone"}, {"id", id}, {"ok", false}})), msgs.end())
        << id;
  EXPECT_EQ(listDir(downloads()), std::vector<std::string>{});
  EXPECT_EQ(listDir(data + "/incoming"), std::vector<std::string>{});
}

TEST_F(Files, TransfersAreKeyedByConnectionAndExactId) {
  Recorder other;
  auto a = rec.requester(1), b = other.requester(2);
  // Interleaved: the same id from two phones, ids equal once punctuation goes.
  ft->put(chunk("1", 0, 2, "A1-", "a.bin"), a);
  ft->put(chunk("1", 0, 2, "B1-", "b.bin"), b);
  ft->put(chunk("a-b", 0, 2, "C1-", "c.bin"), a);
  ft->put(chunk("ab", 0, 2, "D1-", "d.bin"), a);
  ft->put(chunk("1", 1, 2, "A2"), a);
  ft->put(chunk("ab", 1, 2, "D2"), a);
  ft->put(chunk("1", 1, 2, "B2"), b);
  ft->put(chunk("a-b", 1, 2, "C2"), a);
  EXPECT_EQ(ts::readFile(downloads() + "/a.bin"), "A1-A2");
  EXPECT_EQ(ts::readFile(downloads() + "/b.bin"), "B1-B2");
  EXPECT_EQ(ts::readFile(downloads() + "/c.bin"), "C1-C2");
  EXPECT_EQ(ts::readFile(downloads() + "/d.bin"), "D1-D2");
  EXPECT_EQ(other.all().size(), 1u);
  // A connection that goes mid-upload leaves nothing; the same id then works.
  ft->put(chunk("z", 0, 2, "x", "z.bin"), a);
  ft->forget(1);
  EXPECT_EQ(listDir(data + "/incoming"), std::vector<std::string>{});
  ft->put(chunk("z", 1, 2, "y"), a);
  EXPECT_FALSE(fs::exists(downloads() + "/z.bin"));
  ft->put(chunk("z", 0, 2, "x", "z.bin"), a);
  ft->put(chunk("z", 1, 2, "y"), a);
  EXPECT_EQ(ts::readFile(downloads() + "/z.bin"), "xy");
}

TEST_F(Files, ReceivedFilesCrossFileSystems) {
  // The data directory on tmpfs, home on the disk (or the other way round).
  std::string shm = ts::makeTempDir("x");
  ts::removeTree(shm);
  char tmpl[] = "/dev/shm/tolvane-files-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string other = tmpl;
  struct stat a {}, b {};
  stat(other.c_str(), &a);
  stat(home.c_str(), &b);
  if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system";
  ft = std::make_unique<FileTransfer>(home, other);
  auto from = rec.requester(1);
  fs::create_directories(downloads());
  ts::writeFile(downloads() + "/p.txt", "keep");
  ft->put(chunk("1", 0, 2, "left ", "p.txt"), from);
  ft->put(chunk("1", 1, 2, "right"), from);
  ASSERT_EQ(rec.ofKind("fdone").at(0)["name"], "p 2.txt");
  EXPECT_EQ(ts::readFile(downloads() + "/p 2.txt"), "left right");
  EXPECT_EQ(ts::readFile(downloads() + "/p.txt"), "keep");
  // Neither the hidden copy nor the partial stays behind.
  EXPECT_EQ(listDir(downloads()), (std::vector<std::string>{"p 2.txt", "p.txt"}));
  EXPECT_EQ(listDir(other + "/incoming"), std::vector<std::string>{});
  ts::removeTree(other);
}

TEST(SafeName, KeepsNamesCreatableAndRecognisable) {
  EXPECT_EQ(safeName(".profile"), "iPhone_.profile");
  EXPECT_EQ(safeName("x/y:z\\w"), "x_y_z_w");
  EXPECT_EQ(safeName(""), "iPhone_");
  EXPECT_EQ(safeName(" \t\n "), "iPhone_");
  EXPECT_EQ(safeName("\xE3\x80\x80 photo.jpg \n"), "photo.jpg");
  EXPECT_EQ(safeName("a\x01" "b\x7F" "c\td.txt"), "a_b_c_d.txt");
  EXPECT_EQ(safeName("../../etc/passwd"), "iPhone_.._.._etc_passwd");
  // 300 bytes of three-byte characters: cut on a boundary, extension kept.
  std::string base;
  for (int i = 0; i < 100; ++i) base += "\xE5\x86\x99";
  std::string cut = safeName(base + ".jpeg");
  EXPECT_LE(cut.size(), 200u);
  EXPECT_EQ(cut.substr(cut.size() - 5), ".jpeg");
  EXPECT_EQ((cut.size() - 5) % 3, 0u);
  EXPECT_EQ(cut.size(), 5u + 195u / 3 * 3);
  EXPECT_EQ(safeName(std::string(300, 'x')), std::string(200, 'x'));
  EXPECT_EQ(numberedName("photo.jpg", 2), "photo 2.jpg");
  EXPECT_EQ(numberedName("notes", 3), "notes 3");
  EXPECT_EQ(numberedName("a.tar.gz", 2), "a.tar 2.gz");
}

TEST_F(Files, ListingsSortFoldersFirstInNaturalCaseBlindOrder) {
  for (auto n : {"file10", "file2", "B", "a", "C.txt", ".hidden"}) ts::writeFile(home + "/" + n, "xyz");
  for (auto n : {"Zdir", "adir", ".git"}) fs::create_directories(home + "/" + n);
  fs::create_symlink(home + "/adir", home + "/linkdir");
  auto from = rec.requester(1);
  ft->list("", from);
  auto r = rec.all().at(0);
  EXPECT_EQ(r["t"], "lsr");
  EXPECT_EQ(r["path"], "");
  EXPECT_EQ(r["more"], false);
  std::vector<std::string> names;
  for (auto& it : r["items"]) names.push_back(it["n"]);
  EXPECT_EQ(names, (std::vector<std::string>{"adir", "linkdir", "Zdir", "a", "B", "C.txt", "file2", "file10"}));
  auto& f = r["items"][3];
  EXPECT_EQ(f["dir"], false);
  EXPECT_EQ(f["size"], 3);
  EXPECT_NEAR(f["mt"].get<double>(), static_cast<double>(time(nullptr)), 120);

  fs::create_directories(home + "/many");
  for (int i = 0; i < 801; ++i) ts::writeFile(home + "/many/f" + std::to_string(i), "");
  ts::writeFile(home + "/many/.h", "");
  ft->list("/many/", from);
  auto m = rec.all().at(1);
  EXPECT_EQ(m["path"], "/many/");
  EXPECT_EQ(m["items"].size(), 800u);
  EXPECT_EQ(m["more"], true);
  EXPECT_EQ(m["items"][799]["n"], "f799");

  ft->list("nothing-here", from);
  ft->list("a", from);
  EXPECT_EQ(rec.all().at(2), json({{"t", "lsr"}, {"path", "nothing-here"}, {"err", "read"}}));
  EXPECT_EQ(rec.all().at(3), json({{"t", "lsr"}, {"path", "a"}, {"err", "read"}}));
}

TEST_F(Files, DownloadsChunkExactlyAndRefuseWhatIsNoRegularFile) {
  ts::writeFile(home + "/empty", "");
  std::string body(49153, 'q');
  body.back() = 'z';
  ts::writeFile(home + "/two", body);
  ASSERT_EQ(mkfifo((home + "/fifo").c_str(), 0600), 0);
  fs::create_directories(home + "/dir");
  fs::create_symlink("/dev/zero", home + "/zero");
  auto from = rec.requester(1, 49152);
  ft->get("empty", "e", from);
  ft->get("two", "t", from);
  ft->get("fifo", "f", from);
  ft->get("dir", "d", from);
  ft->get("zero", "z", from);
  ft->get("", "h", from);
  ft->drain();
  auto msgs = rec.all();
  ASSERT_EQ(msgs.size(), 7u);
  EXPECT_EQ(msgs[0], json({{"t", "fdat"}, {"id", "e"}, {"i", 0}, {"n", 1}, {"name", "empty"}, {"size", 0}, {"d", ""}}));
  EXPECT_EQ(msgs[1]["i"], 0);
  EXPECT_EQ(msgs[1]["n"], 2);
  EXPECT_EQ(msgs[1]["size"], 49153);
  EXPECT_EQ(msgs[1]["name"], "two");
  EXPECT_EQ(base64Decode(msgs[1]["d"])->size(), 49152u);
  auto last = base64Decode(msgs[2]["d"]);
  EXPECT_EQ(std::string(last->begin(), last->end()), "z");
  EXPECT_EQ(msgs[2]["i"], 1);
  for (size_t k = 3; k < 7; ++k) EXPECT_EQ(msgs[k]["err"], "read") << msgs[k];
}

TEST_F(Files, DownloadsFitTheChunkTheTransportTakes) {
  std::string body(100000, 'x');
  ts::writeFile(home + "/f", body);
  auto from = rec.requester(1, 48000);
  ft->get("f", "x", from);
  ft->drain();
  auto msgs = rec.ofKind("fdat");
  ASSERT_EQ(msgs.size(), 3u);
  for (auto& m : msgs) EXPECT_LE(m.dump().size(), 65536u);
}

TEST_F(Files, SizeLimitAndShrinkingFiles) {
  auto make = [&](const std::string& name, off_t size) {
    int fd = ::open((home + "/" + name).c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(ftruncate(fd, size), 0);
    ::close(fd);
  };
  make("over", 1000000001);
  make("shrinks", 200000);
  auto from = rec.requester(1, 49152);
  rec.onSend = [&](const json& j) {
    if (j.value("id", "") == "s" && j.value("i", -1) == 0) {
      ASSERT_EQ(truncate((home + "/shrinks").c_str(), 60000), 0);
    }
  };
  ft->get("over", "o", from);
  ft->get("shrinks", "s", from);
  ft->drain();
  auto msgs = rec.all();
  ASSERT_EQ(msgs.size(), 3u);
  EXPECT_EQ(msgs[0], json({{"t", "fdat"}, {"id", "o"}, {"err", "big"}}));
  EXPECT_EQ(msgs[1]["i"], 0);
  // The second chunk would come out short: the transfer ends instead.
  EXPECT_EQ(msgs[2], json({{"t", "fdat"}, {"id", "s"}, {"err", "read"}}));
}

TEST_F(Files, DownloadsStopOnCancelOrWhenTheRequesterHasGone) {
  std::string body(49152 * 40, 'c');
  ts::writeFile(home + "/c", body);
  auto from = rec.requester(7, 49152);
  // Cancelled from the phone while chunk 3 goes out: at most one more follows.
  rec.onSend = [&](const json& j) {
    if (j.value("id", "") == "k" && j.value("i", -1) == 3) ft->cancel("k", from);
    if (j.value("id", "") == "g" && j.value("i", -1) == 3) rec.alive = false;
  };
  ft->get("c", "k", from);
  ft->drain();
  EXPECT_LE(rec.ofKind("fdat").size(), 5u);
  rec.got.clear();
  ft->get("c", "g", from);
  ft->drain();
  EXPECT_LE(rec.ofKind("fdat").size(), 5u);
  // Stuck behind a full buffer: still cancellable.
  rec.alive = true;
  rec.onSend = nullptr;
  rec.got.clear();
  rec.buffered = 1 << 30;
  ft->get("c", "b", from);
  std::this_thread::sleep_for(50ms);
  ft->cancel("b", from);
  ft->drain();
  EXPECT_EQ(rec.ofKind("fdat").size(), 0u);
}

}  // namespace

namespace {

TEST_F(Files, ALinkSwappedDuringDownloadsNeverYieldsWhatLiesOutside) {
  ts::writeFile(root + "/secret.txt", "SECRET-OUTSIDE");
  ts::writeFile(home + "/inside.txt", "inside");
  fs::create_symlink(home + "/inside.txt", home + "/swap");
  std::atomic<bool> stop{false};
  // Swaps the link between a target inside and one outside as fast as it can.
  std::thread swapper([&] {
    bool out = false;
    while (!stop) {
      std::string tmp = home + "/.swap-tmp";
      ::unlink(tmp.c_str());
      if (::symlink(out ? (root + "/secret.txt").c_str() : (home + "/inside.txt").c_str(), tmp.c_str()) == 0)
        ::rename(tmp.c_str(), (home + "/swap").c_str());
      out = !out;
    }
  });
  auto from = rec.requester(1);
  for (int i = 0; i < 1000; ++i) {
    ft->get("swap", std::to_string(i), from);
    ft->list("swap/..", from);
  }
  ft->drain();
  stop = true;
  swapper.join();
  size_t inside = 0;
  for (auto& j : rec.all()) {
    if (j["t"] == "fdat" && j.contains("d")) {
      auto bytes = base64Decode(j["d"]);
      ASSERT_TRUE(bytes);
      EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "inside");
      ++inside;
    } else if (j["t"] == "lsr" && j.contains("items")) {
      for (auto& it : j["items"]) EXPECT_NE(it["n"], "secret.txt");
    }
  }
  EXPECT_EQ(rec.all().size(), 2000u);
  EXPECT_GT(inside, 0u);
}

TEST(Confinement, LexicalJoinAndRealPathChecks) {
  EXPECT_EQ(joinUnderHome("/home/u", "/etc/passwd"), "/home/u/etc/passwd");
  EXPECT_EQ(joinUnderHome("/home/u", "a/./b//../c"), "/home/u/a/c");
  EXPECT_EQ(joinUnderHome("/home/u", "../../.."), "/");
  EXPECT_EQ(joinUnderHome("/home/u/", ""), "/home/u");
  EXPECT_EQ(joinUnderHome("/home/u", std::string("a\0b", 3)), std::nullopt);
  EXPECT_EQ(joinUnderHome("/home/u", std::string(4097, 'a')), std::nullopt);
  EXPECT_EQ(joinUnderHome("/home/u", std::string(256, 'a')), std::nullopt);
  EXPECT_TRUE(joinUnderHome("/home/u", std::string(255, 'a')));
  EXPECT_TRUE(isWithin("/home/u", "/home/u"));
  EXPECT_TRUE(isWithin("/home/u/x", "/home/u"));
  EXPECT_FALSE(isWithin("/home/user2", "/home/u"));
  EXPECT_FALSE(isWithin("/home", "/home/u"));
  EXPECT_TRUE(isWithin("/anything", "/"));
}

}  // namespace
