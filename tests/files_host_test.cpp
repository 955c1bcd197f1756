// Side features of the host binary over the LAN WebSocket: replies to the
// asker only, uploads that fail or are cut off, and paths that try to leave
// the home folder.
#include "app/Crypto.h"
#include "support/LanPhone.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string b64(const std::string& s) { return base64Encode(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

std::vector<std::string> names(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// The host binary with its own HOME and data directory (either may be given).
struct FilesHost {
  explicit FilesHost(std::string homeDir = "", std::string dataDir = "", std::vector<std::string> prefix = {},
                     std::vector<std::string> env = {})
      : home(homeDir.empty() ? ts::makeTempDir("tolvane-home") : homeDir),
        data(dataDir.empty() ? ts::makeTempDir("tolvane-data") : dataDir),
        env(std::move(env)) {
    start(prefix);
  }
  void start(const std::vector<std::string>& prefix = {}) {
    port = ts::freePort();
    std::vector<std::string> argv = prefix;
    for (std::string a : {std::string(TOLVANE_HOST_BIN), std::string("--test-pattern"), std::string("--no-tls"),
                          std::string("--no-signal"), std::string("--port"), std::to_string(port),
                          std::string("--token"), std::string("testtoken"), std::string("--data-dir"), data})
      argv.push_back(a);
    std::vector<std::string> e = {"HOME=" + home, "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
                                  "NO_AT_BRIDGE=1", "DISPLAY="};
    e.insert(e.end(), env.begin(), env.end());
    proc = std::make_unique<ts::Child>(argv, e);
    proc->waitFor("データ置き場: ", 90s);
  }
  ~FilesHost() {
    proc.reset();
    ts::removeTree(home);
    ts::removeTree(data);
  }
  std::string downloads() const { return home + "/Downloads/Tolvane"; }
  std::string home, data;
  std::vector<std::string> env;
  int port = 0;
  std::unique_ptr<ts::Child> proc;
};

json put(const std::string& id, int64_t i, int64_t n, const std::string& bytes, const std::string& name = "f.bin") {
  json m = {{"t", "fput"}, {"id", id}, {"i", i}, {"n", n}, {"d", b64(bytes)}};
  if (i == 0) m["name"] = name;
  return m;
}

TEST(FilesHost, RepliesGoToTheAskingConnectionOnly) {
  FilesHost h;
  ts::writeFile(h.home + "/hello.txt", "hi there");
  ts::LanPhone a(h.port), b(h.port);
  ASSERT_TRUE(a.ok() && b.ok());
  a.send({{"t", "ls"}, {"path", ""}});
  auto lsr = a.next("lsr");
  ASSERT_TRUE(lsr);
  EXPECT_EQ((*lsr)["items"][0]["n"], "hello.txt");
  a.send({{"t", "fget"}, {"path", "hello.txt"}, {"id", "g1"}});
  auto dat = a.next("fdat");
  ASSERT_TRUE(dat);
  EXPECT_EQ((*dat)["d"], b64("hi there"));
  a.send(put("u1", 0, 1, "uploaded", "up.txt"));
  auto done = a.next("fdone");
  ASSERT_TRUE(done);
  EXPECT_EQ(*done, json({{"t", "fdone"}, {"id", "u1"}, {"ok", true}, {"name", "up.txt"}}));
  EXPECT_EQ(ts::readFile(h.downloads() + "/up.txt"), "uploaded");
  EXPECT_TRUE(h.proc->waitFor("[files] 受け取り: " + h.downloads() + "/up.txt\n"));
  // The other phone heard none of it: its own reply, which leaves after
  // anything sent to it before, is the first it gets.
  b.send({{"t", "fget"}, {"path", "none"}, {"id", "b-end"}});
  auto first = b.next([](const json& j) {
    std::string t = j.value("t", "");
    return t == "lsr" || t == "fdat" || t == "fdone" || t == "fack";
  });
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, json({{"t", "fdat"}, {"id", "b-end"}, {"err", "read"}}));
}

