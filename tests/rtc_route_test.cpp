// Address kinds, the route read from a statistics report, and the "stats"
// snapshot built from one. No address may leave these functions.
#include "rtc/Route.h"
#include "rtc/StatsSnapshot.h"

#include <gtest/gtest.h>

using nlohmann::json;
using namespace rtc;

namespace {

TEST(Route, AddressKinds) {
  std::vector<std::pair<std::string, std::string>> cases = {
      {"192.168.1.20", "private"}, {"100.72.3.4", "private"},  {"100.64.0.1", "private"},
      {"100.127.0.1", "private"},  {"100.128.0.1", "public"},  {"100.200.1.1", "public"},
      {"172.16.0.1", "private"},   {"172.31.9.9", "private"},  {"172.32.0.1", "public"},
      {"169.254.10.1", "private"}, {"169.200.1.1", "public"},  {"10.1.2.3", "private"},
      {"127.0.0.1", "private"},    {"8.8.8.8", "public"},      {"fd12::1", "private6"},
      {"FE80::1", "private6"},     {"fc00::5", "private6"},    {"2001:db8::1", "public6"},
      {"6b1c2a.local", "mdns"},    {"10.0.0", "?"},            {"1.2.3.4.5", "?"},
      {"", "?"},                   {"host.example", "?"},      {"10..0.0.1", "private"},
      {"10.x.0.0.1", "private"},   {"99999999999999999999.1.1.1", "?"},
  };
  for (auto& [addr, kind] : cases) EXPECT_EQ(ipKind(addr), kind) << addr;
}

TEST(Route, SameLan) {
  struct Case {
    const char *l, *r;
    std::optional<bool> want;
  };
  std::vector<Case> cases = {
      {"private", "mdns", true},    {"private6", "private", true}, {"mdns", "mdns", true},
      {"private", "public", false}, {"public6", "?", false},       {"?", "public", false},
      {"private", "?", std::nullopt}, {"?", "?", std::nullopt},
  };
  for (auto& c : cases) EXPECT_EQ(sameLan(c.l, c.r), c.want) << c.l << "/" << c.r;
}

json cand(const char* type, const char* addr, const char* proto = "udp") {
  json c = {{"type", "local-candidate"}, {"candidateType", type}, {"protocol", proto}};
  if (addr) c["address"] = addr;
  return c;
}

json report(json local, json remote, bool viaTransport = true) {
  json r = {{"L", std::move(local)}, {"R", std::move(remote)},
            {"P", {{"type", "candidate-pair"}, {"localCandidateId", "L"}, {"remoteCandidateId", "R"},
                   {"nominated", true}, {"state", "succeeded"}, {"currentRoundTripTime", 0.004},
                   {"requestsSent", 9}}}};
  if (viaTransport) r["T"] = {{"type", "transport"}, {"selectedCandidatePairId", "P"}, {"bytesSent", 1234}};
  return r;
}

TEST(Route, FromTheSelectedPair) {
  struct Case {
    const char* what;
    json report;
    std::string route;
    std::optional<bool> same;
  };
  std::vector<Case> cases = {
      {"both host", report(cand("host", "192.168.1.2"), cand("host", "x.local")), "host", true},
      {"relay wins over host", report(cand("host", "192.168.1.2"), cand("relay", "203.0.113.5")), "relay", false},
      {"relay on our side", report(cand("relay", "10.0.0.1"), cand("host", "10.0.0.2"), false), "relay", true},
      {"srflx", report(cand("srflx", "198.51.100.1"), cand("host", "10.0.0.2")), "srflx", false},
      {"prflx", report(cand("prflx", "10.0.0.1"), cand("host", nullptr)), "prflx", std::nullopt},
      {"odd types", report(cand("weird", nullptr), cand("odd", nullptr)), "weird", std::nullopt},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = routeOf(c.report);
    EXPECT_TRUE(r.havePair);
    EXPECT_EQ(r.fields["route"], c.route);
    EXPECT_EQ(r.same, c.same);
    EXPECT_EQ(r.fields.contains("same_lan"), c.same.has_value());
    EXPECT_EQ(r.fields["local_proto"], "udp");
    for (auto& [id, s] : c.report.items())
      if (s.contains("address")) {
        EXPECT_EQ(r.fields.dump().find(s["address"].get<std::string>()), std::string::npos);
      }
  }
}

TEST(Route, KindsFromIpAndMissingCandidates) {
  json r = report(json{{"candidateType", "host"}, {"ip", "10.0.0.1"}}, json{{"protocol", "tcp"}});
  auto route = routeOf(r);
  EXPECT_EQ(route.fields["local_ip_kind"], "private");
  EXPECT_EQ(route.fields["local_proto"], "?");
  EXPECT_EQ(route.fields["remote_type"], "?");
  EXPECT_FALSE(route.fields.contains("remote_ip_kind"));
  EXPECT_EQ(route.remoteKind, "?");
  EXPECT_EQ(route.fields["route"], "host");  // the local type when nothing else decides
  // The pair names a candidate the report lacks: its keys stay out.
  json gone = report(cand("host", "10.0.0.1"), cand("host", "10.0.0.2"));
  gone.erase("R");
  auto g = routeOf(gone);
  EXPECT_FALSE(g.fields.contains("remote_type"));
  EXPECT_EQ(g.fields["route"], "host");
}

TEST(Route, NoUsablePairIsUnknown) {
  json notNominated = report(cand("host", "10.0.0.1"), cand("host", "10.0.0.2"), false);
  notNominated["P"]["nominated"] = false;
  json failed = report(cand("host", "10.0.0.1"), cand("host", "10.0.0.2"), false);
  failed["P"]["state"] = "failed";
  json danglingTransport = {{"T", {{"type", "transport"}, {"selectedCandidatePairId", "nope"}}}};
  for (const json& r : {json::object(), notNominated, failed, danglingTransport, json::array(), json(5)}) {
    auto route = routeOf(r);
    EXPECT_FALSE(route.havePair) << r.dump();
    EXPECT_EQ(route.fields, json({{"route", "unknown"}}));
  }
  // A transport naming nothing falls back to the nominated pair.
  json fallback = report(cand("host", "10.0.0.1"), cand("host", "10.0.0.2"), false);
  fallback["T"] = {{"type", "transport"}, {"selectedCandidatePairId", 7}};
  EXPECT_TRUE(routeOf(fallback).havePair);
}

TEST(Route, Message) {
  EXPECT_EQ(routeMessage(true, "private", "mdns"),
            R"({"local_kind":"private","remote_kind":"mdns","same_lan":true,"t":"route"})");
  EXPECT_EQ(routeMessage(std::nullopt, "private", "?"),
            R"({"local_kind":"private","remote_kind":"?","same_lan":null,"t":"route"})");
  EXPECT_EQ(routeMessage(false, "public", "private", true),
            R"({"local_kind":"public","remote_kind":"private","route":"relay","same_lan":false,"t":"route"})");
}

TEST(StatsSnapshot, CopiesWhatExistsAndNoAddress) {
  SnapshotInput in{"periodic", 4096, {{"bitrate", 3000000}}, {{"t", "rep"}, {"qd", 4}}, std::nullopt};
  json r = report(cand("host", "192.168.7.7"), cand("host", "192.168.7.8"));
  auto s = snapshotFields(in, r);
  EXPECT_EQ(s["tag"], "periodic");
  EXPECT_EQ(s["buffered"], 4096);
  EXPECT_EQ(s["rate"]["bitrate"], 3000000);
  EXPECT_EQ(s["client_rep"]["qd"], 4);
  EXPECT_EQ(s["bytes_sent"], 1234);
  EXPECT_FALSE(s.contains("bytes_recv"));
  EXPECT_EQ(s["currentRoundTripTime"], 0.004);
  EXPECT_EQ(s["requestsSent"], 9);
  EXPECT_FALSE(s.contains("responsesSent"));
  EXPECT_FALSE(s.contains("video_out"));
  EXPECT_EQ(s.dump().find("192.168"), std::string::npos);

  // An empty report still gives the transport's own figures.
  auto bare = snapshotFields({"ice_failed", 0, json::object(), json::object(), std::nullopt}, json::object());
  EXPECT_EQ(bare, json({{"tag", "ice_failed"}, {"buffered", 0}, {"rate", json::object()},
                        {"client_rep", json::object()}}));
}

TEST(StatsSnapshot, VideoOut) {
  json r = {{"o1", {{"type", "outbound-rtp"}, {"kind", "video"}, {"framesSent", 10}, {"codecId", "c"}}},
            {"o2", {{"type", "outbound-rtp"}, {"kind", "video"}, {"framesSent", 20}, {"nackCount", 1}}},
            {"a", {{"type", "outbound-rtp"}, {"kind", "audio"}, {"packetsSent", 99}}},
            {"c", {{"type", "codec"}, {"mimeType", "video/H264"}, {"sdpFmtpLine", "profile-level-id=42e01f"}}}};
  SnapshotInput in{"periodic", 0, json::object(), json::object(), std::make_pair<int64_t, int64_t>(30, 2)};
  auto v = snapshotFields(in, r)["video_out"];
  EXPECT_EQ(v["framesSent"], 20);  // the later statistic wins
  EXPECT_EQ(v["nackCount"], 1);
  EXPECT_EQ(v["codec"], "video/H264");
  EXPECT_EQ(v["fmtp"], "profile-level-id=42e01f");
  EXPECT_EQ(v["pushed"], 30);
  EXPECT_EQ(v["push_dropped"], 2);
  EXPECT_FALSE(v.contains("packetsSent"));
}

}  // namespace
