// The internet transport's peer session against a scripted WebRTC stack:
// authentication, candidate handling, endings and their journal records, and
// the data-channel video with its session tick on a clock the test drives.
#include "app/Log.h"
#include "app/Settings.h"
#include "rtc/Auth.h"
#include "rtc/RTCTransport.h"
#include "rtc/TrackPipeline.h"
#include "session/InputTracker.h"
#include "support/FakePeer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>

using nlohmann::json;
using rtc::ChannelState;
using rtc::IceState;

namespace {

const std::string kKey = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

template <class P>
bool waitUntil(P pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

class PeerSessionTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = ts::makeTempDir("rtc-session");
    settings().dataDir = dir;
    factory = std::make_shared<ts::FakeFactory>();
    make(25);
  }
  void TearDown() override {
    setLogTap(nullptr);
    t->stop();
    t.reset();
    ts::removeTree(dir);
  }
  void make(double iceTimeout) {
    if (t) t->stop();
    t = std::make_shared<RTCTransport>("ws://127.0.0.1:9", kKey, "stun:127.0.0.1:3478", iceTimeout, factory);
    t->sigTap = [this](const std::string& s) {
      std::lock_guard<std::mutex> l(m);
      sent.push_back(json::parse(s));
    };
    t->onWSOpen = [this](const ConnPtr& c) {
      std::lock_guard<std::mutex> l(m);
      opened.push_back(c);
    };
    t->onText = [this](const ConnPtr&, const std::string& s) {
      std::lock_guard<std::mutex> l(m);
      texts.push_back(s);
    };
    t->onClose = [this](const ConnPtr&) {
      std::lock_guard<std::mutex> l(m);
      ++closes;
    };
    setLogTap([this](const std::string& line) {
      std::lock_guard<std::mutex> l(m);
      logs.push_back(line);
    });
  }
  // Lets work posted by the fake's callbacks, and what that posts, run.
  void flush() {
    for (int i = 0; i < 3; ++i) t->queue().sync([] {});
  }
  void signal(const json& j) {
    t->injectSignal(j.dump());
    flush();
  }
  std::vector<json> sigs(const std::string& kind) {
    std::lock_guard<std::mutex> l(m);
    std::vector<json> out;
    for (auto& s : sent)
      if (s.value("t", "") == "sig" && s["d"].value("kind", "") == kind) out.push_back(s);
    return out;
  }
  std::string offerSid() { return sigs("offer").back()["d"]["sid"]; }
  json answer(const std::string& sdp, const std::string& sid, std::optional<std::string> mac = std::nullopt) {
    return {{"t", "sig"}, {"cid", 7},
            {"d", {{"kind", "answer"}, {"sdp", sdp}, {"sid", sid},
                   {"mac", mac.value_or(macFor(kKey, "sdp|answer|" + sid + "|" + sdp))}}}};
  }
  std::vector<json> journal() {
    std::vector<json> out;
    std::istringstream in(ts::readFile(dir + "/connect_log.jsonl"));
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) out.push_back(json::parse(line));
    return out;
  }
  std::vector<json> records(const std::string& result) {
    std::vector<json> out;
    for (auto& r : journal())
      if (r.value("result", "") == result) out.push_back(r);
    return out;
  }
  std::vector<json> events(const std::string& name) {
    std::vector<json> out;
    for (auto& r : journal())
      if (r.value("ev", "") == name) out.push_back(r);
    return out;
  }
  int closeCount() {
    std::lock_guard<std::mutex> l(m);
    return closes;
  }
  bool logged(const std::string& text) {
    std::lock_guard<std::mutex> l(m);
    for (auto& s : logs)
      if (s == text) return true;
    return false;
  }
  // peer, signed answer, ICE connected, control channel open.
  std::shared_ptr<ts::FakePeer> connect(int64_t cid = 7) {
    signal({{"t", "peer"}, {"cid", cid}});
    auto p = factory->last();
    json a = answer("v=0 answer", offerSid());
    a["cid"] = cid;
    signal(a);
    p->ice(IceState::Connected);
    p->channel("ctl")->setState(ChannelState::Open);
    flush();
    return p;
  }

  // The tick's timer is pushed far out of reach and the test runs each tick
  // itself with the clock where it wants it. Call before anything is posted.
  void useClock(double startMs = 1.7e12) {
    clock = startMs;
    t->timeScale = 1000;
    t->clockMs = [this] { return clock.load(); };
    {
      std::lock_guard<std::mutex> l(m);
      rates.clear();
    }
    t->onRate = [this](std::optional<rtc::Rate> r) {
      std::lock_guard<std::mutex> l(m);
      rates.push_back(r);
    };
    t->onNeedKey = [this] { ++keyRequests; };
  }
  // n ticks, 250 ms apart.
  void ticks(int n) {
    for (int i = 0; i < n; ++i) {
      clock = clock + 250;
      t->runTick();
    }
    flush();
  }
  std::vector<std::optional<rtc::Rate>> rateCalls() {
    std::lock_guard<std::mutex> l(m);
    return rates;
  }
  void wantVideo(const ConnPtr& c) {
    t->queue().sync([&] { c->wantsVideo = true; });
  }
  bool needKey(const ConnPtr& c) {
    bool k = false;
    t->queue().sync([&] { k = c->needKey; });
    return k;
  }
  static std::shared_ptr<const Bytes> packet(size_t n) { return std::make_shared<const Bytes>(n, uint8_t{0x5a}); }
  static uint32_t frameOf(const std::string& chunk) {
    uint32_t f = 0;
    for (int i = 0; i < 4; ++i) f = f << 8 | static_cast<uint8_t>(chunk[static_cast<size_t>(i)]);
    return f;
  }
  static size_t count(const std::vector<std::string>& v, const std::string& text) {
    return static_cast<size_t>(std::count(v.begin(), v.end(), text));
  }

  std::atomic<double> clock{0};
  std::atomic<int> keyRequests{0};
  std::vector<std::optional<rtc::Rate>> rates;
  std::string dir;
  std::shared_ptr<ts::FakeFactory> factory;
  std::shared_ptr<RTCTransport> t;
  std::mutex m;
  std::vector<json> sent;
  std::vector<std::string> logs, texts;
  std::vector<ConnPtr> opened;
  int closes = 0;
};