TEST(FilesHost, ACutConnectionOrAKilledHostLeavesNothingAndTheIdWorksAgain) {
  FilesHost h;
  std::string part(60000, 'p');
  {
    ts::LanPhone a(h.port);
    ASSERT_TRUE(a.ok());
    for (int i = 0; i < 5; ++i) a.send(put("same", i, 10, part, "cut.bin"));
    a.settle();
    a.raw().close();
  }
  ASSERT_TRUE(ts::waitUntil([&] { return h.proc->count("[host] 接続0件") >= 1; }));
  EXPECT_TRUE(ts::waitUntil([&] { return names(h.data + "/incoming").empty(); }, 30s));
  {
    ts::LanPhone a(h.port);
    for (int i = 0; i < 5; ++i) a.send(put("same", i, 10, part, "cut.bin"));
    a.settle();
  }
  // SIGKILL mid-upload, then a fresh host on the same folders.
  h.proc->stop(9);
  EXPECT_EQ(names(h.downloads()), std::vector<std::string>{});
  h.start();
  ts::LanPhone a(h.port);
  ASSERT_TRUE(a.ok());
  for (int i = 0; i < 3; ++i) a.send(put("same", i, 3, part, "cut.bin"));
  auto done = a.next("fdone");
  ASSERT_TRUE(done);
  EXPECT_EQ((*done)["ok"], true);
  EXPECT_EQ(names(h.downloads()), std::vector<std::string>{"cut.bin"});
  EXPECT_EQ(ts::readFile(h.downloads() + "/cut.bin"), part + part + part);
}

TEST(FilesHost, AWriteFailureIsReportedAndLeavesNoFile) {
  // The host may write at most 200,000 bytes to any file.
  FilesHost h("", "", {"prlimit", "--fsize=200000"});
  ts::LanPhone a(h.port);
  ASSERT_TRUE(a.ok());
  std::string part(100000, 'w');
  for (int i = 0; i < 3; ++i) a.send(put("big", i, 3, part, "big.bin"));
  auto done = a.next("fdone");
  ASSERT_TRUE(done);
  EXPECT_EQ(*done, json({{"t", "fdone"}, {"id", "big"}, {"ok", false}}));
  EXPECT_EQ(names(h.downloads()), std::vector<std::string>{});
  EXPECT_EQ(names(h.data + "/incoming"), std::vector<std::string>{});
  // Still serving, and a small file still works.
  a.send(put("small", 0, 1, "ok", "small.txt"));
  auto ok = a.next("fdone");
  ASSERT_TRUE(ok);
  EXPECT_EQ((*ok)["ok"], true);
  EXPECT_TRUE(h.proc->waitFor("[files] 保存失敗 "));
}

TEST(FilesHost, HomeAndDataOnDifferentFileSystems) {
  char tmpl[] = "/dev/shm/tolvane-home-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  FilesHost h(tmpl);
  struct stat x {}, y {};
  stat(h.home.c_str(), &x);
  stat(h.data.c_str(), &y);
  if (x.st_dev == y.st_dev) GTEST_SKIP() << "one file system";
  ts::LanPhone a(h.port);
  std::string part(70000, 'x');
  for (int i = 0; i < 2; ++i) a.send(put("x", i, 2, part, "far.bin"));
  auto done = a.next("fdone");
  ASSERT_TRUE(done);
  EXPECT_EQ((*done)["ok"], true);
  EXPECT_EQ(ts::readFile(h.downloads() + "/far.bin"), part + part);
  EXPECT_EQ(names(h.downloads()), std::vector<std::string>{"far.bin"});
}

TEST(FilesHost, NoPathLeadsOutOfTheHomeFolder) {
  // The home lies inside a folder that holds a secret and links out of it.
  std::string root = ts::makeTempDir("tolvane-escape");
  std::string home = root + "/home";
  fs::create_directories(home + "/sub");
  ts::writeFile(root + "/secret.txt", "SECRET");
  ts::writeFile(home + "/sub/inside.txt", "inside");
  fs::create_symlink("/etc", home + "/etc-link");
  fs::create_symlink("..", home + "/up");
  fs::create_symlink(root + "/secret.txt", home + "/secret-link");
  fs::create_symlink("secret-link", home + "/chain1");
  fs::create_symlink("chain1", home + "/chain2");
  fs::create_symlink("../../secret.txt", home + "/sub/rel");
  fs::create_symlink(root, home + "/sub/root-link");
  fs::create_symlink("/dev/zero", home + "/dev-link");
  ASSERT_EQ(mkfifo((home + "/fifo").c_str(), 0600), 0);
  FilesHost h(home);
  ts::LanPhone a(h.port);
  ASSERT_TRUE(a.ok());
  const std::vector<std::string> paths = {
      "../", "..", "../secret.txt", "/../secret.txt", "/etc/passwd", "etc-link/passwd", "etc-link",
      "up", "up/secret.txt", "up/home/../secret.txt", "secret-link", "chain1", "chain2", "sub/rel",
      "sub/root-link", "sub/root-link/secret.txt", "sub/../../secret.txt", "sub/./../../secret.txt",
      "..\\secret.txt", "%2e%2e/secret.txt", "%2e%2e%2fsecret.txt", "\xEF\xBC\x8E\xEF\xBC\x8E/secret.txt",
      "\xE2\x80\xA5/secret.txt", std::string("sub\0/../../secret.txt", 22), std::string("\0", 1),
      std::string(5000, 'a'), "sub/" + std::string(300, 'b'), std::string(3000, '/') + "../secret.txt",
      "././../" + std::string(100, '.') + "/secret.txt", "dev-link", "fifo", "/proc/self/environ",
      "~/../secret.txt", "sub/../up/secret.txt"};
  ASSERT_GE(paths.size(), 30u);
  int n = 0;
  for (const auto& p : paths) {
    std::string id = "e" + std::to_string(n++);
    a.send({{"t", "fget"}, {"path", p}, {"id", id}});
    auto r = a.next([&](const json& j) { return j.value("t", "") == "fdat" && j.value("id", "") == id; });
    ASSERT_TRUE(r) << p;
    EXPECT_EQ(*r, json({{"t", "fdat"}, {"id", id}, {"err", "read"}})) << p;
    a.send({{"t", "ls"}, {"path", p}});
    auto l = a.next([&](const json& j) { return j.value("t", "") == "lsr" && j.value("path", "") == p; });
    ASSERT_TRUE(l) << p;
    EXPECT_TRUE(l->contains("err")) << p << " " << *l;
  }
  // A link into the home folder itself still works.
  a.send({{"t", "fget"}, {"path", "up/home/sub/inside.txt"}, {"id", "in"}});
  auto in = a.next("fdat");
  ASSERT_TRUE(in);
  EXPECT_EQ((*in)["d"], b64("inside"));
  ts::removeTree(root);
}

