// Two GstPeers in one process (inside the suite's private network namespace):
// channels with the transport's settings, messages both ways, states, stats,
// and the guarantees around close, detach and teardown.
#include "rtc/GstConvert.h"
#include "rtc/Route.h"
#include "support/PeerPair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace std::chrono_literals;
using rtc::ChannelState;
using ts::PeerPair;

namespace {

// Whether `want` appears in `seq` in this order (other entries may come between).
template <class T>
bool inOrder(const std::vector<T>& seq, const std::vector<T>& want) {
  size_t i = 0;
  for (const T& v : seq)
    if (i < want.size() && v == want[i]) ++i;
  return i == want.size();
}

std::string pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed * 7) & 0xff);
  return s;
}

// Every key of every statistic, for the no-address check. The selected
// candidates alone carry their "address", for the route's address kinds.
bool anyAddressKey(const nlohmann::json& report) {
  for (auto& [id, obj] : report.items())
    for (auto& [k, v] : obj.items()) {
      bool selected = id == "local-candidate-selected" || id == "remote-candidate-selected";
      if (rtc::gst::isAddressKey(k) && !(selected && k == "address")) return true;
    }
  return false;
}

class RtcPeer : public ::testing::Test {
protected:
  void SetUp() override {
    pair = std::make_unique<PeerPair>(config());
    ASSERT_TRUE(pair->a.pc && pair->b.pc) << "webrtcbin missing";
  }
  virtual rtc::PeerConfig config() { return {}; }
  std::unique_ptr<PeerPair> pair;
};

TEST_F(RtcPeer, FourChannelsOpenWithTheirSettingsAndStatesInSequence) {
  ASSERT_TRUE(pair->connect());
  for (const char* label : {"ctl", "video", "file", "audio"}) {
    auto a = pair->a.channel(label), b = pair->b.channel(label);
    ASSERT_TRUE(a && b) << label;
    EXPECT_EQ(a->label(), label);
    EXPECT_EQ(b->label(), label);
    EXPECT_EQ(a->state(), ChannelState::Open);
    EXPECT_EQ(b->state(), ChannelState::Open);
    // Local channels report changes only: no initial "connecting".
    auto log = pair->a.chanLog(label);
    std::lock_guard<std::mutex> l(log->m);
    EXPECT_EQ(log->states, std::vector<ChannelState>{ChannelState::Open}) << label;
  }
  auto& log = *pair->a.log;
  ASSERT_TRUE(log.waitFor([&] {
    return inOrder(log.gathering, {rtc::GatheringState::Gathering, rtc::GatheringState::Complete});
  }));
  std::lock_guard<std::mutex> l(log.m);
  EXPECT_TRUE(inOrder(log.ice, {rtc::IceState::Checking, rtc::IceState::Connected})) << ::testing::PrintToString(log.ice);
  EXPECT_TRUE(inOrder(log.pc, {rtc::PeerState::Connecting, rtc::PeerState::Connected}));
  // webrtcbin's own numbers: have-local-offer 2, then stable 0.
  EXPECT_TRUE(inOrder(log.signaling, {2, 0}));
  ASSERT_FALSE(log.candidates.empty());
  auto mids = rtc::gst::sdpMids(pair->offerSdp);
  ASSERT_EQ(mids.size(), 1u);
  for (auto& c : log.candidates) {
    EXPECT_EQ(c.candidate.rfind("candidate:", 0), 0u) << c.candidate;
    EXPECT_EQ(c.mlineIndex, 0);
    EXPECT_EQ(c.mid, mids[0]);
  }
}

TEST_F(RtcPeer, OfferAnnouncesTheLargerMessageSize) {
  pair->createChannels();
  auto offer = PeerPair::offer(*pair->a.pc);
  ASSERT_TRUE(offer);
  EXPECT_EQ(offer->type, "offer");
  EXPECT_NE(offer->sdp.find("m=application"), std::string::npos);
  EXPECT_NE(offer->sdp.find("a=max-message-size:262144\r\n"), std::string::npos);

  pair->a.pc->setAnnouncedMaxMessageSize(0);
  auto plain = PeerPair::offer(*pair->a.pc);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->sdp.find("a=max-message-size"), std::string::npos);
}