TEST_F(PeerSessionTest, PeerGetsFourChannelsAndASignedOffer) {
  signal({{"t", "peer"}, {"cid", 7}});
  auto p = factory->last();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->config.iceServers, std::vector<std::string>{"stun:127.0.0.1:3478"});
  auto ctl = p->channel("ctl"), vid = p->channel("video"), file = p->channel("file"), audio = p->channel("audio");
  ASSERT_TRUE(ctl && vid && file && audio);
  EXPECT_TRUE(ctl->ordered);
  EXPECT_FALSE(ctl->maxRetransmits);
  EXPECT_TRUE(vid->ordered);
  EXPECT_EQ(vid->maxRetransmits, 0);
  EXPECT_TRUE(file->ordered);
  EXPECT_FALSE(file->maxRetransmits);
  EXPECT_FALSE(audio->ordered);
  EXPECT_EQ(audio->maxRetransmits, 0);

  auto offers = sigs("offer");
  ASSERT_EQ(offers.size(), 1u);
  const json& o = offers[0];
  EXPECT_EQ(o["cid"], 7);
  std::string sid = o["d"]["sid"], sdp = o["d"]["sdp"];
  EXPECT_EQ(sid.size(), 32u);
  EXPECT_EQ(sdp, p->offerSdp);
  EXPECT_TRUE(macOK(kKey, "sdp|offer|" + sid + "|" + sdp, o["d"]["mac"]));
  // The key itself never travels.
  for (auto& s : sent) EXPECT_EQ(s.dump().find(kKey), std::string::npos);
}

TEST_F(PeerSessionTest, AnswerAuthentication) {
  signal({{"t", "peer"}, {"cid", 7}});
  auto p = factory->last();
  std::string sid = offerSid();
  std::string good = macFor(kKey, "sdp|answer|" + sid + "|v=0 a");

  struct Case {
    const char* what;
    json msg;
  };
  std::vector<Case> refused = {
      {"other sid, its own valid code", answer("v=0 a", "ffff" + sid.substr(4))},
      {"code over another sid", answer("v=0 a", sid, macFor(kKey, "sdp|answer|x|v=0 a"))},
      {"odd length", answer("v=0 a", sid, good.substr(1))},
      {"not hex", answer("v=0 a", sid, "zz" + good.substr(2))},
      {"empty", answer("v=0 a", sid, "")},
      {"other key", answer("v=0 a", sid, macFor("k", "sdp|answer|" + sid + "|v=0 a"))},
      {"sdp altered", answer("v=0 b", sid, good)},
  };
  json noMac = answer("v=0 a", sid);
  noMac["d"].erase("mac");
  refused.push_back({"missing", noMac});
  json numMac = answer("v=0 a", sid);
  numMac["d"]["mac"] = 5;
  refused.push_back({"not a string", numMac});
  for (auto& c : refused) {
    SCOPED_TRACE(c.what);
    signal(c.msg);
    EXPECT_TRUE(p->remoteSdps().empty());
  }
  EXPECT_TRUE(logged("[rtc] answer の認証に失敗（キーが違うか改ざん）。破棄"));
  // One fail record for the attempt, however many forgeries; the peer
  // connection stays open for the genuine answer.
  auto fails = records("fail");
  ASSERT_EQ(fails.size(), 1u);
  EXPECT_EQ(fails[0]["reason"], "auth_failed");
  EXPECT_FALSE(p->closed());

  std::string upper = good;
  for (auto& ch : upper) ch = static_cast<char>(toupper(ch));
  signal(answer("v=0 a", sid, upper));
  EXPECT_EQ(p->remoteSdps(), std::vector<std::string>{"v=0 a"});
}

TEST_F(PeerSessionTest, ReplayedOrForgedAnswerLeavesALiveSessionAlone) {
  auto p = connect();
  std::string sid = offerSid();
  signal(answer("v=0 answer", sid));                     // replay
  signal(answer("v=0 evil", sid, std::string(64, 'a')));  // forgery
  EXPECT_EQ(p->remoteSdps().size(), 1u);
  EXPECT_TRUE(records("fail").empty());
  for (auto& s : p->channel("ctl")->sentTexts()) EXPECT_EQ(s.find("\"code\":\"ice\""), std::string::npos) << s;
  EXPECT_TRUE(t->isLive());
}

TEST_F(PeerSessionTest, CandidatesBeforeTheAnswerWaitAndAreBounded) {
  signal({{"t", "peer"}, {"cid", 7}});
  auto p = factory->last();
  signal({{"t", "sig"}, {"cid", 7}, {"d", {{"kind", "ice"}, {"cand", "candidate:1"}, {"mid", "0"}, {"idx", 0}}}});
  signal({{"t", "sig"}, {"cid", 7}, {"d", {{"kind", "ice"}, {"cand", "candidate:2"}}}});
  // Out of 32 bits, or out of any range: read as no number.
  signal({{"t", "sig"}, {"cid", 7}, {"d", {{"kind", "ice"}, {"cand", "candidate:3"}, {"idx", 4294967296.0}}}});
  signal({{"t", "sig"}, {"cid", 7}, {"d", {{"kind", "ice"}, {"cand", "candidate:4"}, {"idx", 1e300}}}});
  signal({{"t", "sig"}, {"cid", 7}, {"d", {{"kind", "ice"}, {"cand", 5}}}});      // not a string: ignored
  signal({{"t", "sig"}, {"cid", 8}, {"d", {{"kind", "ice"}, {"cand", "candidate:x"}}}});  // foreign cid
  signal({{"t", "sig"}, {"cid", 1e300}, {"d", {{"kind", "ice"}, {"cand", "candidate:y"}}}});
  EXPECT_TRUE(p->addedCandidates().empty());
  signal(answer("v=0 a", offerSid()));
  EXPECT_EQ(p->addedCandidates(),
            (std::vector<std::string>{"candidate:1|0|0", "candidate:2||0", "candidate:3||0", "candidate:4||0"}));
  signal({{"t", "sig"}, {"cid", 7}, {"d", {{"kind", "ice"}, {"cand", "candidate:9"}, {"idx", 1}}}});
  EXPECT_EQ(p->addedCandidates().back(), "candidate:9||1");

  // A flood is cut off per session.
  signal({{"t", "peer"}, {"cid", 9}});
  auto q = factory->last();
  for (int i = 0; i < 1000; ++i)
    t->injectSignal(json({{"t", "sig"}, {"cid", 9}, {"d", {{"kind", "ice"}, {"cand", "candidate:f"}}}}).dump());
  flush();
  json a = answer("v=0 a", offerSid());
  a["cid"] = 9;
  signal(a);
  EXPECT_EQ(q->addedCandidates().size(), RTCTransport::kMaxPendingIce);
  for (int i = 0; i < 1000; ++i)
    t->injectSignal(json({{"t", "sig"}, {"cid", 9}, {"d", {{"kind", "ice"}, {"cand", "candidate:g"}}}}).dump());
  flush();
  EXPECT_LE(q->addedCandidates().size(), RTCTransport::kMaxRemoteIce);
}

