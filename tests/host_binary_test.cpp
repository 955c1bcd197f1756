// The host binary as a user runs it, checked with real HTTP and WebSocket clients.
#include "lan/ClientFiles.h"
#include "support/HostProcess.h"
#include "support/WsClient.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <thread>

using namespace std::chrono_literals;
using nlohmann::json;

namespace {
std::string textOf(const std::string& line) {
  auto j = json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.contains("text")) return "";
  return j["text"].get<std::string>();
}
}  // namespace

TEST(HostBinary, PrintsBannerLinksAndWritesLastUrl) {
  ts::HostProcess h({"--test-pattern", "--no-tls", "--ip", "10.9.8.7"});
  std::string out = h.proc->output();
  std::string link = "http://10.9.8.7:" + std::to_string(h.port) + "/?t=testtoken";
  EXPECT_NE(out.find("[http] listening :" + std::to_string(h.port) + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("== Kestrava 起動 (テスト映像) ==\n"), std::string::npos) << out;
  EXPECT_NE(out.find("画面収録: "), std::string::npos);
  EXPECT_NE(out.find("\n" + link + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("データ置き場: " + h.dataDir + "\n"), std::string::npos) << out;
  EXPECT_EQ(ts::readFileWhenPresent(h.dataDir + "/last_url.txt"), link + "\n");
}

TEST(HostBinary, RealWebSocketClientGetsGreetingPongsAndStatsJournal) {
  ts::HostProcess h({"--test-pattern", "--no-tls"});
  int status = 0;
  auto lines = h.session(R"([{"recv":2},{"send":{"t":"ping","c":12.5}},{"recv":1},
      {"send":{"t":"ping"}},{"recv":1},{"send":{"t":"nonsense"}},{"send":{"t":"stats","p50":41,"n":3}},
      {"send":{"t":"ping","c":1}},{"recv":1}])", &status);
  ASSERT_EQ(status, 0) << (lines.empty() ? "" : lines.back());
  // Video may interleave; only text is printed by "recv".
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(textOf(lines[0]),
            R"({"ax":true,"caps":["clip","files","browse","apps","audio","awake"],"name":"Mac","screen":true,"t":"hello","test":true,"ver":"1.1.3"})");
  EXPECT_EQ(textOf(lines[1]), R"({"name":"Safari","t":"app"})");
  std::vector<json> pongs;
  for (auto& l : lines) {
    auto j = json::parse(textOf(l), nullptr, false);
    if (!j.is_discarded() && j.value("t", "") == "pong") pongs.push_back(j);
  }
  ASSERT_EQ(pongs.size(), 3u);
  EXPECT_EQ(pongs[0]["c"], 12.5);
  EXPECT_EQ(pongs[1]["c"], 0);
  double now = std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_NEAR(pongs[0]["h"].get<double>(), now, 10000);
  // The stats message was handled before the last ping's answer.
  auto journal = ts::readFile(h.dataDir + "/latency_log.jsonl");
  auto rec = json::parse(journal);
  EXPECT_EQ(rec["p50"], 41);
  EXPECT_EQ(rec["mode"], "test-pattern");
  EXPECT_FALSE(rec.contains("t"));
  EXPECT_EQ(rec["host_time"].get<std::string>().size(), 20u);
  EXPECT_NE(h.proc->output().find("[stats] {\"host_time\""), std::string::npos);
}

TEST(HostBinary, CurlGetsEveryAnswerOfTheTable) {
  auto clientDir = ts::makeTempDir();
  ts::writeFile(clientDir + "/index.html", "<p>port __TLS_PORT__ and __TLS_PORT__</p>");
  ts::HostProcess h({"--test-pattern", "--no-tls", "--client-dir", clientDir});
  auto code = [&](const std::string& args) { return ts::curl("-o /dev/null -w '%{http_code}' " + args); };
  EXPECT_EQ(code("'" + h.url("/?t=testtoken") + "'"), "200");
  std::string tls = std::to_string(h.tlsPort);
  EXPECT_EQ(ts::curl("'" + h.url("/index.html?t=testtoken") + "'"), "<p>port " + tls + " and " + tls + "</p>");
  EXPECT_EQ(ts::curl("'" + h.url("/") + "'"), "403 Forbidden: a token is required");
  EXPECT_EQ(code("'" + h.url("/?t=wrong") + "'"), "403");
  EXPECT_EQ(code("'" + h.url("/cert.cer") + "'"), "403");
  EXPECT_EQ(code("'" + h.url("/cert.cer?t=testtoken") + "'"), "404");
  EXPECT_EQ(code("'" + h.url("/elsewhere?t=testtoken") + "'"), "404");
  EXPECT_EQ(code("'" + h.url("/ws?t=testtoken") + "'"), "404");
  EXPECT_EQ(code("-X POST '" + h.url("/?t=testtoken") + "'"), "405");
  auto headers = ts::curl("-D - -o /dev/null '" + h.url("/?t=testtoken") + "'");
  EXPECT_NE(headers.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(headers.find("Cache-Control: no-store\r\n"), std::string::npos);
  EXPECT_NE(headers.find("Connection: close\r\n"), std::string::npos);
  // The page is read on every request, so edits show without a restart.
  ts::writeFile(clientDir + "/index.html", "<p>edited</p>");
  EXPECT_EQ(ts::curl("'" + h.url("/?t=testtoken") + "'"), "<p>edited</p>");
  ts::removeTree(clientDir);
}

TEST(HostBinary, ServesThePageFilesFromThePageFolderWithTheToken) {
  auto clientDir = ts::makeTempDir();
  ts::writeFile(clientDir + "/index.html", "<p>__TLS_PORT__</p>");
  for (const auto& name : clientFiles())
    if (name != "index.html") ts::writeFile(clientDir + "/" + name, "// " + name + " __TLS_PORT__");
  ts::writeFile(clientDir + "/extra.js", "// not on the list");
  ts::HostProcess h({"--test-pattern", "--no-tls", "--client-dir", clientDir});
  auto code = [&](const std::string& path) {
    return ts::curl("--path-as-is -o /dev/null -w '%{http_code}' '" + h.url(path) + "'");
  };
  for (const auto& name : clientFiles()) {
    if (name == "index.html") continue;
    // Served as written: only the page gets its port filled in.
    EXPECT_EQ(ts::curl("'" + h.url("/" + name + "?t=testtoken") + "'"), "// " + name + " __TLS_PORT__");
    EXPECT_EQ(code("/" + name), "403") << name;
    EXPECT_EQ(code("/" + name + "?t=wrong"), "403") << name;
  }
  auto headers = ts::curl("-D - -o /dev/null '" + h.url("/video.js?t=testtoken") + "'");
  EXPECT_NE(headers.find("Content-Type: text/javascript; charset=utf-8\r\n"), std::string::npos) << headers;
  EXPECT_NE(headers.find("Cache-Control: no-store\r\n"), std::string::npos);
  EXPECT_NE(headers.find("Connection: close\r\n"), std::string::npos);
  EXPECT_EQ(ts::curl("'" + h.url("/index.html?t=testtoken") + "'"), "<p>" + std::to_string(h.tlsPort) + "</p>");
  for (std::string path : {"/extra.js", "/%2e%2e/index.html", "/..%2findex.html", "/video.js/../index.html",
                           "/client/video.js", "/%2Fvideo.js", "/./video.js", "/../CMakeLists.txt"}) {
    EXPECT_EQ(code(path + "?t=testtoken"), "404") << path;
    EXPECT_EQ(code(path), "403") << path;
  }
  EXPECT_EQ(ts::curl("-X POST --path-as-is -o /dev/null -w '%{http_code}' '" + h.url("/video.js?t=testtoken") + "'"), "405");
  // Read on every request; a listed file that went away is not found.
  ts::writeFile(clientDir + "/video.js", "// edited");
  EXPECT_EQ(ts::curl("'" + h.url("/video.js?t=testtoken") + "'"), "// edited");
  std::filesystem::remove(clientDir + "/video.js");
  EXPECT_EQ(code("/video.js?t=testtoken"), "404");
  ts::removeTree(clientDir);
}

TEST(HostBinary, JapaneseTextsWithLang) {
  auto clientDir = ts::makeTempDir();
  ts::HostProcess h({"--test-pattern", "--no-tls", "--lang", "ja", "--client-dir", clientDir});
  EXPECT_EQ(ts::curl("'" + h.url("/") + "'"), "403 Forbidden: トークンが必要です");
  ts::removeTree(clientDir);
}

TEST(HostBinary, HostileBytesNeverCrashIt) {
  ts::HostProcess h({"--test-pattern", "--no-tls"});
  {
    ts::RawClient c(h.port);
    c.sendBytes(std::string(70000, 'G'));
    EXPECT_TRUE(c.peerClosed());
  }
  {
    ts::RawClient c(h.port);
    c.sendBytes("GET /\xc3\x28?t=testtoken HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(c.peerClosed());
  }
  {
    ts::RawClient c(h.port);
    ASSERT_TRUE(c.upgrade("testtoken"));
    c.sendFrame(1, "{\"t\":\"ping\",\"c\":\"\xff\"}");
    c.sendFrame(1, "{\"t\":");
    c.sendFrame(1, "[1,2,3]");
    c.sendFrame(1, "{\"t\":\"mv\",\"x\":1e308,\"y\":-1e308,\"id\":-5}");
    c.sendFrame(1, "{\"t\":\"ping\",\"c\":1e400}");
    std::string h64 = "\x81\xFF";
    for (int i = 0; i < 8; ++i) h64.push_back(static_cast<char>(0xFF));
    c.sendBytes(h64);
    EXPECT_TRUE(c.peerClosed());
  }
  for (int i = 0; i < 30; ++i) {
    ts::RawClient c(h.port);
    if (i % 3 == 0) c.upgrade("testtoken");
    c.sendBytes(std::string("\x81\xFE\x00", 3));
  }
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(h.proc->exited().has_value());
  auto lines = h.session(R"([{"recv":2}])");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(textOf(lines[0]).find("\"t\":\"hello\""), std::string::npos);
}

TEST(HostBinary, ALaggingViewerCapsTheFrameRateUntilItsReportsStop) {
  ts::HostProcess h({"--test-pattern", "--no-tls", "--fps", "30"});
  // Reads frames (video flows meanwhile) until a pong; every message before it has been handled.
  auto roundTrip = [](ts::RawClient& c) {
    c.sendFrame(1, R"({"t":"ping","c":7})");
    for (int i = 0; i < 2000; ++i) {
      auto f = c.readFrame();
      if (!f) return false;
      if (f->opcode == 1 && f->payload.find("\"pong\"") != std::string::npos) return true;
    }
    return false;
  };
  {
    // Reports it cannot use change nothing and break nothing.
    ts::RawClient bad(h.port);
    ASSERT_TRUE(bad.upgrade("testtoken"));
    for (std::string text : {R"({"t":"rep"})", R"({"t":"rep","qd":"900"})", R"({"t":"rep","qd":null})",
                             R"({"t":"rep","qd":[900]})", R"({"t":"rep","qd":1e400})", R"({"t":"rep","qd":-1e308})",
                             R"({"t":"rep","qd":900)", R"({"t":"rep","qd":-5})", R"({"t":"rep","qd":{}})"})
      bad.sendFrame(1, text);
    ASSERT_TRUE(roundTrip(bad));
  }
  EXPECT_EQ(h.proc->output().find("fps に"), std::string::npos) << h.proc->output();
  // Three reports in a row of a picture 900 ms late.
  ts::RawClient c(h.port);
  ASSERT_TRUE(c.upgrade("testtoken"));
  for (int i = 0; i < 3; ++i) c.sendFrame(1, R"({"t":"rep","qd":900})");
  ASSERT_TRUE(roundTrip(c));
  EXPECT_NE(h.proc->output().find("[host] 表示が遅れています (900 ms): 映像を 21 fps に\n"), std::string::npos)
      << h.proc->output();
  // Silence from the viewer while video still flows: the cap ends by itself.
  bool lifted = false;
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!lifted && std::chrono::steady_clock::now() < deadline) {
    if (!c.readFrame()) break;
    lifted = h.proc->output().find("[host] 映像のフレームレートを元に戻します\n") != std::string::npos;
  }
  EXPECT_TRUE(lifted) << h.proc->output();
  EXPECT_FALSE(h.proc->exited().has_value());
}

TEST(HostBinary, ExitsWithStatusOneWhenThePortIsTaken) {
  ts::HostProcess first({"--test-pattern", "--no-tls"});
  auto dir = ts::makeTempDir();
  ts::Child second({TOLVANE_HOST_BIN, "--test-pattern", "--no-tls", "--no-signal", "--port",
                    std::to_string(first.port), "--data-dir", dir});
  auto st = second.exited(60s);
  ASSERT_TRUE(st.has_value());
  EXPECT_EQ(*st, 1);
  EXPECT_NE(second.output().find("http起動失敗: "), std::string::npos) << second.output();
  ts::removeTree(dir);
}

TEST(HostBinary, TermSignalsEndItWithStatusZeroWhileASessionIsOpen) {
  for (int sig : {15, 2, 1}) {
    ts::HostProcess h({"--test-pattern", "--no-tls"});
    auto lines = h.session(R"([{"recv":1}])");
    // A session that stays open to the end does not hold it up: it would keep
    // a host that waited for its sessions running until the limit below.
    ts::RawClient live(h.port);
    ASSERT_TRUE(live.upgrade("testtoken"));
    ASSERT_TRUE(h.proc->waitCatches(sig)) << sig;
    EXPECT_EQ(h.proc->stop(sig, 60s), 0) << sig;
    EXPECT_TRUE(live.peerClosed()) << sig;
  }
}