TEST_F(RtcPeer, TextsAndBinariesArriveInOrderBothWays) {
  ASSERT_TRUE(pair->connect());
  const int kTexts = 200, kBins = 40;
  for (auto* from : {&pair->a, &pair->b}) {
    auto ctl = from->channel("ctl"), file = from->channel("file");
    for (int i = 0; i < kTexts; ++i) ASSERT_TRUE(ctl->send("{\"n\":" + std::to_string(i) + "}", false));
    for (int i = 0; i < kBins; ++i) ASSERT_TRUE(file->send(pattern(15008, i), true));
  }
  for (auto* to : {&pair->b, &pair->a}) {
    auto ctl = to->chanLog("ctl"), file = to->chanLog("file");
    ASSERT_TRUE(ctl->waitFor([&] { return ctl->messages.size() >= kTexts; }));
    ASSERT_TRUE(file->waitFor([&] { return file->messages.size() >= kBins; }));
    std::lock_guard<std::mutex> l1(ctl->m), l2(file->m);
    ASSERT_EQ(ctl->messages.size(), size_t(kTexts));
    for (int i = 0; i < kTexts; ++i) {
      EXPECT_EQ(ctl->messages[i].first, "{\"n\":" + std::to_string(i) + "}");
      EXPECT_FALSE(ctl->messages[i].second);
    }
    ASSERT_EQ(file->messages.size(), size_t(kBins));
    for (int i = 0; i < kBins; ++i) {
      EXPECT_TRUE(file->messages[i].first == pattern(15008, i)) << "binary " << i;
      EXPECT_TRUE(file->messages[i].second);
    }
  }
}

TEST_F(RtcPeer, UnreliableChannelsCarryMessagesToo) {
  ASSERT_TRUE(pair->connect());
  // No retransmissions: a loss is allowed, so keep sending until one lands.
  for (const char* label : {"video", "audio"}) {
    auto in = pair->b.chanLog(label);
    auto out = pair->a.channel(label);
    bool got = false;
    for (int i = 0; i < 50 && !got; ++i) {
      ASSERT_TRUE(out->send(pattern(1200, i), true));
      got = in->waitFor([&] { return !in->messages.empty(); }, 1s);
    }
    ASSERT_TRUE(got) << label;
    std::lock_guard<std::mutex> l(in->m);
    EXPECT_TRUE(in->messages[0].second);
    EXPECT_EQ(in->messages[0].first.size(), 1200u);
  }
}

TEST_F(RtcPeer, BufferedAmountRisesWhileQueuedAndDrains) {
  ASSERT_TRUE(pair->connect());
  auto file = pair->a.channel("file");
  EXPECT_EQ(file->bufferedAmount(), 0u);
  uint64_t most = 0;
  // 3 MB handed over at once cannot all have left by the time send returns.
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(file->send(pattern(15008, i), true));
    most = std::max(most, file->bufferedAmount());
  }
  EXPECT_GT(most, 0u);
  EXPECT_LE(most, 200u * 15008u);
  auto in = pair->b.chanLog("file");
  ASSERT_TRUE(in->waitFor([&] { return in->messages.size() >= 200; }));
  ASSERT_TRUE(ts::eventually([&] { return file->bufferedAmount() == 0; }));
}

TEST_F(RtcPeer, StatsNameTheSelectedPairWithoutAddresses) {
  ASSERT_TRUE(pair->connect());
  auto report = PeerPair::stats(*pair->a.pc);
  ASSERT_TRUE(report);
  ASSERT_TRUE(report->is_object());
  bool peerConnection = false;
  for (auto& [id, obj] : report->items()) {
    ASSERT_TRUE(obj.contains("type")) << id;
    if (obj["type"] == "peer-connection") peerConnection = true;
    for (auto& [k, v] : obj.items()) EXPECT_EQ(k.find('-'), std::string::npos) << id << "." << k;
  }
  EXPECT_TRUE(peerConnection) << report->dump();
  EXPECT_FALSE(anyAddressKey(*report)) << report->dump();
  ASSERT_TRUE(report->contains("candidate-pair-selected")) << report->dump();
  auto& cp = (*report)["candidate-pair-selected"];
  EXPECT_EQ(cp["type"], "candidate-pair");
  EXPECT_EQ(cp["nominated"], true);
  EXPECT_EQ(cp["state"], "succeeded");
  for (const char* key : {"localCandidateId", "remoteCandidateId"}) {
    std::string id = cp[key];
    ASSERT_TRUE(report->contains(id)) << id;
    auto& c = (*report)[id];
    EXPECT_EQ(c["candidateType"], "host");
    EXPECT_EQ(c["protocol"], "udp");
  }
  EXPECT_EQ((*report)["local-candidate-selected"]["type"], "local-candidate");
  EXPECT_EQ((*report)["remote-candidate-selected"]["type"], "remote-candidate");
  for (const char* id : {"local-candidate-selected", "remote-candidate-selected"})
    EXPECT_EQ(rtc::ipKind((*report)[id].value("address", "")), "private") << report->dump();
  auto route = rtc::routeOf(*report);
  EXPECT_EQ(route.fields["route"], "host");
  EXPECT_EQ(route.same, true);
  EXPECT_EQ(route.fields.dump().find("127.0.0."), std::string::npos);
}

