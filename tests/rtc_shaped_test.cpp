// Data-channel video over shaped links: our rendezvous server and the host
// (test pattern with noisy scrolling, so the encoder spends its budget) in
// this suite's private namespace, the test phone behind a link emulator in a
// nested one. What is asserted are events and their order in the host's
// journal and in what the phone kept, never how fast a busy machine gets there.
#include "support/ShapedLink.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <sstream>
#include <thread>

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

const std::string kStun = std::string("stun:") + ts::ShapedLink::kNear + ":3478";

class ShapedTest : public ::testing::Test {
protected:
  void TearDown() override {
    phoneProc.reset();
    host.reset();
    signal.reset();
    link.reset();
    if (!dir.empty()) ts::removeTree(dir);
  }

  void start(std::vector<std::string> linkArgs, std::vector<std::string> hostArgs = {}) {
    link = std::make_unique<ts::ShapedLink>(linkArgs);
    ASSERT_TRUE(link->ok()) << link->output();
    sigPort = ts::freePort();
    signal = std::make_unique<ts::Child>(std::vector<std::string>{
        TOLVANE_SIGNAL_BIN, "--port", std::to_string(sigPort), "--bind", ts::ShapedLink::kNear, "--stun", kStun});
    dir = ts::makeTempDir("rtc-shaped");
    std::vector<std::string> argv = {TOLVANE_HOST_BIN, "--test-pattern", "--test-scroll-noise", "--no-tls",
                                     "--port", std::to_string(ts::freePort()), "--data-dir", dir, "--signal",
                                     std::string("ws://") + ts::ShapedLink::kNear + ":" + std::to_string(sigPort),
                                     "--stun", kStun};
    argv.insert(argv.end(), hostArgs.begin(), hostArgs.end());
    host = std::make_unique<ts::Child>(argv, std::vector<std::string>{
                                                 "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1"});
    ASSERT_TRUE(host->waitFor("[rtc] 待ち合わせ役に登録しました", 60s)) << host->output();
    key = ts::readFile(dir + "/connect_key.txt");
  }

  // The phone keeps video for at most `stay` seconds (less once stopPhone()).
  void phone(double stay) {
    h264 = dir + "/kept.h264";
    stopFile = dir + "/stop";
    phoneProc = std::make_unique<ts::Child>(
        link->inside({"/usr/bin/python3", TOLVANE_SOURCE_DIR "/tests/tools/aiortc_phone.py",
                      std::string("ws://") + ts::ShapedLink::kNear + ":" + std::to_string(sigPort) + "/ws", key,
                      "video", std::to_string(stay)}),
        std::vector<std::string>{"PHONE_H264=" + h264, "PHONE_STOP=" + stopFile});
    ASSERT_TRUE(phoneProc->waitFor("\"ev\": \"ctl_open\"", 90s)) << phoneProc->output() << host->output();
  }
  void stopPhone() { ts::writeFile(stopFile, "stop"); }

  std::vector<json> phoneLines(const std::string& ev) const {
    std::vector<json> out;
    std::istringstream in(phoneProc->output());
    for (std::string line; std::getline(in, line);) {
      auto j = json::parse(line, nullptr, false);
      if (j.is_object() && j.value("ev", "") == ev) out.push_back(j);
    }
    return out;
  }
  json summary() {
    EXPECT_TRUE(phoneProc->waitFor("\"ev\": \"video_summary\"", 150s)) << phoneProc->output();
    auto s = phoneLines("video_summary");
    return s.empty() ? json::object() : s.back();
  }
  // ffmpeg's complaints about what the phone kept ("" when it decodes cleanly).
  std::string decodeWarnings() const {
    return ts::run("ffmpeg -nostdin -v warning -f h264 -i '" + h264 + "' -f null - 2>&1");
  }

