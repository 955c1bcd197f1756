// The host's rendezvous-server client against a scripted server of real
// WebSocket code (python3-websockets): registration texts, the keep-alive,
// the back-off after losses, and wss with certificate checks. Every wait of
// the client is scaled down by RTCTransport::timeScale, so the 2..30 s
// sequence runs in a fraction of that and the assertions are on order and
// text, never on elapsed time.
#include "app/Crypto.h"
#include "app/Log.h"
#include "app/Settings.h"
#include "rtc/RTCTransport.h"
#include "support/FakePeer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <thread>

namespace {

const std::string kKey = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

class ScriptedServer {
public:
  explicit ScriptedServer(const std::string& mode, const std::string& cert = "", const std::string& key = "") {
    std::vector<std::string> argv = {"/usr/bin/python3", TOLVANE_SOURCE_DIR "/tests/tools/scripted_signal.py", mode};
    if (!cert.empty()) argv.insert(argv.end(), {cert, key});
    proc = std::make_unique<ts::Child>(argv);
    if (!proc->waitFor("PORT ", std::chrono::seconds(30))) throw std::runtime_error("server: " + proc->output());
    std::smatch m;
    std::string out = proc->output();
    std::regex_search(out, m, std::regex("PORT (\\d+)"));
    port = std::stoi(m[1]);
  }
  std::vector<std::string> received() const {
    std::vector<std::string> out;
    std::istringstream in(proc->output());
    for (std::string line; std::getline(in, line);)
      if (line.rfind("RECV ", 0) == 0) out.push_back(line.substr(5));
    return out;
  }
  int connections() const {
    std::istringstream in(proc->output());
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line == "CONN";
    return n;
  }
  std::unique_ptr<ts::Child> proc;
  int port = 0;
};

class SignalClientTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = ts::makeTempDir("rtc-signal");
    settings().dataDir = dir;
    setLogTap([this](const std::string& line) {
      std::lock_guard<std::mutex> l(m);
      logs.push_back(line);
    });
  }
  void TearDown() override {
    if (t) t->stop();
    t.reset();
    setLogTap(nullptr);
    ts::removeTree(dir);
  }
  void start(const std::string& url, double scale) {
    t = std::make_shared<RTCTransport>(url, kKey, "stun:127.0.0.1:3478", 25, std::make_shared<ts::FakeFactory>());
    t->timeScale = scale;
    t->start();
  }
  std::vector<std::string> logLines(const std::string& prefix) {
    std::lock_guard<std::mutex> l(m);
    std::vector<std::string> out;
    for (auto& s : logs)
      if (s.rfind(prefix, 0) == 0) out.push_back(s);
    return out;
  }
  template <class P>
  bool waitUntil(P pred, std::chrono::seconds limit = std::chrono::seconds(60)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
  }

  std::string dir;
  std::mutex m;
  std::vector<std::string> logs;
  std::shared_ptr<RTCTransport> t;
};

const std::string kLost = "[rtc] 待ち合わせ役との接続が切れました(";

TEST_F(SignalClientTest, RegistersWithExactTextsAndKeepsAlive) {
  ScriptedServer s("ok");
  start("ws://127.0.0.1:" + std::to_string(s.port), 0.05);
  EXPECT_EQ(t->wsURL(), "ws://127.0.0.1:" + std::to_string(s.port) + "/ws");
  ASSERT_TRUE(waitUntil([&] { return !logLines("[rtc] 待ち合わせ役に登録しました").empty(); }));
  ASSERT_TRUE(waitUntil([&] { return s.received().size() >= 2; }));
  auto got = s.received();
  EXPECT_EQ(got[0], "{\"rid\":\"" + sha256hex("rid:" + kKey) + "\",\"t\":\"host\"}");
  EXPECT_EQ(got[1], "{\"t\":\"ping\"}");
  for (auto& g : got) EXPECT_EQ(g.find(kKey), std::string::npos);
}

TEST_F(SignalClientTest, RejectWaitsThirtySeconds) {
  ScriptedServer s("reject");
  start("ws://127.0.0.1:" + std::to_string(s.port) + "/", 0.02);
  ASSERT_TRUE(waitUntil([&] { return s.connections() >= 2; }));
  EXPECT_FALSE(logLines("[rtc] 待ち合わせ役に拒否されました(bad rid)").empty());
  auto lost = logLines(kLost);
  ASSERT_FALSE(lost.empty());
  EXPECT_NE(lost[0].find("。30秒後に再接続"), std::string::npos) << lost[0];
}

TEST_F(SignalClientTest, ReplacedIsLoggedAndChangesNothingElse) {
  ScriptedServer s("replaced");
  start("ws://127.0.0.1:" + std::to_string(s.port), 0.05);
  ASSERT_TRUE(waitUntil([&] { return !logLines("[rtc] 同じキーの別のMacに入れ替えられました").empty(); }));
  // Still registered and pinging on the same socket.
  ASSERT_TRUE(waitUntil([&] {
    auto r = s.received();
    return std::count(r.begin(), r.end(), "{\"t\":\"ping\"}") >= 2;
  }));
  EXPECT_EQ(s.connections(), 1);
}