TEST_F(RtcPeer, NoCallbackRunsAfterClose) {
  ASSERT_TRUE(pair->connect());
  std::atomic<bool> closed{false};
  std::atomic<int> late{0};
  // A completion asked for just before close either ran before it returned or never.
  pair->a.pc->getStats([&](nlohmann::json) {
    if (closed) ++late;
  });
  auto bFile = pair->b.channel("file");
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread flood([&] {
    for (int i = 0; !stop && i < 100000; ++i)
      if (bFile->send(pattern(15008, i), true)) ++sent;
  });
  auto aCtl = pair->a.channel("ctl");
  auto& aFile = *pair->a.chanLog("file");
  ASSERT_TRUE(aFile.waitFor([&] { return aFile.messages.size() >= 5; }));
  pair->a.pc->close();
  closed = true;
  size_t peerCalls = pair->a.log->callbackCount();
  size_t fileCalls = aFile.callbackCount();
  size_t ctlCalls = pair->a.chanLog("ctl")->callbackCount();
  EXPECT_FALSE(aCtl->send("after close", false));
  // The other side does not learn of the close at once and keeps sending:
  // give anything of A's still in flight the time of a few hundred messages.
  int after = sent.load();
  EXPECT_TRUE(ts::eventually([&] { return sent.load() >= after + 300; }));
  stop = true;
  flood.join();
  pair->a.pc->createOffer([&](std::optional<rtc::SessionDescription>) { ++late; });
  pair->a.pc->setRemoteDescription({"answer", "v=0\r\n"}, [&](rtc::DescriptionResult) { ++late; });
  EXPECT_EQ(late.load(), 0);
  EXPECT_EQ(pair->a.log->callbackCount(), peerCalls);
  EXPECT_EQ(pair->a.chanLog("file")->callbackCount(), fileCalls);
  EXPECT_EQ(pair->a.chanLog("ctl")->callbackCount(), ctlCalls);
}

TEST_F(RtcPeer, DetachStopsOneChannelsCallbacks) {
  ASSERT_TRUE(pair->connect());
  auto aCtl = pair->a.channel("ctl");
  aCtl->detach();
  size_t before = pair->a.chanLog("ctl")->callbackCount();
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(pair->b.channel("ctl")->send("to a detached channel", false));
  // Messages on another channel still arrive; let the ctl ones have their time.
  ASSERT_TRUE(pair->b.channel("file")->send("marker", false));
  auto file = pair->a.chanLog("file");
  ASSERT_TRUE(file->waitFor([&] { return !file->messages.empty(); }));
  EXPECT_EQ(pair->a.chanLog("ctl")->callbackCount(), before);
  // The channel itself still works for sending.
  EXPECT_TRUE(aCtl->send("still sending", false));
  auto bCtl = pair->b.chanLog("ctl");
  ASSERT_TRUE(bCtl->waitFor([&] { return !bCtl->messages.empty(); }));
}

TEST_F(RtcPeer, CloseFromInsideACallbackReturns) {
  ASSERT_TRUE(pair->connect());
  auto log = pair->a.chanLog("ctl");
  std::atomic<bool> closedInside{false};
  auto peer = pair->a.pc;
  log->onMessage = [&, peer](const std::string&, bool) {
    peer->close();
    closedInside = true;
  };
  ASSERT_TRUE(pair->b.channel("ctl")->send("close now", false));
  ASSERT_TRUE(ts::eventually([&] { return closedInside.load(); }));
  size_t calls = log->callbackCount();
  auto bCtl = pair->b.channel("ctl");
  for (int i = 0; i < 5; ++i) bCtl->send("after", false);
  EXPECT_TRUE(ts::eventually([&] { return bCtl->bufferedAmount() == 0; }));
  EXPECT_EQ(log->callbackCount(), calls);
}