TEST_F(PeerSessionTest, MalformedSignallingIsIgnored) {
  for (const char* text : {"", "{", "[]", "null", "{\"t\":5}", "{\"x\":\"peer\"}", "{\"t\":\"sig\",\"cid\":0}",
                           "{\"t\":\"sig\",\"cid\":0,\"d\":[]}", "{\"t\":\"gone\",\"cid\":\"0\"}",
                           "{\"t\":\"nonsense\"}", "\xff\xfe"})
    t->injectSignal(text);
  flush();
  EXPECT_EQ(factory->count(), 0u);
  // A "peer" whose cid is not a number counts as client 0.
  signal({{"t", "peer"}, {"cid", 1e300}});
  ASSERT_EQ(factory->count(), 1u);
  EXPECT_EQ(sigs("offer").back()["cid"], 0);
  signal({{"t", "sig"}, {"cid", "0"}, {"d", {{"kind", "answer"}}}});  // a string cid is no number
  EXPECT_TRUE(records("fail").empty());
}

TEST_F(PeerSessionTest, ControlChannelBecomesAConnection) {
  auto p = connect();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0]->id, 1);
  EXPECT_TRUE(opened[0]->needKey);
  EXPECT_FALSE(opened[0]->wantsVideo);
  EXPECT_EQ(t->wsCount(), 1);
  EXPECT_TRUE(t->isLive());
  auto ok = records("ok");
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_EQ(ok[0]["mode"], "webrtc");
  EXPECT_EQ(ok[0]["stun"], "stun:127.0.0.1:3478");
  EXPECT_TRUE(ok[0]["sec"].is_number());

  auto ctl = p->channel("ctl");
  ctl->deliver("{\"t\":\"ping\",\"c\":1}");
  ctl->deliver("{\"t\":\"rep\",\"qd\":3}");
  ctl->deliver("{\"t\":\"rep\" broken");          // consumed even unparsed
  ctl->deliver("{\"t\":\"ping\"}", true);          // binary: ignored
  ctl->deliver(std::string("{\"t\":\"x\xff\"}"));  // not UTF-8
  p->channel("video")->deliver("{\"t\":\"ping\"}");
  p->channel("audio")->deliver("{\"t\":\"ping\"}");
  p->channel("file")->deliver("{\"t\":\"ls\"}");
  flush();
  EXPECT_EQ(texts, (std::vector<std::string>{"{\"t\":\"ping\",\"c\":1}", "{\"t\":\"ls\"}"}));

  t->sendText(opened[0], "{\"t\":\"hello\"}");
  t->sendTextAll("{\"t\":\"app\"}");
  t->sendText(std::make_shared<Conn>(99, nullptr), "{\"t\":\"nope\"}");
  flush();
  EXPECT_EQ(ctl->sentTexts(), (std::vector<std::string>{"{\"t\":\"hello\"}", "{\"t\":\"app\"}"}));

  ctl->deliver("{\"t\":\"mode\",\"v\":\"track\"}");
  flush();
  EXPECT_EQ(ctl->sentTexts().back(), "{\"t\":\"video\",\"v\":\"dc\"}");
  auto vm = events("video_mode");
  ASSERT_EQ(vm.size(), 1u);
  EXPECT_EQ(vm[0]["req"], "track");
  EXPECT_EQ(vm[0]["use"], "dc");

  auto dc = events("dc");
  ASSERT_FALSE(dc.empty());
  EXPECT_EQ(dc[0]["label"], "ctl");
  EXPECT_EQ(dc[0]["state"], "open");
  EXPECT_EQ(dc[0]["sid"], offerSid());
}

TEST_F(PeerSessionTest, ClientJournalIsWrittenOnceAndAcknowledgedPerSession) {
  auto p = connect();
  auto ctl = p->channel("ctl");
  ctl->deliver(R"({"t":"conn","ua":"x","events":[{"n":1,"e":"a"},{"n":2,"e":"b"}]})");
  ctl->deliver(R"({"t":"conn","ua":"x","events":[{"n":2,"e":"b"}]})");
  ctl->deliver(R"({"t":"conn","events":[{"n":1e300},{"e":"c"}]})");
  flush();
  std::vector<json> client;
  for (auto& r : journal())
    if (r.value("src", "") == "client") client.push_back(r);
  ASSERT_EQ(client.size(), 1u);
  EXPECT_EQ(client[0]["events"].size(), 2u);
  EXPECT_EQ(client[0]["mode"], "webrtc");
  EXPECT_EQ(client[0]["sid"], offerSid());
  EXPECT_FALSE(client[0].contains("t"));
  auto sentCtl = ctl->sentTexts();
  EXPECT_EQ(std::count(sentCtl.begin(), sentCtl.end(), "{\"n\":2,\"t\":\"evack\"}"), 3);

  // A second phone's numbering starts again and is written.
  auto q = connect(8);
  q->channel("ctl")->deliver(R"({"t":"conn","events":[{"n":1,"e":"z"}]})");
  flush();
  int fromClient = 0;
  for (auto& r : journal()) fromClient += r.value("src", "") == "client";
  EXPECT_EQ(fromClient, 2);
  EXPECT_EQ(q->channel("ctl")->sentTexts().back(), "{\"n\":1,\"t\":\"evack\"}");
}

