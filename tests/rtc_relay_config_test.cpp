// What the host makes of the relay servers that come with "peer": they go
// into that session's configuration beside the STUN server, and nothing the
// rendezvous server sends in their place can break a session.
#include "app/Settings.h"
#include "rtc/RTCTransport.h"
#include "support/FakePeer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

const std::string kKey = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kStun = "stun:127.0.0.1:3478";

class RelayConfigTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = ts::makeTempDir("rtc-relay-config");
    settings().dataDir = dir;
    factory = std::make_shared<ts::FakeFactory>();
    t = std::make_shared<RTCTransport>("ws://127.0.0.1:9", kKey, kStun, 25, factory);
    t->sigTap = [](const std::string&) {};
  }
  void TearDown() override {
    t->stop();
    t.reset();
    ts::removeTree(dir);
  }
  // The configuration of the session that this "peer" starts.
  rtc::PeerConfig peer(json msg) {
    size_t before = factory->count();
    msg["t"] = "peer";
    msg["cid"] = 7;
    t->injectSignal(msg.dump());
    for (int i = 0; i < 3; ++i) t->queue().sync([] {});
    EXPECT_EQ(factory->count(), before + 1) << msg.dump();
    auto p = factory->last();
    return p ? p->config : rtc::PeerConfig{};
  }

  std::string dir;
  std::shared_ptr<ts::FakeFactory> factory;
  std::shared_ptr<RTCTransport> t;
};

const json kTurn = {{"urls", {"turn:10.0.0.1:3478", "turn:10.0.0.1:3478?transport=tcp"}},
                    {"username", "1700000600:0123456789abcdef"},
                    {"credential", "UY+gV9nPxo/XYynt7w3HOjqueE4="}};

TEST_F(RelayConfigTest, RelaysOfEachPeerGoIntoItsSessionOnly) {
  auto withRelay = peer({{"turn", kTurn}});
  EXPECT_EQ(withRelay.iceServers,
            (std::vector<std::string>{kStun, "turn:10.0.0.1:3478", "turn:10.0.0.1:3478?transport=tcp"}));
  EXPECT_EQ(withRelay.turnUser, "1700000600:0123456789abcdef");
  EXPECT_EQ(withRelay.turnPassword, "UY+gV9nPxo/XYynt7w3HOjqueE4=");

  // The next phone comes through a server without relays: STUN alone, no
  // credentials left over from the last one.
  auto plain = peer({});
  EXPECT_EQ(plain.iceServers, std::vector<std::string>{kStun});
  EXPECT_EQ(plain.turnUser, "");
  EXPECT_EQ(plain.turnPassword, "");
}

TEST_F(RelayConfigTest, MalformedRelayFieldsMeanStunAlone) {
  auto without = [](const char* key) {
    json t = kTurn;
    t.erase(key);
    return t;
  };
  auto with = [](const char* key, json v) {
    json t = kTurn;
    t[key] = std::move(v);
    return t;
  };
  for (const json& bad : {json("turn:10.0.0.1:3478"), json::array(), json(nullptr), without("urls"),
                          without("username"), without("credential"), with("urls", "turn:10.0.0.1:3478"),
                          with("urls", json::array()), with("urls", {"stun:10.0.0.1:3478", "http://x", 5}),
                          with("username", 17), with("username", ""), with("credential", std::string(600, 'x')),
                          with("urls", {std::string("turn:") + std::string(600, 'a')})}) {
    auto c = peer({{"turn", bad}});
    EXPECT_EQ(c.iceServers, std::vector<std::string>{kStun}) << bad.dump();
    EXPECT_EQ(c.turnUser, "") << bad.dump();
  }
  // Of a list with some unusable entries the usable ones stay, at most eight.
  json many = kTurn;
  many["urls"] = {"stun:x", 3, "turns:10.0.0.1:5349"};
  for (int i = 0; i < 10; ++i) many["urls"].push_back("turn:10.0.0." + std::to_string(i));
  auto c = peer({{"turn", many}});
  ASSERT_EQ(c.iceServers.size(), 9u);
  EXPECT_EQ(c.iceServers[1], "turns:10.0.0.1:5349");
  EXPECT_EQ(c.iceServers[8], "turn:10.0.0.6");
}

}  // namespace
