// The host's internet transport for real: our rendezvous server, the host on
// the test pattern and a scripted phone (python3-aiortc), all inside this
// suite's private network namespace. Each way a session can go is caused
// from outside and must leave exactly its record in the connection journal.
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>
#include <sstream>
#include <thread>

using nlohmann::json;

namespace {

class PhoneTest : public ::testing::Test {
protected:
  void SetUp() override {
    sigPort = ts::freePort();
    signal = std::make_unique<ts::Child>(std::vector<std::string>{
        TOLVANE_SIGNAL_BIN, "--port", std::to_string(sigPort), "--bind", "127.0.0.1", "--stun",
        "stun:127.0.0.1:3478"});
    dir = ts::makeTempDir("rtc-phone");
  }
  void TearDown() override {
    host.reset();
    signal.reset();
    ts::removeTree(dir);
  }
  void startHost(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {TOLVANE_HOST_BIN, "--test-pattern", "--no-tls", "--port",
                                     std::to_string(ts::freePort()), "--data-dir", dir, "--signal",
                                     "ws://127.0.0.1:" + std::to_string(sigPort), "--stun", "stun:127.0.0.1:3478"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    host = std::make_unique<ts::Child>(argv, std::vector<std::string>{
                                                 "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1"});
    ASSERT_TRUE(host->waitFor("[rtc] 待ち合わせ役に登録しました", std::chrono::seconds(60))) << host->output();
    key = ts::readFile(dir + "/connect_key.txt");
  }
  std::unique_ptr<ts::Child> phone(const std::string& mode, double stay = 3) {
    return std::make_unique<ts::Child>(std::vector<std::string>{
        "/usr/bin/python3", TOLVANE_SOURCE_DIR "/tests/tools/aiortc_phone.py",
        "ws://127.0.0.1:" + std::to_string(sigPort) + "/ws", key, mode, std::to_string(stay)});
  }
  std::vector<json> journal() {
    std::vector<json> out;
    std::istringstream in(ts::readFile(dir + "/connect_log.jsonl"));
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) out.push_back(json::parse(line));
    return out;
  }
  std::vector<json> outcome(const std::string& result) {
    std::vector<json> out;
    for (auto& r : journal())
      if (r.value("src", "") == "host" && r.value("result", "") == result) out.push_back(r);
    return out;
  }
  // Waits until the journal has a record with that result.
  bool waitOutcome(const std::string& result, std::chrono::seconds limit = std::chrono::seconds(90)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (!outcome(result).empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  void expectOneFail(const std::string& reason) {
    ASSERT_TRUE(waitOutcome("fail")) << host->output();
    auto fails = outcome("fail");
    ASSERT_EQ(fails.size(), 1u) << ts::readFile(dir + "/connect_log.jsonl");
    EXPECT_EQ(fails[0]["reason"], reason);
    EXPECT_TRUE(outcome("ok").empty());
  }

  int sigPort = 0;
  std::string dir, key;
  std::unique_ptr<ts::Child> signal, host;
};

TEST_F(PhoneTest, SessionComesUpCarriesTheProtocolAndEndsOnce) {
  startHost();
  auto p = phone("ok", 3);
  ASSERT_TRUE(p->waitFor("\"ev\": \"ctl_open\"", std::chrono::seconds(90))) << p->output() << host->output();
  EXPECT_NE(p->output().find("\"mac_ok\": true"), std::string::npos);
  ASSERT_TRUE(p->waitFor("\\\"t\\\":\\\"hello\\\"", std::chrono::seconds(30))) << p->output();
  ASSERT_TRUE(p->waitFor("\\\"t\\\":\\\"pong\\\"", std::chrono::seconds(30))) << p->output();
  ASSERT_TRUE(waitOutcome("ok"));
  auto ok = outcome("ok")[0];
  EXPECT_EQ(ok["mode"], "webrtc");
  EXPECT_EQ(ok["stun"], "stun:127.0.0.1:3478");
  ASSERT_TRUE(waitOutcome("ended")) << host->output();
  auto ended = outcome("ended");
  ASSERT_EQ(ended.size(), 1u);
  std::string reason = ended[0]["reason"];
  EXPECT_TRUE(reason == "closed" || reason == "channel_closed") << reason;
  EXPECT_TRUE(outcome("fail").empty());
  // The phone's stats reached the latency journal.
  EXPECT_NE(ts::readFile(dir + "/latency_log.jsonl").find("\"p50\":1"), std::string::npos);
  // No address of either side was journalled (the configured STUN URL aside).
  std::string log = ts::readFile(dir + "/connect_log.jsonl");
  for (size_t at = log.find("stun:127.0.0.1:3478"); at != std::string::npos; at = log.find("stun:127.0.0.1:3478"))
    log.erase(at, 19);
  EXPECT_EQ(log.find("127.0.0."), std::string::npos);
}

TEST_F(PhoneTest, AnswerWithAnotherKeyIsRefused) {
  startHost();
  auto p = phone("badkey");
  expectOneFail("auth_failed");
  EXPECT_TRUE(host->waitFor("[rtc] answer の認証に失敗（キーが違うか改ざん）。破棄"));
}

TEST_F(PhoneTest, SignedAnswerThatIsNotSdpFails) {
  startHost();
  auto p = phone("badsdp");
  expectOneFail("sdp_failed");
}

TEST_F(PhoneTest, PhoneLeavingBeforeConnectingIsRecorded) {
  startHost();
  auto p = phone("leave");
  expectOneFail("client_left_before_connect");
}

TEST_F(PhoneTest, SecondPhoneReplacesAnUnfinishedAttempt) {
  startHost();
  auto p = phone("twice", 2);
  ASSERT_TRUE(waitOutcome("fail"));
  EXPECT_EQ(outcome("fail")[0]["reason"], "new_peer");
  bool closed = false;
  for (auto& r : journal()) closed |= r.value("ev", "") == "peer_closed" && r.value("reason", "") == "new_peer";
  EXPECT_TRUE(closed);
}

TEST_F(PhoneTest, SilentPhoneTimesOut) {
  startHost({"--ice-timeout", "4"});
  auto p = phone("silent");
  expectOneFail("timeout");
}

TEST_F(PhoneTest, PhoneClosingTheControlChannelEndsTheSession) {
  startHost();
  auto p = phone("closectl", 20);
  ASSERT_TRUE(p->waitFor("\"ev\": \"ctl_closed\"", std::chrono::seconds(90))) << p->output() << host->output();
  ASSERT_TRUE(waitOutcome("ended")) << host->output();
  auto ended = outcome("ended");
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0]["reason"], "channel_closed");
  EXPECT_TRUE(outcome("fail").empty());
}

// The pause comes at a fixed time after the host's start; the phone is up
// long before it (a session takes well under a second here, the margin is
// for a loaded machine).
TEST_F(PhoneTest, PauseAtTheHostClosesALiveSession) {
  startHost({"--test-pause-after", "20"});
  auto p = phone("ok", 60);
  ASSERT_TRUE(p->waitFor("\"ev\": \"ctl_open\"", std::chrono::seconds(19))) << p->output() << host->output();
  ASSERT_TRUE(p->waitFor("\\\"t\\\":\\\"paused\\\"", std::chrono::seconds(90))) << p->output();
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int closes = 0;
  while (std::chrono::steady_clock::now() < end && closes == 0) {
    for (auto& r : journal()) closes += r.value("ev", "") == "peer_closed" && r.value("reason", "") == "paused_by_mac";
    if (!closes) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(closes, 1) << ts::readFile(dir + "/connect_log.jsonl");
  EXPECT_TRUE(outcome("fail").empty());
  // A paused host takes no new phone.
  auto again = phone("ok", 2);
  EXPECT_TRUE(host->waitFor("[rtc] 一時停止中のため接続を受けません", std::chrono::seconds(60))) << host->output();
}

// webrtcbin completes DTLS against any certificate; the stack wrapper holds
// the session back unless the certificate is the one the signed answer named.
TEST_F(PhoneTest, AnotherDtlsFingerprintNeverOpensTheSession) {
  startHost({"--ice-timeout", "15"});
  auto p = phone("fingerprint", 3);
  // ICE may connect before DTLS fails: either a fail record or an ended one.
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (std::chrono::steady_clock::now() < end && outcome("fail").empty() && outcome("ended").empty())
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(outcome("fail").empty() && outcome("ended").empty()) << host->output();
  EXPECT_EQ(p->output().find("ctl_open"), std::string::npos);
  // The refusal is the stack's: the peer reported failed, no channel opened.
  bool failed = false, opened = false;
  for (auto& r : journal()) {
    failed |= r.value("ev", "") == "pc" && r.value("state", "") == "failed";
    opened |= r.value("ev", "") == "dc" && r.value("state", "") == "open";
  }
  EXPECT_TRUE(failed) << ts::readFile(dir + "/connect_log.jsonl");
  EXPECT_FALSE(opened) << ts::readFile(dir + "/connect_log.jsonl");
}

}  // namespace