TEST_F(PeerSessionTest, EndingsBeforeConnecting) {
  struct Case {
    const char* reason;
    std::function<void(ts::FakePeer&)> cause;
  };
  std::vector<Case> cases = {
      {"ice_failed", [](ts::FakePeer& p) { p.ice(IceState::Failed); }},
      {"dtls_or_ice_failed", [](ts::FakePeer& p) { p.peer(rtc::PeerState::Failed); }},
      {"client_left_before_connect", [this](ts::FakePeer&) { signal({{"t", "gone"}, {"cid", 7}}); }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.reason);
    ts::removeTree(dir + "/connect_log.jsonl");
    signal({{"t", "peer"}, {"cid", 7}});
    auto p = factory->last();
    signal({{"t", "gone"}, {"cid", 8}});  // someone else
    c.cause(*p);
    flush();
    c.cause(*p);  // twice: still one record
    flush();
    auto fails = records("fail");
    ASSERT_EQ(fails.size(), 1u);
    EXPECT_EQ(fails[0]["reason"], c.reason);
    EXPECT_EQ(fails[0]["src"], "host");
    EXPECT_EQ(fails[0]["mode"], "webrtc");
    EXPECT_TRUE(fails[0]["sec"].is_number());
  }
}

TEST_F(PeerSessionTest, OfferFailureAndMissingStack) {
  factory->failOffer = true;
  signal({{"t", "peer"}, {"cid", 1}});
  EXPECT_EQ(records("fail").at(0)["reason"], "offer_failed");
  EXPECT_TRUE(sigs("offer").empty());
  factory->fail = true;
  signal({{"t", "peer"}, {"cid", 2}});
  EXPECT_TRUE(logged("[rtc] PeerConnection作成失敗"));
  // The failed attempt already has its record; the failed create adds none.
  EXPECT_EQ(records("fail").size(), 1u);
}

TEST_F(PeerSessionTest, BadAnswerSdpFailsTheAttempt) {
  factory->remoteError = "parse error";
  signal({{"t", "peer"}, {"cid", 7}});
  signal(answer("garbage", offerSid()));
  EXPECT_TRUE(logged("[rtc] setRemote失敗 parse error"));
  EXPECT_EQ(records("fail").at(0)["reason"], "sdp_failed");
}

TEST_F(PeerSessionTest, IceTimeout) {
  make(0.2);
  signal({{"t", "peer"}, {"cid", 7}});
  ASSERT_TRUE(waitUntil([&] { return !records("fail").empty(); }));
  EXPECT_EQ(records("fail")[0]["reason"], "timeout");
  // A connected session is never timed out.
  ts::removeTree(dir + "/connect_log.jsonl");
  connect(8);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  flush();
  EXPECT_TRUE(records("fail").empty());
}

TEST_F(PeerSessionTest, NewPeerReplacesTheSession) {
  signal({{"t", "peer"}, {"cid", 7}});
  std::string first = offerSid();
  signal({{"t", "peer"}, {"cid", 8}});
  EXPECT_NE(offerSid(), first);
  auto fails = records("fail");
  ASSERT_EQ(fails.size(), 1u);
  EXPECT_EQ(fails[0]["reason"], "new_peer");
  auto closed = events("peer_closed");
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0]["sid"], first);

  // A connected session: only the event, and the connection is closed.
  auto p = connect(9);
  connect(10);
  EXPECT_TRUE(p->closed());
  EXPECT_EQ(records("fail").size(), 2u);  // 7 and 8 never connected
  EXPECT_TRUE(records("ended").empty());
  EXPECT_EQ(events("peer_closed").size(), 3u);
  EXPECT_EQ(closeCount(), 1);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[1]->id, 2);  // ids keep counting
}

TEST_F(PeerSessionTest, EndingsAfterConnecting) {
  struct Case {
    const char* reason;
    std::function<void(ts::FakePeer&)> cause;
  };
  std::vector<Case> cases = {
      {"channel_closed", [](ts::FakePeer& p) { p.channel("ctl")->setState(ChannelState::Closed); }},
      {"closed", [](ts::FakePeer& p) { p.peer(rtc::PeerState::Closed); }},
      {"ice_failed_after_connect", [](ts::FakePeer& p) { p.ice(IceState::Failed); }},
      {"channel_closed", [](ts::FakePeer& p) { p.channel("ctl")->setBuffered(RTCTransport::kMaxCtlBuffered + 1); }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.reason);
    ts::removeTree(dir + "/connect_log.jsonl");
    int closesBefore = closeCount();
    auto p = connect();
    c.cause(*p);
    t->sendTextAll("{\"t\":\"x\"}");
    flush();
    auto ended = records("ended");
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0]["reason"], c.reason);
    EXPECT_EQ(ended[0]["sid"], offerSid());
    EXPECT_TRUE(ended[0]["duration_sec"].is_number_integer());
    EXPECT_TRUE(records("fail").empty());
    EXPECT_TRUE(p->closed());
    EXPECT_EQ(closeCount(), closesBefore + 1);
    EXPECT_FALSE(t->isLive());
    EXPECT_EQ(t->wsCount(), 0);
  }
}

TEST_F(PeerSessionTest, ConnectedWithoutControlChannelIsStillClosedAndRecorded) {
  signal({{"t", "peer"}, {"cid", 7}});
  auto p = factory->last();
  signal(answer("v=0 a", offerSid()));
  p->ice(IceState::Connected);
  flush();
  EXPECT_TRUE(t->isLive());
  p->peer(rtc::PeerState::Failed);  // DTLS never came up
  flush();
  EXPECT_FALSE(t->isLive());
  EXPECT_TRUE(p->closed());
  ASSERT_EQ(records("ended").size(), 1u);
  EXPECT_EQ(records("ended")[0]["reason"], "closed");
  EXPECT_EQ(closeCount(), 0);
}

