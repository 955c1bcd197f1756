// The rendezvous rules, fed message texts without any socket.
#include "signal/Flood.h"
#include "signal/Rooms.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;
using Sock = Rooms::Sock;

namespace {

const std::string kRid = "1a2b3c4d" + std::string(56, 'e');
const std::string kRid2 = std::string(64, '7');

class RoomsTest : public ::testing::Test {
protected:
  static Rooms::Limits limits() {
    Rooms::Limits l;
    l.rooms = 3;
    l.phonesPerRoom = 2;
    return l;
  }
  Rooms rooms{limits(), {"stun:stun.test:3478"}};
  int64_t now = 0;
  std::vector<std::string> logs;

  Rooms::Step raw(Sock s, const std::string& text) {
    auto st = rooms.onText(s, text, now += 100);
    check(st);
    return st;
  }
  Rooms::Step say(Sock s, const json& msg) { return raw(s, msg.dump()); }
  Rooms::Step close(Sock s) {
    auto st = rooms.onClose(s);
    check(st);
    return st;
  }
  void check(const Rooms::Step& st) {
    EXPECT_TRUE(rooms.consistent());
    logs.insert(logs.end(), st.logs.begin(), st.logs.end());
    for (const auto& s : st.sends) {
      auto j = json::parse(s.text, nullptr, false);
      EXPECT_TRUE(j.is_object() && j["t"].is_string()) << s.text;
    }
  }
  // What the step sent to one socket, in order.
  static std::vector<json> to(const Rooms::Step& st, Sock s) {
    std::vector<json> out;
    for (const auto& m : st.sends)
      if (m.to == s) out.push_back(json::parse(m.text));
    return out;
  }
  static json only(const Rooms::Step& st, Sock s) {
    auto v = to(st, s);
    EXPECT_EQ(v.size(), 1u);
    return v.empty() ? json() : v[0];
  }
  void hostUp(Sock h, const std::string& rid = kRid) {
    ASSERT_EQ(only(say(h, {{"t", "host"}, {"rid", rid}}), h), json({{"t", "ok"}}));
  }
  int64_t joinWithHost(Sock p, Sock h, const std::string& rid = kRid) {
    auto st = say(p, {{"t", "join"}, {"rid", rid}});
    json j = only(st, p);
    EXPECT_EQ(j["t"], "joined");
    EXPECT_EQ(only(st, h), json({{"t", "peer"}, {"cid", j["cid"]}}));
    return j["cid"].get<int64_t>();
  }
};

TEST_F(RoomsTest, HostGetsOkForAValidRidAndRejectAndCloseOtherwise) {
  auto st = say(1, {{"t", "host"}, {"rid", kRid}});
  EXPECT_EQ(st.sends.size(), 1u);
  EXPECT_EQ(only(st, 1), json({{"t", "ok"}}));
  EXPECT_FALSE(st.closeSender);
  EXPECT_TRUE(rooms.hasRole(1));
  ASSERT_EQ(st.logs.size(), 1u);
  EXPECT_EQ(st.logs[0].rfind("[signal] host 1a2b3c4d\u2026 ok", 0), 0u) << st.logs[0];
  // Registering again on the same socket is answered the same way.
  EXPECT_EQ(only(say(1, {{"t", "host"}, {"rid", kRid}}), 1), json({{"t", "ok"}}));

  Sock s = 10;
  for (json rid : {json(std::string(63, 'a')), json(std::string(65, 'a')), json(std::string(64, 'A')),
                   json("g" + std::string(63, 'a')), json(123), json(nullptr), json::array()}) {
    auto bad = say(s, {{"t", "host"}, {"rid", rid}});
    EXPECT_EQ(only(bad, s), json({{"t", "reject"}, {"reason", "bad_rid"}})) << rid;
    EXPECT_TRUE(bad.closeSender);
    EXPECT_FALSE(rooms.hasRole(s));
    ++s;
  }
  auto missing = say(s, {{"t", "host"}});
  EXPECT_TRUE(missing.closeSender);
  EXPECT_EQ(only(missing, s)["t"], "reject");
}

TEST_F(RoomsTest, PhoneJoinsAHostedRoom) {
  hostUp(1);
  auto st = say(2, {{"t", "join"}, {"rid", kRid}});
  EXPECT_EQ(only(st, 2), json({{"t", "joined"}, {"cid", 1}, {"ice", {"stun:stun.test:3478"}}}));
  EXPECT_EQ(only(st, 1), json({{"t", "peer"}, {"cid", 1}}));
  ASSERT_EQ(st.logs.size(), 1u);
  EXPECT_EQ(st.logs[0], "[signal] join 1a2b3c4d\u2026 cid 1");
  EXPECT_TRUE(rooms.hasRole(2));
}

TEST_F(RoomsTest, PhoneWithoutHostWaitsAndHearsHostupThenJoinsAgain) {
  auto st = say(2, {{"t", "join"}, {"rid", kRid}});
  EXPECT_EQ(only(st, 2), json({{"t", "nohost"}}));
  EXPECT_TRUE(rooms.hasRole(2));
  EXPECT_EQ(only(say(2, {{"t", "sig"}, {"d", json::object()}}), 2), json({{"t", "error"}, {"reason", "not_joined"}}));

  auto up = say(1, {{"t", "host"}, {"rid", kRid}});
  EXPECT_EQ(only(up, 1), json({{"t", "ok"}}));
  EXPECT_EQ(only(up, 2), json({{"t", "hostup"}}));
  // The server does not join on the phone's behalf: the page joins again.
  EXPECT_EQ(joinWithHost(2, 1), 1);
}

TEST_F(RoomsTest, SigIsRelayedAndStampedWithThePhonesOwnCid) {
  hostUp(1);
  int64_t cid = joinWithHost(2, 1);
  json d = {{"kind", "answer"}, {"sdp", "v=0\r\n"}, {"sid", "s"}, {"mac", "m"}};
  auto up = say(2, {{"t", "sig"}, {"cid", 999}, {"d", d}});
  EXPECT_EQ(only(up, 1), json({{"t", "sig"}, {"cid", cid}, {"d", d}}));
  // A phone's cid is ignored whatever it is, even when it is no number at all.
  EXPECT_EQ(only(say(2, {{"t", "sig"}, {"cid", 1e300}, {"d", d}}), 1)["cid"], cid);

  auto down = say(1, {{"t", "sig"}, {"cid", cid}, {"d", {{"kind", "ice"}, {"cand", "c"}, {"idx", 0}}}});
  EXPECT_EQ(only(down, 2), json({{"t", "sig"}, {"d", {{"kind", "ice"}, {"cand", "c"}, {"idx", 0}}}}));
  EXPECT_TRUE(to(down, 1).empty());

  // A cid nobody holds, or one held in another room, comes back as gone.
  EXPECT_EQ(only(say(1, {{"t", "sig"}, {"cid", 77}, {"d", json::object()}}), 1), json({{"t", "gone"}, {"cid", 77}}));
  hostUp(5, kRid2);
  int64_t other = joinWithHost(6, 5, kRid2);
  auto cross = say(1, {{"t", "sig"}, {"cid", other}, {"d", json::object()}});
  EXPECT_EQ(only(cross, 1), json({{"t", "gone"}, {"cid", other}}));
  EXPECT_TRUE(to(cross, 6).empty());

  for (json bad : {json("x"), json(3), json::array(), json(nullptr)}) {
    EXPECT_EQ(only(say(2, {{"t", "sig"}, {"d", bad}}), 2)["reason"], "malformed");
    EXPECT_EQ(only(say(1, {{"t", "sig"}, {"cid", cid}, {"d", bad}}), 1)["reason"], "malformed");
  }
  EXPECT_EQ(only(say(2, {{"t", "sig"}}), 2)["reason"], "malformed");
}

TEST_F(RoomsTest, AHostsCidMustBeAnInt64Integer) {
  hostUp(1);
  joinWithHost(2, 1);
  for (const char* cid : {"1e300", "1.5", "\"1\"", "1.0", "9223372036854775808", "-9223372036854775809", "true",
                          "null", "[1]", "1e2"}) {
    auto st = raw(1, std::string(R"({"t":"sig","d":{},"cid":)") + cid + "}");
    EXPECT_EQ(only(st, 1), json({{"t", "error"}, {"reason", "malformed"}})) << cid;
    EXPECT_TRUE(to(st, 2).empty());
  }
  auto top = raw(1, R"({"t":"sig","d":{},"cid":9223372036854775807})");
  EXPECT_EQ(only(top, 1), json({{"t", "gone"}, {"cid", INT64_MAX}}));
  EXPECT_EQ(only(raw(1, R"({"t":"sig","d":{},"cid":-5})"), 1), json({{"t", "gone"}, {"cid", -5}}));
  EXPECT_EQ(only(raw(1, R"({"t":"sig","d":{}})"), 1)["reason"], "malformed");
}

TEST_F(RoomsTest, AReplacedHostStaysInertAndItsPhonesMoveToTheNewHost) {
  hostUp(1);
  int64_t cid = joinWithHost(2, 1);
  auto st = say(3, {{"t", "host"}, {"rid", kRid}});
  EXPECT_EQ(only(st, 1), json({{"t", "replaced"}}));
  EXPECT_FALSE(st.closeSender);  // closing it would make it come back and replace this one
  EXPECT_EQ(to(st, 2), (std::vector<json>{{{"t", "hostgone"}}, {{"t", "hostup"}}}));
  EXPECT_EQ(only(st, 3), json({{"t", "ok"}}));
  EXPECT_TRUE(rooms.hasRole(1));

  // The old host's messages go nowhere, but its pings are answered.
  EXPECT_TRUE(say(1, {{"t", "sig"}, {"cid", cid}, {"d", json::object()}}).sends.empty());
  EXPECT_TRUE(say(1, {{"t", "host"}, {"rid", kRid}}).sends.empty());
  EXPECT_TRUE(say(1, {{"t", "join"}, {"rid", kRid}}).sends.empty());
  EXPECT_TRUE(raw(1, "not json").sends.empty());
  EXPECT_TRUE(say(1, {{"t", "nonsense"}}).sends.empty());
  EXPECT_EQ(only(say(1, {{"t", "ping"}}), 1), json({{"t", "pong"}}));

  // The phone's old number ended with the old host; joining again reaches the new one.
  EXPECT_EQ(only(say(3, {{"t", "sig"}, {"cid", cid}, {"d", json::object()}}), 3)["t"], "gone");
  int64_t again = joinWithHost(2, 3);
  EXPECT_GT(again, cid);
  auto up = say(2, {{"t", "sig"}, {"d", json::object()}});
  EXPECT_EQ(only(up, 3)["cid"], again);
  EXPECT_TRUE(to(up, 1).empty());

  // The old host leaving tells nobody anything.
  EXPECT_TRUE(close(1).sends.empty());
  EXPECT_EQ(only(say(2, {{"t", "sig"}, {"d", json::object()}}), 3)["cid"], again);
}

TEST_F(RoomsTest, LeaveCloseAndHostLossTellTheOtherSide) {
  hostUp(1);
  int64_t a = joinWithHost(2, 1);
  int64_t b = joinWithHost(3, 1);
  EXPECT_EQ(only(say(2, {{"t", "leave"}}), 1), json({{"t", "gone"}, {"cid", a}}));
  EXPECT_FALSE(rooms.hasRole(2));
  EXPECT_TRUE(say(2, {{"t", "leave"}}).sends.empty());  // nothing to leave
  EXPECT_EQ(only(close(3), 1), json({{"t", "gone"}, {"cid", b}}));
  EXPECT_TRUE(close(3).sends.empty());  // a second close is harmless

  int64_t c = joinWithHost(4, 1);
  say(5, {{"t", "join"}, {"rid", kRid2}});
  auto lost = close(1);
  EXPECT_EQ(only(lost, 4), json({{"t", "hostgone"}}));
  EXPECT_TRUE(to(lost, 5).empty());
  // The phone waits again: a host's return is announced, its old number is dead.
  auto back = say(6, {{"t", "host"}, {"rid", kRid}});
  EXPECT_EQ(only(back, 4), json({{"t", "hostup"}}));
  EXPECT_EQ(only(say(6, {{"t", "sig"}, {"cid", c}, {"d", json::object()}}), 6)["t"], "gone");
  EXPECT_EQ(only(say(4, {{"t", "sig"}, {"d", json::object()}}), 4)["reason"], "not_joined");
  EXPECT_EQ(only(say(6, {{"t", "leave"}}), 6)["reason"], "role");
}

TEST_F(RoomsTest, CidsAreNeverReused) {
  hostUp(1);
  int64_t first = joinWithHost(2, 1);
  // Joining again on the same socket ends the old number and starts a new one.
  auto again = say(2, {{"t", "join"}, {"rid", kRid}});
  EXPECT_EQ(to(again, 1), (std::vector<json>{{{"t", "gone"}, {"cid", first}}, {{"t", "peer"}, {"cid", first + 1}}}));
  EXPECT_EQ(only(again, 2)["cid"], first + 1);
  close(2);
  close(1);
  hostUp(7);
  EXPECT_EQ(joinWithHost(8, 7), first + 2);
  // Moving to another room also ends the number there.
  auto move = say(8, {{"t", "join"}, {"rid", kRid2}});
  EXPECT_EQ(only(move, 7), json({{"t", "gone"}, {"cid", first + 2}}));
  EXPECT_EQ(only(move, 8), json({{"t", "nohost"}}));
}

TEST_F(RoomsTest, RolesDoNotMix) {
  hostUp(1);
  joinWithHost(2, 1);
  EXPECT_EQ(only(say(1, {{"t", "join"}, {"rid", kRid}}), 1), json({{"t", "error"}, {"reason", "role"}}));
  EXPECT_EQ(only(say(1, {{"t", "host"}, {"rid", kRid2}}), 1)["reason"], "role");
  EXPECT_EQ(only(say(2, {{"t", "host"}, {"rid", kRid}}), 2)["reason"], "role");
  auto phoneAsHost = say(2, {{"t", "host"}, {"rid", "bad"}});
  EXPECT_EQ(only(phoneAsHost, 2)["reason"], "role");
  EXPECT_FALSE(phoneAsHost.closeSender);
  auto badJoin = say(3, {{"t", "join"}, {"rid", "short"}});
  EXPECT_EQ(only(badJoin, 3), json({{"t", "error"}, {"reason", "bad_rid"}}));
  EXPECT_FALSE(badJoin.closeSender);
  EXPECT_FALSE(rooms.hasRole(3));
  EXPECT_EQ(only(say(3, {{"t", "sig"}, {"d", json::object()}}), 3)["reason"], "not_joined");
}

TEST_F(RoomsTest, MalformedTextGetsAnErrorAndPingAPong) {
  EXPECT_EQ(only(say(1, {{"t", "ping"}}), 1), json({{"t", "pong"}}));
  EXPECT_FALSE(rooms.hasRole(1));
  for (std::string text : std::vector<std::string>{"", "{", "[1,2]", "\"t\"", "42", "{\"t\":5}", "{\"x\":\"ping\"}", "{\"t\":null}",
                           "{\"t\":\"ping\"", std::string("{\"t\":\"\xff\"}"), std::string("{\"t\":\"host\",\"rid\":\"\xc3\x28\"}")}) {
    auto st = raw(1, text);
    EXPECT_EQ(only(st, 1), json({{"t", "error"}, {"reason", "malformed"}})) << text;
    EXPECT_FALSE(st.closeSender);
  }
  EXPECT_EQ(only(say(1, {{"t", "hello"}}), 1), json({{"t", "error"}, {"reason", "unknown"}}));
  EXPECT_EQ(rooms.roomCount(), 0u);
}

TEST_F(RoomsTest, RoomAndPhoneLimits) {
  hostUp(1);
  hostUp(2, kRid2);
  EXPECT_EQ(only(say(9, {{"t", "join"}, {"rid", std::string(64, 'c')}}), 9)["t"], "nohost");  // a waited-in room counts
  auto full = say(3, {{"t", "host"}, {"rid", std::string(64, 'd')}});
  EXPECT_EQ(only(full, 3), json({{"t", "reject"}, {"reason", "full"}}));
  EXPECT_TRUE(full.closeSender);
  auto fullJoin = say(4, {{"t", "join"}, {"rid", std::string(64, 'd')}});
  EXPECT_EQ(only(fullJoin, 4), json({{"t", "reject"}, {"reason", "full"}}));
  EXPECT_TRUE(fullJoin.closeSender);
  // Existing rooms still take members, and a freed room makes space.
  EXPECT_EQ(only(say(5, {{"t", "host"}, {"rid", kRid}}), 5)["t"], "ok");
  close(9);
  hostUp(3, std::string(64, 'd'));
  EXPECT_EQ(rooms.roomCount(), 3u);

  joinWithHost(6, 5);
  joinWithHost(7, 5);
  auto crowd = say(8, {{"t", "join"}, {"rid", kRid}});
  EXPECT_EQ(only(crowd, 8), json({{"t", "reject"}, {"reason", "room_full"}}));
  EXPECT_TRUE(crowd.closeSender);
  EXPECT_TRUE(to(crowd, 5).empty());
  // A member joining again does not count twice.
  EXPECT_EQ(only(say(7, {{"t", "join"}, {"rid", kRid}}), 7)["t"], "joined");
  close(6);
  EXPECT_EQ(only(say(8, {{"t", "join"}, {"rid", kRid}}), 8)["t"], "joined");
}

TEST_F(RoomsTest, FloodsCloseTheSocketAndEndItsRole) {
  hostUp(1);
  int64_t cid = joinWithHost(2, 1);
  Rooms::Step st;
  int n = 0;
  // All at one instant: nothing refills.
  for (; n < 1000 && !st.closeSender; ++n) st = rooms.onText(2, R"({"t":"ping"})", now);
  EXPECT_TRUE(st.closeSender);
  EXPECT_EQ(st.closeReason, "flood");
  EXPECT_GT(n, 100);
  EXPECT_EQ(only(st, 1), json({{"t", "gone"}, {"cid", cid}}));
  EXPECT_FALSE(rooms.hasRole(2));
  EXPECT_TRUE(rooms.consistent());

  // Joins have their own, much smaller allowance.
  st = {};
  for (n = 0; n < 100 && !st.closeSender; ++n) st = rooms.onText(3, json({{"t", "join"}, {"rid", kRid}}).dump(), now);
  EXPECT_TRUE(st.closeSender);
  EXPECT_LE(n, 10);
  EXPECT_FALSE(rooms.hasRole(3));
  EXPECT_TRUE(rooms.consistent());
  // Spread out in time the same joins are fine.
  for (int i = 0; i < 20; ++i) {
    now += 5000;
    EXPECT_FALSE(rooms.onText(4, json({{"t", "join"}, {"rid", kRid}}).dump(), now).closeSender);
  }
}

TEST_F(RoomsTest, LogsNeverHoldAWholeRidOrAPayload) {
  hostUp(1);
  int64_t cid = joinWithHost(2, 1);
  say(2, {{"t", "sig"}, {"d", {{"sdp", "SECRET-SDP"}}}});
  say(1, {{"t", "sig"}, {"cid", cid}, {"d", {{"sdp", "SECRET-SDP"}}}});
  say(3, {{"t", "host"}, {"rid", kRid}});
  say(4, {{"t", "join"}, {"rid", kRid2}});
  say(5, {{"t", "host"}, {"rid", std::string(63, 'e') + "\n"}});
  close(2);
  close(3);
  close(4);
  ASSERT_FALSE(logs.empty());
  for (const auto& l : logs) {
    EXPECT_EQ(l.rfind("[signal] ", 0), 0u) << l;
    EXPECT_EQ(l.find(kRid.substr(0, 9)), std::string::npos) << l;
    EXPECT_EQ(l.find(kRid2.substr(0, 9)), std::string::npos) << l;
    EXPECT_EQ(l.find("SECRET"), std::string::npos) << l;
    EXPECT_EQ(l.find("eeeeeeeee"), std::string::npos) << l;
    EXPECT_EQ(l.find('\n'), std::string::npos) << l;
  }
}

TEST(Bucket, SpendsRefillsUpToBurstAndIgnoresAClockGoingBack) {
  Bucket b(3, 2);  // 3 at once, 2 per second
  EXPECT_TRUE(b.take(1, 1000));
  EXPECT_TRUE(b.take(1, 1000));
  EXPECT_TRUE(b.take(1, 1000));
  EXPECT_FALSE(b.take(1, 1000));
  EXPECT_FALSE(b.take(1, 1400));  // 0.8 refilled
  EXPECT_TRUE(b.take(1, 1500));
  EXPECT_FALSE(b.take(1, 1000));  // back in time: nothing refills
  EXPECT_TRUE(b.take(3, 100000));  // a long pause refills to the burst only
  EXPECT_FALSE(b.take(1, 100000));
  EXPECT_FALSE(b.take(5, 200000));  // more than the burst never passes
}

TEST(Flood, CountsMessagesAndBytes) {
  FloodLimits l;
  l.msgBurst = 10;
  l.byteBurst = 1000;
  Flood f(l);
  EXPECT_TRUE(f.message(900, 0));
  EXPECT_FALSE(f.message(200, 0));  // bytes run out before messages do
  Flood g(l);
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(g.message(1, 0));
  EXPECT_FALSE(g.message(1, 0));
}

}  // namespace