TEST(FilesHost, ListingOrderIsTheSameInEveryLocale) {
  for (const char* locale : {"C", "C.UTF-8"}) {
    FilesHost h("", "", {}, {std::string("LC_ALL=") + locale});
    for (auto n : {"b.txt", "A.txt", "file10", "file2", "File3"}) ts::writeFile(h.home + "/" + n, "");
    fs::create_directories(h.home + "/zeta");
    fs::create_directories(h.home + "/Alpha");
    ts::LanPhone a(h.port);
    ASSERT_TRUE(a.ok());
    a.send({{"t", "ls"}, {"path", "/"}});
    auto r = a.next("lsr");
    ASSERT_TRUE(r);
    std::vector<std::string> got;
    for (auto& it : (*r)["items"]) got.push_back(it["n"]);
    EXPECT_EQ(got, (std::vector<std::string>{"Alpha", "zeta", "A.txt", "b.txt", "file2", "File3", "file10"}))
        << locale;
  }
}

TEST(FilesHost, MalformedSideMessagesAreIgnored) {
  FilesHost h;
  ts::LanPhone a(h.port);
  ASSERT_TRUE(a.ok());
  for (const char* text :
       {R"({"t":"fput"})", R"({"t":"fput","id":1,"d":"AA=="})", R"({"t":"fput","id":"x","d":"A"})",
        R"({"t":"fput","id":"x","d":"AAAA","i":-9223372036854775808,"n":-9223372036854775808})",
        R"({"t":"fput","id":"y","d":"AAAA","i":0,"n":-9223372036854775808})",
        R"({"t":"fput","id":"z","d":"AAAA","i":1e308,"n":1e308})", R"({"t":"ls","path":7})",
        R"({"t":"fget","path":[1]})", R"({"t":"fcancel"})", R"({"t":"setclip"})", R"({"t":"audio","on":"yes"})",
        R"({"t":"open","p":{}})", R"({"t":"apps","x":1})"})
    a.raw().sendFrame(1, text);
  // Replies leave in order; a last request marks their end.
  a.send({{"t", "fget"}, {"path", "zz-end"}, {"id", "end"}});
  std::vector<json> side;
  ASSERT_TRUE(a.next([&](const json& j) {
    std::string t = j.value("t", "");
    if (t == "fdat" && j.value("id", "") == "end") return true;
    if (t == "fdone" || t == "fack" || t == "fdat" || t == "lsr") side.push_back(j);
    return false;
  })) << h.proc->output();
  // "y" (a count below 1) is one whole chunk; mistyped paths are the home
  // folder; nothing else answers.
  ASSERT_EQ(side.size(), 3u) << json(side);
  EXPECT_EQ(side[0], json({{"t", "fdone"}, {"id", "y"}, {"ok", true}, {"name", "iPhone"}}));
  EXPECT_EQ(side[1]["path"], "");
  EXPECT_TRUE(side[1].contains("items"));
  EXPECT_EQ(side[2], json({{"t", "fdat"}, {"id", ""}, {"err", "read"}}));
  EXPECT_EQ(h.proc->exited(), std::nullopt);
}

}  // namespace