TEST_F(PeerSessionTest, PauseClosesOnlyTheSessionItWasMeantFor) {
  signal({{"t", "peer"}, {"cid", 1}});
  t->setPaused(true);
  flush();
  signal({{"t", "peer"}, {"cid", 2}});
  EXPECT_TRUE(logged("[rtc] 一時停止中のため接続を受けません"));
  EXPECT_EQ(factory->count(), 1u);
  ASSERT_TRUE(waitUntil([&] { return !events("peer_closed").empty(); }));
  EXPECT_EQ(events("peer_closed")[0]["reason"], "paused_by_mac");
  EXPECT_EQ(records("fail").at(0)["reason"], "paused_by_mac");
  EXPECT_TRUE(logged("[rtc] 一時停止 オン"));

  // Connected: the phone is told, then the session goes.
  t->setPaused(false);
  auto p = connect(3);
  t->setPaused(true);
  flush();
  auto sentCtl = p->channel("ctl")->sentTexts();
  ASSERT_FALSE(sentCtl.empty());
  EXPECT_NE(sentCtl.back().find("\"t\":\"paused\""), std::string::npos);
  ASSERT_TRUE(waitUntil([&] { return closeCount() == 1; }));
  EXPECT_TRUE(p->closed());

  // Unpaused and a new phone inside the 0.4 s: the new session stays.
  t->setPaused(false);
  connect(4);
  t->setPaused(true);
  t->setPaused(false);
  auto q = connect(5);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  flush();
  EXPECT_FALSE(q->closed());
  EXPECT_TRUE(t->isLive());
}

TEST_F(PeerSessionTest, BulkAndAudio) {
  EXPECT_FALSE(t->sendBulk("x"));
  EXPECT_EQ(t->bulkBuffered(), 0);
  auto p = connect();
  EXPECT_FALSE(t->sendBulk("x"));  // file channel not open yet
  p->channel("file")->setState(ChannelState::Open);
  p->channel("file")->setBuffered(1234);
  flush();
  EXPECT_TRUE(t->sendBulk("{\"t\":\"lsr\"}"));
  EXPECT_EQ(t->bulkBuffered(), 1234);
  EXPECT_EQ(p->channel("file")->sentTexts(), std::vector<std::string>{"{\"t\":\"lsr\"}"});
}

TEST_F(PeerSessionTest, WatchdogCountsSilenceFromTheControlChannelOpening) {
  useClock();
  signal({{"t", "peer"}, {"cid", 7}});
  auto p = factory->last();
  signal(answer("v=0 answer", offerSid()));
  clock = clock + 20000;  // slow ICE
  p->ice(IceState::Connected);
  p->channel("ctl")->setState(ChannelState::Open);
  flush();
  ticks(32);  // 8 s exactly: not more than 8 s
  EXPECT_TRUE(records("ended").empty());
  EXPECT_TRUE(t->isLive());
  // Text keeps it alive; a heartbeat from us does not.
  p->channel("ctl")->deliver(R"({"t":"ping"})");
  flush();
  ticks(32);
  EXPECT_TRUE(records("ended").empty());
  ticks(1);
  ASSERT_EQ(events("no_message_8s").size(), 1u);
  auto ended = records("ended");
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0]["reason"], "no_message_8s");
  EXPECT_FALSE(t->isLive());
  EXPECT_EQ(closeCount(), 1);
  auto calls = rateCalls();
  ASSERT_FALSE(calls.empty());
  EXPECT_FALSE(calls.back());  // the encoder gets its own rate back
  ticks(8);                    // no tick survives the session
  EXPECT_EQ(records("ended").size(), 1u);
}

TEST_F(PeerSessionTest, TickSendsHeartbeatsSnapshotsAndAsksForKeyFramesOnceDrained) {
  useClock();
  auto p = connect();
  auto ctl = p->channel("ctl");
  auto vid = p->channel("video");
  vid->setBuffered(200000);
  ctl->deliver(R"({"t":"rep","qd":1e300,"kbps":900})");
  flush();
  ticks(3);
  EXPECT_EQ(keyRequests, 0);  // the queue has not drained
  EXPECT_EQ(count(ctl->sentTexts(), R"({"t":"hb"})"), 0u);
  vid->setBuffered(0);
  ticks(5);
  // Asked at once, then not again within 250 ms: every other tick.
  EXPECT_EQ(keyRequests, 3);
  EXPECT_EQ(count(ctl->sentTexts(), R"({"t":"hb"})"), 1u);
  // The phone's huge delay counts as 60000 ms.
  auto rate = events("rate");
  ASSERT_EQ(rate.size(), 2u);
  EXPECT_EQ(rate[0]["qd"], 60000);
  EXPECT_EQ(rate[0]["was_bitrate"], 3000000);
  EXPECT_EQ(rate[0]["bitrate"], 1800000);
  EXPECT_EQ(rate[0]["peak_buf"], 0);  // nothing was sent, so no frame read the queue
  for (int i = 0; i < 2; ++i) ctl->deliver(R"({"t":"ping"})"), ticks(4);
  EXPECT_EQ(count(ctl->sentTexts(), R"({"t":"hb"})"), 2u);
  vid->setBuffered(777);
  ctl->deliver(R"({"t":"ping"})");
  ticks(4);  // the 20th tick
  auto stats = events("stats");
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0]["tag"], "periodic");
  EXPECT_EQ(stats[0]["buffered"], 777);
  EXPECT_EQ(stats[0]["client_rep"]["kbps"], 900);
  // Tick 12 still saw the report (3 s old) and lowered the rate again.
  rate = events("rate");
  ASSERT_EQ(rate.size(), 3u);
  EXPECT_EQ(stats[0]["rate"]["bitrate"], 648000);
  EXPECT_EQ(stats[0]["rate"]["fps"], 12);
  EXPECT_EQ(stats[0]["sid"], offerSid());
  auto calls = rateCalls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0], rtc::Rate(3000000, 30));  // at the channel's opening
  EXPECT_EQ(calls[1], rtc::Rate(1800000, 20));
}

