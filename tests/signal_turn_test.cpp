// Relay credentials of the rendezvous server: the shared-secret scheme a TURN
// server checks, the options that turn it on, and what a join hands to the
// two sides.
#include "signal/Rooms.h"
#include "signal/SignalOptions.h"
#include "signal/TurnCredentials.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

using nlohmann::json;

namespace {

const std::string kRid = "1a2b3c4d" + std::string(56, 'e');
const std::string kRid2 = std::string(64, '7');

TEST(TurnCredentials, PasswordIsBase64OfHmacSha1OverTheUserName) {
  // RFC 2202, test case 2, and a user name of the scheme's own shape
  // (both computed independently with Python's hmac module).
  EXPECT_EQ(TurnCredentials::password("Jefe", "what do ya want for nothing?"), "7/zfauXrL6LSdBbV8YTfnCWafHk=");
  EXPECT_EQ(TurnCredentials::password("north", "1700000000:0123456789abcdef"), "UY+gV9nPxo/XYynt7w3HOjqueE4=");
}

TEST(TurnCredentials, UserNameIsExpiryAndARoomTagThatHidesTheRoom) {
  TurnCredentials c({"turn:relay.test:3478", "turn:relay.test:3478?transport=tcp"}, "s3cret", 600);
  c.now = [] { return int64_t{1700000000}; };
  json j = c.forRoom(kRid);
  ASSERT_TRUE(j.is_object());
  EXPECT_EQ(j["urls"], json({"turn:relay.test:3478", "turn:relay.test:3478?transport=tcp"}));
  std::string user = j["username"];
  ASSERT_EQ(user.rfind("1700000600:", 0), 0u) << user;
  std::string tag = user.substr(11);
  EXPECT_EQ(tag.size(), 16u);
  EXPECT_EQ(tag.find_first_not_of("0123456789abcdef"), std::string::npos) << tag;
  EXPECT_EQ(j["credential"], TurnCredentials::password("s3cret", user));

  // Stable per room, different between rooms and between secrets, and no
  // piece of the room id in it.
  EXPECT_EQ(tag, TurnCredentials::roomTag("s3cret", kRid));
  EXPECT_NE(tag, TurnCredentials::roomTag("s3cret", kRid2));
  EXPECT_NE(tag, TurnCredentials::roomTag("other", kRid));
  EXPECT_EQ(kRid.find(tag.substr(0, 6)), std::string::npos);
  std::string text = j.dump();
  EXPECT_EQ(text.find("s3cret"), std::string::npos);
  EXPECT_EQ(text.find(kRid.substr(0, 8)), std::string::npos);

  // The clock moves the expiry; a negative lifetime makes a spent credential.
  c.now = [] { return int64_t{1800000000}; };
  EXPECT_EQ(c.forRoom(kRid)["username"], "1800000600:" + tag);
  TurnCredentials spent({"turn:relay.test:3478"}, "s3cret", -3600);
  spent.now = [] { return int64_t{1700000000}; };
  EXPECT_EQ(spent.forRoom(kRid)["username"], "1699996400:" + tag);

  EXPECT_TRUE(TurnCredentials({}, "s3cret").forRoom(kRid).is_null());
}

TEST(TurnCredentials, OnlyTurnUrlsWithAPlainHostAreAccepted) {
  for (const char* ok : {"turn:relay.test", "turn:relay.test:3478", "turns:relay.test:5349",
                         "turn:10.0.0.1:3478?transport=tcp", "turn:[2001:db8::1]:3478"})
    EXPECT_TRUE(TurnCredentials::validUrl(ok)) << ok;
  for (const char* bad : {"", "turn:", "stun:relay.test:3478", "turn://relay.test", "turn:user:pw@relay.test",
                          "turn::3478", "turn:relay.test/x", "turn:re lay.test", "turn:relay.test#x", "TURN:relay.test",
                          "turn:relay\n.test", "http://relay.test"})
    EXPECT_FALSE(TurnCredentials::validUrl(bad)) << bad;
}

TEST(TurnCredentials, SecretFileIsTrimmedAndRefusedWhenUnusable) {
  std::string dir = ts::makeTempDir("turn-secret");
  std::string error;
  ts::writeFile(dir + "/ok", "  a-long-secret\r\n");
  EXPECT_EQ(TurnCredentials::readSecret(dir + "/ok", error), "a-long-secret");
  ts::writeFile(dir + "/inner", "two words\n");
  EXPECT_EQ(TurnCredentials::readSecret(dir + "/inner", error), "two words");

  struct Case {
    std::string path, says;
  };
  ts::writeFile(dir + "/empty", "");
  ts::writeFile(dir + "/blank", " \n\t\r\n");
  ts::writeFile(dir + "/huge", std::string(5000, 'x'));
  std::filesystem::create_directory(dir + "/folder");
  for (const Case& c : {Case{dir + "/missing", "cannot read"}, Case{dir + "/folder", "cannot read"},
                        Case{dir + "/empty", "is empty"}, Case{dir + "/blank", "is empty"},
                        Case{dir + "/huge", "larger than"}}) {
    error.clear();
    EXPECT_FALSE(TurnCredentials::readSecret(c.path, error)) << c.path;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_NE(error.find(c.path), std::string::npos) << error;
  }
  ts::removeTree(dir);
}

std::variant<SignalArgs, std::string> parse(const std::vector<std::string>& args) { return parseSignalArgs(args); }

TEST(TurnOptions, RelaysSecretAndLifetime) {
  auto r = parse({"--turn", "turn:a.test:3478,turn:a.test:3478?transport=tcp", "--turn", "turns:b.test:5349",
                  "--turn-secret", "/etc/secret"});
  ASSERT_TRUE(std::holds_alternative<SignalArgs>(r)) << std::get<std::string>(r);
  auto& a = std::get<SignalArgs>(r);
  EXPECT_EQ(a.config.turn,
            (std::vector<std::string>{"turn:a.test:3478", "turn:a.test:3478?transport=tcp", "turns:b.test:5349"}));
  EXPECT_EQ(a.turnSecretFile, "/etc/secret");
  EXPECT_EQ(a.config.turnTtl, TurnCredentials::kDefaultTtl);
  EXPECT_TRUE(a.config.turnSecret.empty());  // the caller reads the file

  auto t = parse({"--turn", "turn:a.test", "--turn-secret", "f", "--turn-ttl", "3600"});
  ASSERT_TRUE(std::holds_alternative<SignalArgs>(t));
  EXPECT_EQ(std::get<SignalArgs>(t).config.turnTtl, 3600);
  auto spent = parse({"--turn", "turn:a.test", "--turn-secret", "f", "--test-turn-ttl", "-60"});
  ASSERT_TRUE(std::holds_alternative<SignalArgs>(spent));
  EXPECT_EQ(std::get<SignalArgs>(spent).config.turnTtl, -60);

  auto d = parse({});
  ASSERT_TRUE(std::holds_alternative<SignalArgs>(d));
  EXPECT_TRUE(std::get<SignalArgs>(d).config.turn.empty());
}

TEST(TurnOptions, IncompleteOrWrongRelayOptionsAreRefused) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"--turn", "turn:a.test"},
           {"--turn-secret", "f"},
           {"--turn", "stun:a.test", "--turn-secret", "f"},
           {"--turn", "turn:a.test,", "--turn-secret", "f"},
           {"--turn", "turn:u:p@a.test", "--turn-secret", "f"},
           {"--turn", "turn:a.test", "--turn-secret", ""},
           {"--turn", "turn:a.test", "--turn-secret", "f", "--turn-ttl", "59"},
           {"--turn", "turn:a.test", "--turn-secret", "f", "--turn-ttl", "-5"},
           {"--turn", "turn:a.test", "--turn-secret", "f", "--turn-ttl", "1h"},
           {"--turn", "turn:a.test", "--turn-secret"}}) {
    auto r = parse(args);
    EXPECT_TRUE(std::holds_alternative<std::string>(r)) << json(args).dump();
  }
}

