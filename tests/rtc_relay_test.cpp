// The host's internet transport through a relay server: coturn and our
// rendezvous server in this suite's private namespace, the host and a
// scripted phone (python3-aiortc) in two namespaces of their own, routed
// through this one with every direct UDP and TCP packet between them dropped
// by nftables (tests/tools/relay-net.sh). A session can only come up through
// the relay, and only with a credential the relay accepts.
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

const std::string kSecret = "relay-test-secret-4b1d";
const std::string kRelay = "10.0.0.1";
const std::string kStun = "stun:10.0.0.1:3478";
const std::string kNet = TOLVANE_SOURCE_DIR "/tests/tools/relay-net.sh";

std::string netnsOf(int pid) { return ts::run("readlink /proc/" + std::to_string(pid) + "/ns/net"); }

class RelayTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_STREQ(std::getenv("TOLVANE_NETNS"), "1") << "only inside the suite's own namespace";
    dir = ts::makeTempDir("rtc-relay");
    std::filesystem::create_directories(dir + "/host");
    // Each holder keeps one inner namespace open for as long as the test runs.
    std::string here = netnsOf(getpid());
    for (auto* h : {&hostNs, &phoneNs}) {
      *h = std::make_unique<ts::Child>(std::vector<std::string>{"unshare", "-n", "sleep", "100000"});
      int pid = (*h)->pid();
      ASSERT_TRUE(ts::waitUntil([&] {
        std::string ns = netnsOf(pid);
        return !ns.empty() && ns != here;
      }, 20s));
    }
    int status = -1;
    std::string out = ts::run(kNet + " " + std::to_string(hostNs->pid()) + " " + std::to_string(phoneNs->pid()) +
                                  " 2>&1",
                              &status);
    ASSERT_EQ(status, 0) << out;

    ts::writeFile(dir + "/turndb", "");
    turn = std::make_unique<ts::Child>(std::vector<std::string>{
        "turnserver", "-n", "--listening-ip", kRelay, "--relay-ip", kRelay, "--listening-port", "3478",
        "--min-port", "50000", "--max-port", "50999", "--use-auth-secret", "--static-auth-secret", kSecret,
        "--realm", "tolvane.test", "--no-tls", "--no-dtls", "--no-cli", "--log-file", "stdout", "--simple-log",
        "--pidfile", dir + "/turnserver.pid", "--userdb", dir + "/turndb", "--verbose"});
    ASSERT_TRUE(ts::waitUntil([&] { return listening(); }, 30s)) << turn->output();
  }
  void TearDown() override {
    phoneProc.reset();
    host.reset();
    signal.reset();
    turn.reset();
    hostNs.reset();
    phoneNs.reset();
    ts::removeTree(dir);
  }
  bool listening() { return ts::run("ss -Hlun 'sport = :3478'").find(kRelay) != std::string::npos; }

  // The rendezvous server, handing out credentials made from this secret.
  void startSignal(const std::string& secret, std::vector<std::string> extra = {}) {
    sigPort = ts::freePort();
    ts::writeFile(dir + "/signal-secret", secret + "\n");
    std::vector<std::string> argv = {TOLVANE_SIGNAL_BIN, "--port", std::to_string(sigPort), "--bind", kRelay,
                                     "--stun", kStun, "--turn", "turn:" + kRelay + ":3478", "--turn-secret",
                                     dir + "/signal-secret"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    signal = std::make_unique<ts::Child>(argv);
    ASSERT_TRUE(signal->waitFor("[signal] listening", 30s)) << signal->output();
  }
  std::vector<std::string> inside(const ts::Child& holder, std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"nsenter", "-t", std::to_string(holder.pid()), "-n", "--"});
    return argv;
  }
  void startHost(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {TOLVANE_HOST_BIN, "--test-pattern", "--no-tls", "--port", "18765",
                                     "--data-dir", dir + "/host", "--signal",
                                     "ws://" + kRelay + ":" + std::to_string(sigPort), "--stun", kStun};
    argv.insert(argv.end(), extra.begin(), extra.end());
    host = std::make_unique<ts::Child>(inside(*hostNs, argv),
                                       std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
                                                                "NO_AT_BRIDGE=1"});
    ASSERT_TRUE(host->waitFor("[rtc] 待ち合わせ役に登録しました", 60s)) << host->output();
    key = ts::readFile(dir + "/host/connect_key.txt");
  }
  void startPhone(double stay = 3) {
    phoneProc = std::make_unique<ts::Child>(inside(
        *phoneNs, {"/usr/bin/python3", TOLVANE_SOURCE_DIR "/tests/tools/aiortc_phone.py",
                   "ws://" + kRelay + ":" + std::to_string(sigPort) + "/ws", key, "ok", std::to_string(stay)}));
  }
  std::vector<json> outcome(const std::string& result) {
    std::vector<json> out;
    std::istringstream in(ts::readFile(dir + "/host/connect_log.jsonl"));
    for (std::string line; std::getline(in, line);) {
      if (line.empty()) continue;
      json r = json::parse(line);
      if (r.value("src", "") == "host" && r.value("result", "") == result) out.push_back(r);
    }
    return out;
  }
  bool waitOutcome(const std::string& result, std::chrono::seconds limit = 90s) {
    return ts::waitUntil([&] { return !outcome(result).empty(); }, limit);
  }
  int64_t dropped() { return std::stoll("0" + ts::run(kNet + " --counters")); }
  // A session that cannot reach the relay with its credential: one fail
  // record, no session, and the relay refused the allocation.
  void expectRelayRefused() {
    ASSERT_TRUE(waitOutcome("fail", 120s)) << host->output() << phoneProc->output();
    auto fails = outcome("fail");
    ASSERT_EQ(fails.size(), 1u);
    std::string reason = fails[0]["reason"];
    // aiortc gives up when the relay refuses its allocation and leaves
    // before ICE could time out at the host.
    EXPECT_TRUE(reason == "ice_failed" || reason == "timeout" || reason == "dtls_or_ice_failed" ||
                reason == "client_left_before_connect")
        << reason;
    EXPECT_TRUE(outcome("ok").empty());
    EXPECT_EQ(phoneProc->output().find("ctl_open"), std::string::npos) << phoneProc->output();
    // Not just the challenge every first request gets (401 without a user):
    // the credential itself was refused.
    EXPECT_TRUE(std::regex_search(turn->output(), std::regex("user <[0-9-]+:[0-9a-f]{16}>: incoming packet "
                                                             "message processed, error 401")))
        << turn->output();
    EXPECT_EQ(turn->output().find("ALLOCATE processed, success"), std::string::npos);
  }

  std::string dir, key;
  int sigPort = 0;
  std::unique_ptr<ts::Child> hostNs, phoneNs, turn, signal, host, phoneProc;
};