TEST_F(PeerSessionTest, VideoIsChunkedAndDroppedUnderBackPressure) {
  useClock();
  auto p = connect();
  auto c = opened.at(0);
  auto vid = p->channel("video");
  t->sendVideo(packet(100), true);
  flush();
  EXPECT_TRUE(vid->sentBinary().empty());  // the page has not asked for video
  wantVideo(c);
  t->sendVideo(packet(100), true);
  flush();
  EXPECT_TRUE(vid->sentBinary().empty());  // video channel not open
  vid->setState(ChannelState::Open);
  flush();
  t->sendVideo(packet(500), false);  // a delta before any key frame
  t->sendVideo(packet(30001), true);
  t->sendVideo(packet(0), false);
  flush();
  auto sent = vid->sentBinary();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].size(), 15008u);
  EXPECT_EQ(sent[2].size(), 9u);
  EXPECT_EQ(frameOf(sent[0]), 1u);
  EXPECT_EQ(frameOf(sent[2]), 1u);
  EXPECT_EQ(sent[3], std::string("\0\0\0\2\0\0\0\1", 8));  // frame 2, chunk 0 of 1, no payload
  EXPECT_FALSE(needKey(c));

  // 100000 queued at 3 Mbit/s: a delta is dropped, the deltas after it
  // wait, a key frame goes.
  vid->setBuffered(100000);
  t->sendVideo(packet(10), false);
  t->sendVideo(packet(10), false);
  flush();
  EXPECT_EQ(vid->sentBinary().size(), 4u);
  EXPECT_TRUE(needKey(c));
  t->sendVideo(packet(10), true);
  flush();
  EXPECT_FALSE(needKey(c));
  vid->setBuffered(0);
  t->sendVideo(packet(10), false);
  flush();
  sent = vid->sentBinary();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(frameOf(sent[4]), 3u);  // dropped frames took no number
  EXPECT_EQ(frameOf(sent[5]), 4u);
  EXPECT_EQ(sent[5][8], 0x5a);
  ticks(4);
  auto rate = events("rate");
  ASSERT_EQ(rate.size(), 1u);
  EXPECT_EQ(rate[0]["drops_p"], 1);
  EXPECT_EQ(rate[0]["peak_buf"], 100000);
  EXPECT_EQ(rate[0]["congested"], true);
}

TEST_F(PeerSessionTest, RouteAndSuccessRecordFromStatistics) {
  useClock();
  signal({{"t", "peer"}, {"cid", 7}});
  auto p = factory->last();
  p->setStats({{"T", {{"type", "transport"}, {"selectedCandidatePairId", "P"}, {"bytesSent", 5}}},
               {"P", {{"type", "candidate-pair"}, {"localCandidateId", "L"}, {"remoteCandidateId", "R"},
                      {"currentRoundTripTime", 0.01}}},
               {"L", {{"type", "local-candidate"}, {"candidateType", "host"}, {"protocol", "udp"},
                      {"address", "192.168.5.5"}}},
               {"R", {{"type", "remote-candidate"}, {"candidateType", "relay"}, {"protocol", "udp"},
                      {"address", "fd00::77"}}}});
  signal(answer("v=0 answer", offerSid()));
  p->ice(IceState::Connected);
  flush();
  auto ok = records("ok");
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_EQ(ok[0]["route"], "relay");
  EXPECT_EQ(ok[0]["local_ip_kind"], "private");
  EXPECT_EQ(ok[0]["remote_ip_kind"], "private6");
  EXPECT_EQ(ok[0]["same_lan"], true);
  EXPECT_EQ(ok[0]["remote_type"], "relay");
  EXPECT_TRUE(events("route_sent").empty());  // the control channel is not open yet
  p->channel("ctl")->setState(ChannelState::Open);
  flush();
  // Both kinds private, yet through a relay: the phone must not call it the same network.
  const std::string route =
      R"({"local_kind":"private","remote_kind":"private6","route":"relay","same_lan":true,"t":"route"})";
  ASSERT_FALSE(p->channel("ctl")->sentTexts().empty());
  EXPECT_EQ(p->channel("ctl")->sentTexts()[0], route);
  ASSERT_EQ(events("route_sent").size(), 1u);
  EXPECT_EQ(events("route_sent")[0]["msg"], route);
  p->ice(IceState::Failed);
  flush();
  auto stats = events("stats");
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0]["tag"], "ice_failed");
  EXPECT_EQ(stats[0]["bytes_sent"], 5);
  EXPECT_EQ(stats[0]["currentRoundTripTime"], 0.01);
  std::string all = ts::readFile(dir + "/connect_log.jsonl");
  EXPECT_EQ(all.find("192.168.5.5"), std::string::npos);
  EXPECT_EQ(all.find("fd00::77"), std::string::npos);

  // Without a usable pair: "unknown", and the phone is told nothing.
  ts::removeTree(dir + "/connect_log.jsonl");
  auto q = connect(8);
  ok = records("ok");
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_EQ(ok[0]["route"], "unknown");
  EXPECT_FALSE(ok[0].contains("same_lan"));
  EXPECT_TRUE(events("route_sent").empty());
  for (auto& text : q->channel("ctl")->sentTexts()) EXPECT_EQ(text.find("\"route\""), std::string::npos);
}

TEST_F(PeerSessionTest, RateCarriesOverAndNoAdaptLeavesTheEncoderAlone) {
  useClock();
  auto p = connect();
  p->channel("ctl")->deliver(R"({"t":"rep","qd":700})");
  flush();
  ticks(4);  // 3000000 -> 1800000
  p->channel("ctl")->deliver(R"({"t":"rep","qd":700})");
  flush();
  ticks(4);  // -> 1080000
  ASSERT_EQ(events("rate").size(), 2u);
  EXPECT_EQ(events("rate")[1]["bitrate"], 1080000);
  p->channel("ctl")->setState(ChannelState::Closed);
  flush();
  clock = clock + 120000;  // two minutes later: 1.3 x the last rate
  connect(8);
  auto calls = rateCalls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), rtc::Rate(1404000, 20));

  make(25);
  useClock();
  t->adaptive = false;
  auto q = connect();
  for (int i = 0; i < 3; ++i) {
    q->channel("ctl")->deliver(R"({"t":"rep","qd":5000})");
    flush();
    ticks(4);
  }
  q->channel("ctl")->setState(ChannelState::Closed);
  flush();
  EXPECT_TRUE(rateCalls().empty());
  EXPECT_EQ(events("rate").size(), 2u);  // only the first transport's
}