TEST_F(RtcPeer, BadRemoteDescriptionsReportErrors) {
  pair->createChannels();
  auto offer = PeerPair::offer(*pair->a.pc);
  ASSERT_TRUE(offer);
  ASSERT_FALSE(PeerPair::setLocal(*pair->a.pc, *offer));
  auto e1 = PeerPair::setRemote(*pair->a.pc, {"answer", "this is not SDP"});
  ASSERT_TRUE(e1);
  EXPECT_FALSE(e1->empty());
  auto e2 = PeerPair::setRemote(*pair->a.pc, {"bogus", offer->sdp});
  ASSERT_TRUE(e2);
  // A well-formed answer without the offer's m-line.
  auto e3 = PeerPair::setRemote(*pair->a.pc,
                                {"answer", "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n"});
  ASSERT_TRUE(e3);
  // The peer is still usable: a proper answer goes through afterwards.
  ASSERT_FALSE(PeerPair::setRemote(*pair->b.pc, *offer));
  auto answer = PeerPair::answer(*pair->b.pc);
  ASSERT_TRUE(answer);
  EXPECT_FALSE(PeerPair::setLocal(*pair->b.pc, *answer));
  EXPECT_FALSE(PeerPair::setRemote(*pair->a.pc, *answer));
}

TEST_F(RtcPeer, StrayCandidatesAreHarmless) {
  ASSERT_TRUE(pair->connect());
  auto& pc = *pair->a.pc;
  pc.addIceCandidate({"candidate:1 1 UDP 2015363327 127.0.0.1 9 typ host", "", 7});
  pc.addIceCandidate({"candidate:1 1 UDP 2015363327 127.0.0.1 9 typ host", "", -1});
  pc.addIceCandidate({"garbage", "0", 0});
  pc.addIceCandidate({"", "", 0});
  ASSERT_TRUE(pair->b.channel("ctl")->send("still here", false));
  auto log = pair->a.chanLog("ctl");
  ASSERT_TRUE(log->waitFor([&] { return !log->messages.empty(); }));
  EXPECT_EQ(pair->a.channel("ctl")->state(), ChannelState::Open);
}

// Teardown at each stage: nothing may crash, hang or leak (the sanitizer
// builds run these too).
TEST(RtcTeardown, BeforeTheOffer) {
  rtc::GstPeerFactory f;
  auto p = f.createPeer({}, {});
  ASSERT_TRUE(p);
  ts::ChannelLog log;
  auto ch = p->createDataChannel("ctl", true, std::nullopt, log.events());
  ASSERT_TRUE(ch);
  EXPECT_EQ(ch->state(), ChannelState::Connecting);
  EXPECT_FALSE(ch->send("not open yet", false));
  p.reset();
  EXPECT_FALSE(ch->send("peer gone", false));
  EXPECT_EQ(log.callbackCount(), 0u);
}

TEST(RtcTeardown, WhileIceIsChecking) {
  PeerPair pair;
  pair.createChannels();
  ASSERT_TRUE(pair.negotiate());
  // Straight after the answer: ICE has at most just started.
  pair.a.pc.reset();
  pair.b.pc.reset();
}

TEST(RtcTeardown, FactoryFirstThenPeersWhileSending) {
  auto pair = std::make_unique<PeerPair>();
  ASSERT_TRUE(pair->connect());
  auto file = pair->a.channel("file");
  std::atomic<bool> stop{false};
  std::atomic<int> refused{0};
  std::thread sender([&] {
    for (int i = 0; !stop; ++i)
      if (!file->send(pattern(15008, i), true)) ++refused;
  });
  auto& in = *pair->b.chanLog("file");
  ASSERT_TRUE(in.waitFor([&] { return in.messages.size() >= 10; }));
  // A factory holds nothing its peers need.
  { rtc::GstPeerFactory another; }
  pair->a.pc.reset();
  pair->b.pc.reset();
  pair.reset();
  stop = true;
  sender.join();
  EXPECT_FALSE(file->send("after teardown", true));
}

class RtcPeerWithServers : public RtcPeer {
  rtc::PeerConfig config() override {
    // Nothing listens there: host candidates must still connect.
    return {{"stun:127.0.0.1:3478", "turn:127.0.0.1:3479"}, "1765000000:room", "p@ss:word"};
  }
};

TEST_F(RtcPeerWithServers, UnreachableServersDoNotStopHostCandidates) {
  ASSERT_TRUE(pair->connect());
  ASSERT_TRUE(pair->a.channel("ctl")->send("hello", false));
  auto log = pair->b.chanLog("ctl");
  ASSERT_TRUE(log->waitFor([&] { return !log->messages.empty(); }));
}

}  // namespace