class TurnRoomsTest : public ::testing::Test {
protected:
  Rooms rooms{Rooms::Limits{}, {"stun:stun.test:3478"}};
  int64_t now = 0;
  std::vector<std::string> asked;

  std::vector<json> say(Rooms::Sock from, const json& msg, Rooms::Sock to) {
    std::vector<json> out;
    for (const auto& s : rooms.onText(from, msg.dump(), now += 5000).sends)
      if (s.to == to) out.push_back(json::parse(s.text));
    return out;
  }
  // A join with host 1 up: what the phone (2) and the host got.
  std::pair<json, json> join() {
    say(1, {{"t", "host"}, {"rid", kRid}}, 1);
    json msg = {{"t", "join"}, {"rid", kRid}};
    json phone, host;
    for (const auto& s : rooms.onText(2, msg.dump(), now += 5000).sends)
      (s.to == 2 ? phone : host) = json::parse(s.text);
    return {phone, host};
  }
};

TEST_F(TurnRoomsTest, BothSidesOfAJoinGetTheSameRelayCredentials) {
  rooms.turnFor = [this](const std::string& rid) {
    asked.push_back(rid);
    return json{{"urls", {"turn:relay.test:3478"}}, {"username", "1:tag"}, {"credential", "pw"}};
  };
  auto [phone, host] = join();
  json turn = {{"urls", {"turn:relay.test:3478"}}, {"username", "1:tag"}, {"credential", "pw"}};
  EXPECT_EQ(phone, json({{"t", "joined"}, {"cid", 1}, {"ice", {"stun:stun.test:3478"}}, {"turn", turn}}));
  EXPECT_EQ(host, json({{"t", "peer"}, {"cid", 1}, {"turn", turn}}));
  EXPECT_EQ(asked, std::vector<std::string>{kRid});
  // A phone that only waits for a host gets nothing to relay with yet.
  EXPECT_EQ(say(3, {{"t", "join"}, {"rid", kRid2}}, 3), std::vector<json>{json({{"t", "nohost"}})});
  EXPECT_EQ(asked.size(), 1u);
}

TEST_F(TurnRoomsTest, WithoutRelaysTheMessagesStayAsTheyWere) {
  rooms.turnFor = [](const std::string&) { return json(); };
  auto [phone, host] = join();
  EXPECT_FALSE(phone.contains("turn"));
  EXPECT_EQ(host, json({{"t", "peer"}, {"cid", 1}}));
}

}  // namespace