TEST_F(PeerSessionTest, SimulatedLossAndBlackout) {
  useClock();
  t->simLossPct = 100;
  auto p = connect();
  wantVideo(opened.at(0));
  p->channel("video")->setState(ChannelState::Open);
  flush();
  t->sendVideo(packet(20000), true);
  t->sendTextAll(R"({"t":"x"})");
  ticks(8);
  // Sends without delay or rate still pass through the link's timers.
  ASSERT_TRUE(waitUntil([&] { return count(p->channel("ctl")->sentTexts(), R"({"t":"hb"})") == 1; }));
  EXPECT_EQ(count(p->channel("ctl")->sentTexts(), R"({"t":"x"})"), 1u);
  EXPECT_TRUE(p->channel("video")->sentBinary().empty());

  // An outage from 1 s to 11 s after the first opening: nothing in, nothing out.
  make(25);
  useClock();
  t->simBlackout = std::make_pair(1.0, 10.0);
  auto q = connect();
  auto ctl = q->channel("ctl");
  ticks(4);
  for (int i = 0; i < 8; ++i) {
    ctl->deliver(R"({"t":"ping"})");
    flush();
    ticks(4);
  }
  EXPECT_TRUE(texts.empty());
  EXPECT_EQ(count(ctl->sentTexts(), R"({"t":"hb"})"), 0u);
  ASSERT_EQ(records("ended").size(), 1u);
  EXPECT_EQ(records("ended")[0]["reason"], "no_message_8s");
}

}  // namespace

// The video track against the scripted stack: the transceiver and its codec
// order, the switches between track and data channel, the answer's level
// rewrite and the track's part of the statistics.
class TrackSessionTest : public PeerSessionTest {
protected:
  void track(const std::string& mode) {
    t->videoMode = mode;
    t->degradation = "maintain-resolution";
    t->tracker = std::make_shared<InputTracker>();
  }
  std::vector<std::string> videoTexts(const std::shared_ptr<ts::FakeChannel>& ctl) {
    std::vector<std::string> out;
    for (auto& s : ctl->sentTexts())
      if (s.find("\"t\":\"video\"") != std::string::npos) out.push_back(s);
    return out;
  }
  void mode(const std::shared_ptr<ts::FakePeer>& p, const std::string& text) {
    p->channel("ctl")->deliver(text);
    flush();
  }
};

TEST_F(TrackSessionTest, AutoOffersTheTrackAndSwitchesOnRequest) {
  useClock();
  track("auto");
  auto p = connect();
  auto tr = p->track();
  ASSERT_TRUE(tr);
  ASSERT_EQ(tr->codecs.size(), 3u);
  for (size_t i = 1; i < tr->codecs.size(); ++i) {
    EXPECT_GE(tr->codecs[i - 1].packetizationMode, tr->codecs[i].packetizationMode);
    EXPECT_GT(tr->codecs[i - 1].profileLevelId, tr->codecs[i].profileLevelId);
  }
  auto ctl = p->channel("ctl");
  EXPECT_TRUE(videoTexts(ctl).empty());  // auto: nothing decided at open
  EXPECT_FALSE(t->trackActive());

  auto c = opened.at(0);
  wantVideo(c);
  p->channel("video")->setState(ChannelState::Open);
  mode(p, R"({"t":"mode","v":"track"})");
  EXPECT_TRUE(t->trackActive());
  EXPECT_EQ(videoTexts(ctl), std::vector<std::string>{R"({"t":"video","v":"track"})"});
  auto vm = events("video_mode");
  ASSERT_EQ(vm.size(), 1u);
  EXPECT_EQ(vm[0]["req"], "track");
  EXPECT_EQ(vm[0]["use"], "track");
  EXPECT_EQ(vm[0]["mode_opt"], "auto");
  EXPECT_EQ(vm[0]["degradation"], "maintain-resolution");
  // The track carries the video: the data channel sends nothing.
  t->sendVideo(packet(100), true);
  flush();
  EXPECT_TRUE(p->channel("video")->sentBinary().empty());
  EXPECT_TRUE(t->pushTrack(Frame::make(640, 480)));

  // Back to the data channel: deltas wait for a key frame, which is asked for.
  int keysBefore = keyRequests;
  t->queue().sync([&] { c->needKey = false; });
  mode(p, R"({"t":"mode","v":"dc"})");
  EXPECT_FALSE(t->trackActive());
  EXPECT_FALSE(t->pushTrack(Frame::make(640, 480)));
  EXPECT_TRUE(needKey(c));
  EXPECT_EQ(keyRequests, keysBefore + 1);
  t->sendVideo(packet(100), false);
  flush();
  EXPECT_TRUE(p->channel("video")->sentBinary().empty());
  t->sendVideo(packet(100), true);
  flush();
  EXPECT_EQ(p->channel("video")->sentBinary().size(), 1u);

  // Anything but "track", or no "v" at all, is the data channel; a switch
  // to "dc" while already there asks for nothing.
  mode(p, R"({"t":"mode","v":"canvas"})");
  mode(p, R"({"t":"mode"})");
  mode(p, R"({"t":"mode","v":7})");
  EXPECT_EQ(keyRequests, keysBefore + 1);
  auto texts = videoTexts(ctl);
  ASSERT_EQ(texts.size(), 5u);
  for (size_t i = 1; i < texts.size(); ++i) EXPECT_EQ(texts[i], R"({"t":"video","v":"dc"})");
  vm = events("video_mode");
  ASSERT_EQ(vm.size(), 5u);
  EXPECT_EQ(vm[2]["req"], "canvas");
  EXPECT_EQ(vm[3]["req"], "dc");
}