TEST_F(SignalClientTest, SilentServerIsGivenUpWithNoPong) {
  ScriptedServer s("silent");
  start("ws://127.0.0.1:" + std::to_string(s.port), 0.02);
  ASSERT_TRUE(waitUntil([&] { return s.connections() >= 2; }));
  auto lost = logLines(kLost);
  ASSERT_FALSE(lost.empty());
  EXPECT_EQ(lost[0], kLost + "no_pong)。2秒後に再接続");
}

TEST_F(SignalClientTest, BackOffDoublesToThirty) {
  ScriptedServer s("drop");
  start("ws://127.0.0.1:" + std::to_string(s.port), 0.02);
  ASSERT_TRUE(waitUntil([&] { return logLines(kLost).size() >= 7; }, std::chrono::seconds(120)));
  auto lost = logLines(kLost);
  const char* waits[] = {"2", "4", "8", "16", "30", "30", "30"};
  for (size_t i = 0; i < 7; ++i)
    EXPECT_NE(lost[i].find(std::string("。") + waits[i] + "秒後に再接続"), std::string::npos) << lost[i];
}

TEST_F(SignalClientTest, BinaryIgnoredOversizeEndsTheSocket) {
  ScriptedServer s("binary");
  start("ws://127.0.0.1:" + std::to_string(s.port), 0.02);
  ASSERT_TRUE(waitUntil([&] { return s.connections() >= 2; }));
  EXPECT_FALSE(logLines("[rtc] 待ち合わせ役に登録しました").empty());
  EXPECT_FALSE(logLines(kLost).empty());
}

TEST_F(SignalClientTest, UnusableUrlsAreRefusedAtConstruction) {
  auto f = std::make_shared<ts::FakeFactory>();
  for (const char* url : {"http://x/", "ftp://x", "ws:///", "ws://user@host/", "ws://h:99999/", "ws://h:abc/", "wss://[::1/"})
    EXPECT_THROW(RTCTransport(url, kKey, "", 25, f), std::invalid_argument) << url;
  RTCTransport ok("wss://sig.example:8443/base/", kKey, "", 25, f);
  EXPECT_EQ(ok.wsURL(), "wss://sig.example:8443/base/ws");
  EXPECT_EQ(ok.rid(), sha256hex("rid:" + kKey));
}

// One CA for the whole suite: the client's TLS context reads SSL_CERT_FILE once.
class SignalTlsTest : public SignalClientTest {
protected:
  static void SetUpTestSuite() {
    pki = ts::makeTempDir("rtc-pki");
    std::string cmd = "cd " + pki +
                      " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=TestCA "
                      "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign >/dev/null 2>&1";
    auto leaf = [](const std::string& name, const std::string& san) {
      return " && openssl req -newkey rsa:2048 -nodes -keyout " + name + ".key -out " + name +
             ".csr -subj /CN=" + name + " >/dev/null 2>&1 && printf 'subjectAltName=" + san + "\\n' > " + name +
             ".ext && openssl x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out " +
             name + ".pem -extfile " + name + ".ext >/dev/null 2>&1";
    };
    cmd += leaf("good", "IP:127.0.0.1,DNS:localhost") + leaf("other", "DNS:other.example");
    int status = 0;
    ts::run(cmd, &status);
    ASSERT_EQ(status, 0);
    setenv("SSL_CERT_FILE", (pki + "/ca.pem").c_str(), 1);
  }
  static void TearDownTestSuite() { ts::removeTree(pki); }
  static std::string pki;
};
std::string SignalTlsTest::pki;

TEST_F(SignalTlsTest, WssWithTheHostNameChecked) {
  ScriptedServer good("ok", pki + "/good.pem", pki + "/good.key");
  start("wss://127.0.0.1:" + std::to_string(good.port), 0.05);
  ASSERT_TRUE(waitUntil([&] { return !logLines("[rtc] 待ち合わせ役に登録しました").empty(); }));
  EXPECT_EQ(good.received().at(0), "{\"rid\":\"" + sha256hex("rid:" + kKey) + "\",\"t\":\"host\"}");
  t->stop();
  t.reset();

  // A certificate from the trusted CA but for another name is refused.
  ScriptedServer other("ok", pki + "/other.pem", pki + "/other.key");
  start("wss://localhost:" + std::to_string(other.port), 0.05);
  ASSERT_TRUE(waitUntil([&] { return !logLines(kLost).empty(); }));
  EXPECT_TRUE(other.received().empty());
  EXPECT_EQ(logLines("[rtc] 待ち合わせ役に登録しました").size(), 1u);
}

}  // namespace