TEST_F(RelayTest, SessionComesUpThroughTheRelayWhenNoDirectPathExists) {
  startSignal(kSecret);
  startHost();
  startPhone(3);
  ASSERT_TRUE(phoneProc->waitFor("\"ev\": \"ctl_open\"", 120s)) << phoneProc->output() << host->output()
                                                               << turn->output();
  ASSERT_TRUE(phoneProc->waitFor("\\\"t\\\":\\\"hello\\\"", 30s)) << phoneProc->output();
  ASSERT_TRUE(phoneProc->waitFor("\\\"t\\\":\\\"pong\\\"", 30s)) << phoneProc->output();
  // The phone's ICE agent chose a pair with a relayed end, and direct
  // attempts were made and dropped on the way.
  std::string out = phoneProc->output();
  auto at = out.find("{\"ev\": \"pair\"");
  ASSERT_NE(at, std::string::npos) << out;
  json pair = json::parse(out.substr(at, out.find('\n', at) - at));
  // The phone may know the host's relayed address only as peer-reflexive:
  // the host's check through the relay can come before its trickled candidate.
  EXPECT_TRUE(pair["local"] == "relay" || pair["remote"] == "relay" || pair["remote"] == "prflx") << pair.dump();
  EXPECT_GT(dropped(), 0);
  EXPECT_NE(turn->output().find("ALLOCATE processed, success"), std::string::npos) << turn->output();

  ASSERT_TRUE(waitOutcome("ok")) << host->output();
  json ok = outcome("ok")[0];
  EXPECT_EQ(ok["mode"], "webrtc");
  EXPECT_EQ(ok["stun"], kStun);  // the configured STUN server, as before
  EXPECT_EQ(ok["route"], "relay") << ok.dump();
  // The phone is told the same: its route message carries "route":"relay".
  ASSERT_TRUE(phoneProc->waitFor("\\\"route\\\":\\\"relay\\\"", 30s)) << phoneProc->output();
  bool sentRelay = false;
  std::istringstream lines(ts::readFile(dir + "/host/connect_log.jsonl"));
  for (std::string line; std::getline(lines, line);) {
    json r = json::parse(line, nullptr, false);
    if (r.is_object() && r.value("ev", "") == "route_sent")
      sentRelay |= json::parse(r.value("msg", "{}"), nullptr, false).value("route", "") == "relay";
  }
  EXPECT_TRUE(sentRelay);

  ASSERT_TRUE(waitOutcome("ended")) << host->output();
  EXPECT_TRUE(outcome("fail").empty());
  // Neither the secret nor the credential made from it is journalled or
  // logged by the host, and no address is journalled (the STUN URL aside).
  std::string log = ts::readFile(dir + "/host/connect_log.jsonl");
  for (size_t p = log.find(kStun); p != std::string::npos; p = log.find(kStun)) log.erase(p, kStun.size());
  EXPECT_EQ(log.find("10.0."), std::string::npos) << log;
  EXPECT_EQ(log.find(kSecret), std::string::npos);
  EXPECT_EQ(host->output().find(kSecret), std::string::npos);
  EXPECT_EQ(signal->output().find(kSecret), std::string::npos);
}

TEST_F(RelayTest, WrongSecretFailsAtTheRelay) {
  startSignal("not-the-relay-secret");
  startHost({"--ice-timeout", "20"});
  startPhone();
  expectRelayRefused();
}

TEST_F(RelayTest, ExpiredCredentialFailsAtTheRelay) {
  startSignal(kSecret, {"--test-turn-ttl", "-3600"});
  startHost({"--ice-timeout", "20"});
  startPhone();
  expectRelayRefused();
}

}  // namespace