  std::vector<json> journal() const {
    std::vector<json> out;
    std::istringstream in(ts::readFile(dir + "/connect_log.jsonl"));
    for (std::string line; std::getline(in, line);) {
      auto j = json::parse(line, nullptr, false);
      if (j.is_object()) out.push_back(j);
    }
    return out;
  }
  std::vector<json> events(const std::string& name) const {
    std::vector<json> out;
    for (auto& r : journal())
      if (r.value("ev", "") == name) out.push_back(r);
    return out;
  }
  // Waits for the first "rate" event from `after` on that satisfies `pred`.
  std::optional<json> waitRate(const std::function<bool(const json&)>& pred, size_t after = 0,
                               std::chrono::seconds limit = 90s) {
    std::optional<json> hit;
    ts::waitUntil(
        [&] {
          auto r = events("rate");
          for (size_t i = after; i < r.size(); ++i)
            if (pred(r[i])) return hit = r[i], true;
          return false;
        },
        limit);
    return hit;
  }
  std::optional<json> endedRecord() const {
    for (auto& r : journal())
      if (r.value("src", "") == "host" && r.value("result", "") == "ended") return r;
    return std::nullopt;
  }
  void expectCleanVideo(const json& s) {
    EXPECT_EQ(s["bad"], json::array()) << s.dump();
    EXPECT_TRUE(s.value("first_key", false)) << s.dump();
    EXPECT_GT(s.value("kept", 0), 0) << s.dump();
    EXPECT_EQ(decodeWarnings(), "");
  }

  int sigPort = 0;
  std::string dir, key, h264, stopFile;
  std::unique_ptr<ts::ShapedLink> link;
  std::unique_ptr<ts::Child> signal, host, phoneProc;
};

// A clean link: every frame arrives whole and in order and decodes; from a
// low start the rate climbs by 1.12 a step up to the ceiling and no further;
// heartbeats, the route and the journal's statistics come as they should.
TEST_F(ShapedTest, UnshapedLinkCarriesCleanVideoAndTheRateClimbsToTheCeiling) {
  start({}, {"--rate-start", "1000000", "--rate-max", "2000000"});
  phone(60);
  // Seven steps of 1.12 reach the ceiling of 2000000 from 1000000.
  auto top = waitRate([](const json& e) { return e.value("bitrate", 0) == 2000000; }, 0, 120s);
  // A couple of heartbeats and periodic snapshots after reaching it.
  std::this_thread::sleep_for(6s);
  stopPhone();
  auto s = summary();
  expectCleanVideo(s);
  EXPECT_EQ(s.value("gaps", -1), 0) << s.dump();
  EXPECT_EQ(s.value("incomplete", -1), 0) << s.dump();
  EXPECT_GT(s["ids_back"].size(), 0u) << "input ids never came back in frame headers";

  ASSERT_TRUE(top.has_value()) << ts::readFile(dir + "/connect_log.jsonl");
  auto rates = events("rate");
  ASSERT_FALSE(rates.empty());
  EXPECT_EQ(rates[0]["was_bitrate"], 1000000);
  int rises = 0;
  for (auto& e : rates) {
    EXPECT_LE(e.value("bitrate", 0), 2000000) << e.dump();
    if (e.value("congested", true)) continue;
    int64_t was = e["was_bitrate"], now = e["bitrate"];
    if (now == was) continue;
    EXPECT_EQ(now, std::min<int64_t>(2000000, static_cast<int64_t>(was * 1.12))) << e.dump();
    ++rises;
  }
  EXPECT_GE(rises, 7);

  // Heartbeats every 2 s: never more than the tick allows, never long absent.
  auto hbs = phoneLines("hb");
  ASSERT_GE(hbs.size(), 3u);
  double first = hbs.front()["at"], last = hbs.back()["at"];
  EXPECT_LE(hbs.size(), static_cast<size_t>((last - first) / 2.0) + 2) << "heartbeats too often";
  EXPECT_GE(hbs.size(), static_cast<size_t>((last - first) / 2.0 / 2.0)) << "heartbeats missing";

  // The route: both ends on private addresses of one network.
  std::optional<json> ok;
  for (auto& r : journal())
    if (r.value("src", "") == "host" && r.value("result", "") == "ok") ok = r;
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ((*ok)["route"], "host");
  EXPECT_EQ((*ok)["local_ip_kind"], "private");
  EXPECT_TRUE((*ok)["remote_ip_kind"] == "private" || (*ok)["remote_ip_kind"] == "mdns") << ok->dump();
  EXPECT_EQ((*ok)["same_lan"], true);
  auto sent = events("route_sent");
  ASSERT_FALSE(sent.empty());
  auto msg = json::parse(sent[0]["msg"].get<std::string>());
  EXPECT_EQ(msg["t"], "route");
  EXPECT_EQ(msg["same_lan"], true);
  EXPECT_NE(phoneProc->output().find("\\\"t\\\":\\\"route\\\""), std::string::npos);

  // Periodic statistics carry the queue, the controller and the phone's report.
  auto stats = events("stats");
  ASSERT_FALSE(stats.empty());
  bool withRep = false;
  for (auto& st : stats) {
    EXPECT_EQ(st["tag"], "periodic");
    EXPECT_TRUE(st.contains("buffered")) << st.dump();
    EXPECT_TRUE(st["rate"].is_object()) << st.dump();
    EXPECT_TRUE(st["client_rep"].is_object()) << st.dump();
    withRep |= st["client_rep"].value("t", "") == "rep" && st["rate"].contains("sent_kbps");
  }
  EXPECT_TRUE(withRep) << stats.back().dump();

  // No address of either end anywhere in the journal, the STUN URL aside.
  std::string log = ts::readFile(dir + "/connect_log.jsonl");
  for (size_t at = log.find(kStun); at != std::string::npos; at = log.find(kStun)) log.erase(at, kStun.size());
  EXPECT_EQ(log.find("10.77.0."), std::string::npos);
  EXPECT_EQ(log.find("127.0.0."), std::string::npos);
}