TEST_F(TrackSessionTest, TrackModeSwitchesAtOpenAndANewSessionStartsOnTheDataChannel) {
  track("track");
  auto p = connect();
  EXPECT_TRUE(t->trackActive());
  EXPECT_EQ(videoTexts(p->channel("ctl")), std::vector<std::string>{R"({"t":"video","v":"track"})"});
  auto vm = events("video_mode");
  ASSERT_EQ(vm.size(), 1u);
  EXPECT_EQ(vm[0]["use"], "track");
  // Even asked for "dc", mode "track" keeps the track.
  mode(p, R"({"t":"mode","v":"dc"})");
  EXPECT_TRUE(t->trackActive());

  // The next phone: the flag is down until its control channel opens, and
  // the old session's track gets nothing more.
  signal({{"t", "peer"}, {"cid", 8}});
  EXPECT_FALSE(t->trackActive());
  EXPECT_TRUE(p->track()->detached());
  auto q = factory->last();
  ASSERT_NE(q, p);
  ASSERT_TRUE(q->track());
  EXPECT_FALSE(q->track()->detached());
}

TEST_F(TrackSessionTest, EndingsClearTheTrack) {
  track("track");
  auto p = connect();
  ASSERT_TRUE(t->trackActive());
  p->channel("ctl")->setState(ChannelState::Closed);
  flush();
  EXPECT_FALSE(t->trackActive());
  EXPECT_TRUE(p->track()->detached());
  auto q = connect(9);
  ASSERT_TRUE(t->trackActive());
  t->setPaused(true);
  EXPECT_TRUE(waitUntil([&] {
    flush();
    return !t->trackActive();
  }));
  EXPECT_TRUE(q->track()->detached());
}

TEST_F(TrackSessionTest, DataChannelModeOffersNoTrack) {
  track("dc");
  auto p = connect();
  EXPECT_FALSE(p->track());
  EXPECT_FALSE(t->trackPipeline());
  mode(p, R"({"t":"mode","v":"track"})");
  EXPECT_FALSE(t->trackActive());
  EXPECT_EQ(videoTexts(p->channel("ctl")), std::vector<std::string>{R"({"t":"video","v":"dc"})"});
  EXPECT_EQ(events("video_mode").at(0)["mode_opt"], "dc");
}

TEST_F(TrackSessionTest, AFailedTransceiverLeavesTheSessionOnTheDataChannel) {
  factory->failTrack = true;
  track("track");
  auto p = connect();
  EXPECT_TRUE(logged("[rtc] 映像トランシーバー作成失敗"));
  EXPECT_FALSE(t->trackActive());
  EXPECT_EQ(videoTexts(p->channel("ctl")), std::vector<std::string>{R"({"t":"video","v":"dc"})"});
  EXPECT_EQ(records("ok").size(), 1u);  // the session itself goes on
}

TEST_F(TrackSessionTest, AnswerLevelRaisedOnlyWithATrack) {
  const std::string fmtp = "a=fmtp:96 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f";
  const std::string sdp = "v=0\r\nm=video 9 UDP/TLS/RTP/SAVPF 96\r\na=rtpmap:96 H264/90000\r\n" + fmtp + "\r\n";
  track("auto");
  signal({{"t", "peer"}, {"cid", 7}});
  auto p = factory->last();
  signal(answer(sdp, offerSid()));
  ASSERT_EQ(p->remoteSdps().size(), 1u);
  EXPECT_NE(p->remoteSdps()[0].find("profile-level-id=42e034\r\n"), std::string::npos);
  EXPECT_EQ(p->remoteSdps()[0].find("42e01f"), std::string::npos);
  auto raised = events("sdp_level_raised");
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_EQ(raised[0]["before"], json::array({fmtp}));
  EXPECT_EQ(raised[0]["after"],
            json::array({"a=fmtp:96 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e034"}));

  // A malformed level is applied as it came, without an event.
  signal({{"t", "peer"}, {"cid", 8}});
  p = factory->last();
  const std::string odd = "v=0\r\na=fmtp:96 profile-level-id=42e0\r\n";
  json a = answer(odd, offerSid());
  a["cid"] = 8;
  signal(a);
  EXPECT_EQ(p->remoteSdps(), std::vector<std::string>{odd});
  EXPECT_EQ(events("sdp_level_raised").size(), 1u);

  // No track in the session (mode "dc"): the answer is not touched.
  t->videoMode = "dc";
  signal({{"t", "peer"}, {"cid", 9}});
  p = factory->last();
  a = answer(sdp, offerSid());
  a["cid"] = 9;
  signal(a);
  EXPECT_EQ(p->remoteSdps(), std::vector<std::string>{sdp});
  EXPECT_EQ(events("sdp_level_raised").size(), 1u);
}

TEST_F(TrackSessionTest, SnapshotCarriesTheTracksCounters) {
  useClock();
  track("track");
  auto p = connect();
  p->channel("video")->setState(ChannelState::Open);
  p->setStats({{"o", {{"type", "outbound-rtp"}, {"kind", "video"}, {"codecId", "c"}, {"bytesSent", 1234},
                      {"packetsSent", 7}}},
               {"c", {{"type", "codec"}, {"mimeType", "video/H264"},
                      {"sdpFmtpLine", "packetization-mode=1;profile-level-id=64001f"}}}});
  ticks(20);
  auto stats = events("stats");
  ASSERT_FALSE(stats.empty());
  const json& v = stats.back()["video_out"];
  EXPECT_EQ(v["codec"], "video/H264");
  EXPECT_EQ(v["fmtp"], "packetization-mode=1;profile-level-id=64001f");
  EXPECT_EQ(v["bytesSent"], 1234);
  EXPECT_EQ(v["pushed"], 0);
  EXPECT_EQ(v["push_dropped"], 0);
  EXPECT_EQ(v["framesEncoded"], 0);
  EXPECT_TRUE(v["targetBitrate"].is_number());
}