// At 1.5 Mbit/s with a short queue the controller backs off under the limit
// while frames keep coming; lifted, the rate rises again, but only once 6 s
// have passed since the last decrease. The link's tail drops make the host's
// SCTP abandon video messages and skip them with FORWARD TSN, so this also
// shows the phone's ordered stream going on past them.
TEST_F(ShapedTest, BottleneckBringsTheRateUnderItAndLiftingItRaisesTheRateAgain) {
  start({"--down-rate", "1500", "--down-queue", "150000"});
  phone(120);
  auto under = waitRate([](const json& e) { return e.value("congested", false) && e.value("bitrate", 0) < 1500000; });
  ASSERT_TRUE(under.has_value()) << ts::readFile(dir + "/connect_log.jsonl");
  size_t framesThen = phoneLines("vstat").empty() ? 0 : phoneLines("vstat").back().value("frames", 0);
  size_t seen = events("rate").size();

  link->set("down rate 0");
  auto rise = waitRate([](const json& e) { return !e.value("congested", true) && e["bitrate"] > e["was_bitrate"]; },
                       seen, 90s);
  stopPhone();
  auto s = summary();
  expectCleanVideo(s);
  EXPECT_GT(static_cast<size_t>(s.value("frames", 0)), framesThen) << "frames stopped under the limit";

  ASSERT_TRUE(rise.has_value()) << ts::readFile(dir + "/connect_log.jsonl");
  int64_t lastDecrease = -1;
  for (auto& e : events("rate")) {
    if (e == *rise) break;
    if (e["bitrate"] < e["was_bitrate"]) lastDecrease = e["ms"];
  }
  ASSERT_GE(lastDecrease, 0);
  // The journal's "ms" are whole milliseconds, each rounded on its own.
  EXPECT_GE(rise->value("ms", 0) - lastDecrease, 6000 - 1) << rise->dump();
}

// A long but constant delay is no queue: "qd" stays near 0. A deep buffer
// that fills (tbf with seconds of latency) pushes "qd" past 250 and the rate down.
TEST_F(ShapedTest, ConstantDelayKeepsQdLowAndAGrowingQueueBringsTheRateDown) {
  start({"--delay", "100"}, {"--rate-start", "1000000", "--rate-max", "1500000"});
  phone(120);
  ASSERT_TRUE(phoneProc->waitFor("\"ev\": \"vstat\"", 60s, 10)) << phoneProc->output();
  std::vector<int> qds;
  for (auto& v : phoneLines("vstat"))
    if (v.value("frames", 0) > 0) qds.push_back(v.value("qd", 0));
  ASSERT_GE(qds.size(), 5u);
  std::sort(qds.begin(), qds.end());
  EXPECT_LT(qds[qds.size() / 2], 100) << "median qd over a constant delay";

  size_t seen = events("rate").size();
  ASSERT_EQ(ts::run("tc qdisc add dev le0 root tbf rate 600kbit burst 20kb latency 4s 2>&1", nullptr), "");
  auto down = waitRate([](const json& e) { return e.value("qd", 0) > 250 && e.value("congested", false); }, seen);
  stopPhone();
  summary();
  ASSERT_TRUE(down.has_value()) << ts::readFile(dir + "/connect_log.jsonl");
  EXPECT_LT((*down)["bitrate"], (*down)["was_bitrate"]);
}

// Nothing gets through any more: the watchdog ends the session by its rule.
TEST_F(ShapedTest, AllPacketsLostEndsTheSessionAfterEightSecondsOfSilence) {
  start({});
  phone(120);
  ASSERT_TRUE(phoneProc->waitFor("\"ev\": \"vstat\"", 60s, 2));
  link->set("loss 100");
  ASSERT_TRUE(ts::waitUntil([&] { return endedRecord().has_value(); }, 90s)) << host->output();
  EXPECT_EQ((*endedRecord())["reason"], "no_message_8s");
  EXPECT_EQ(events("no_message_8s").size(), 1u);
  EXPECT_TRUE(host->waitFor("[host] 接続0件。映像を停止", 30s)) << host->output();
}

TEST_F(ShapedTest, SimulatedBlackoutEndsTheSessionAfterEightSecondsOfSilence) {
  start({}, {"--sim-blackout", "3:30"});
  phone(120);
  ASSERT_TRUE(ts::waitUntil([&] { return endedRecord().has_value(); }, 90s)) << host->output();
  EXPECT_EQ((*endedRecord())["reason"], "no_message_8s");
  EXPECT_EQ(events("no_message_8s").size(), 1u);
  EXPECT_TRUE(host->waitFor("[host] 接続0件。映像を停止", 30s)) << host->output();
}

// Simulated loss of every binary message: no video, yet text flows both ways.
TEST_F(ShapedTest, SimulatedTotalLossStopsVideoButNotText) {
  start({}, {"--sim-loss-pct", "100"});
  phone(9);
  auto s = summary();
  EXPECT_EQ(s.value("frames", -1), 0) << s.dump();
  EXPECT_GE(s["texts"].value("hb", 0), 2) << s.dump();
  EXPECT_GE(s["texts"].value("pong", 0), 3) << s.dump();
  EXPECT_GE(s["texts"].value("config", 0), 1) << s.dump();
}

// The simulated bottleneck drives the controller as a real one does.
TEST_F(ShapedTest, SimulatedRateLimitBringsTheRateDown) {
  start({}, {"--sim-kbps", "1000"});
  phone(120);
  auto under = waitRate([](const json& e) { return e.value("congested", false) && e.value("bitrate", 0) < 1000000; });
  stopPhone();
  auto s = summary();
  ASSERT_TRUE(under.has_value()) << ts::readFile(dir + "/connect_log.jsonl");
  expectCleanVideo(s);
}

}  // namespace
