// The video track between two webrtcbin peers (inside the suite's private
// network namespace): the offer names only H.264, the answer's raised level
// is taken, access units arrive and decode with an independent decoder, a
// PLI from the receiver becomes a key-frame request, and the statistics give
// what "video_out" needs.
#include "media/H264Encoder.h"
#include "rtc/StatsSnapshot.h"
#include "rtc/TrackSdp.h"
#include "session/InputTracker.h"
#include "support/Decode.h"
#include "support/PeerPair.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using ts::PeerPair;

namespace {

constexpr int kW = 640, kH = 480;

// The m=video section's payload types and, for each, its rtpmap codec name.
std::vector<std::pair<std::string, std::string>> videoPayloads(const std::string& sdp) {
  std::vector<std::string> pts;
  std::map<std::string, std::string> names;
  bool in = false;
  std::istringstream s(sdp);
  for (std::string l; std::getline(s, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    if (l.rfind("m=", 0) == 0) {
      in = l.rfind("m=video ", 0) == 0;
      if (in) {
        std::istringstream w(l);
        std::string word;
        for (int i = 0; w >> word; ++i)
          if (i >= 3) pts.push_back(word);
      }
      continue;
    }
    if (in && l.rfind("a=rtpmap:", 0) == 0) {
      auto sp = l.find(' ');
      names[l.substr(9, sp - 9)] = l.substr(sp + 1, l.find('/') - sp - 1);
    }
  }
  std::vector<std::pair<std::string, std::string>> out;
  for (auto& pt : pts) out.emplace_back(pt, names[pt]);
  return out;
}

// Grey picture whose left half is red: easy to find again after decoding.
FramePtr picture(int n) {
  auto f = Frame::make(kW, kH);
  for (int y = 0; y < kH; ++y) {
    uint8_t* row = f->row(y);
    for (int x = 0; x < kW; ++x) {
      uint8_t* p = row + x * 4;
      bool red = x < kW / 2;
      p[0] = red ? 0 : 128;
      p[1] = red ? 0 : static_cast<uint8_t>(128 + (n % 8));
      p[2] = red ? 255 : 128;
      p[3] = 255;
    }
  }
  f->captureMs = 1.7e12 + n * 33.0;
  return f;
}

class RtcTrackPeer : public ::testing::Test {
protected:
  void SetUp() override {
    dir = ts::makeTempDir("rtc-track");
    pair = std::make_unique<PeerPair>();
    ASSERT_TRUE(pair->a.pc && pair->b.pc) << "webrtcbin missing";
    pair->b.pc->receiveVideo([this](std::vector<uint8_t> au) {
      std::lock_guard<std::mutex> l(m);
      units.push_back(std::move(au));
    });
    rtc::VideoTrackEvents ev;
    ev.onKeyRequest = [this] { ++keyRequests; };
    variants = rtc::trackVariants(rtc::h264Preferences(rtc::trackSenderCapabilities()));
    pair->createChannels();
    track = pair->a.pc->addVideoTrack(variants, ev);
    ASSERT_TRUE(track);
    // webrtcbin answers without a profile; a browser names the one it
    // accepts, at its own level, which the host then raises.
    pair->rewriteAnswer = [](const std::string& sdp) {
      std::string named = sdp;
      auto at = named.find("packetization-mode=1;level-asymmetry-allowed=1");
      if (at != std::string::npos) named.insert(at, "profile-level-id=64001f;");
      return rtc::raiseH264Level(named);
    };

    enc = std::make_unique<H264Encoder>(std::make_shared<InputTracker>());
    enc->clock = [this] { return encSeconds.load(); };
    enc->onConfig = [this](const std::string&, const std::vector<uint8_t>& desc, int w, int h) {
      track->setConfig(desc, w, h);
    };
    enc->onFrame = [this](std::vector<uint8_t> au, bool key, double, std::vector<uint32_t>) {
      if (track->push(au, key)) ++pushed;
      if (key) ++keys;
    };
    enc->start(kW, kH, 30, 1000000);
  }
  void TearDown() override {
    if (enc) enc->stop(), enc->waitIdle();
    enc.reset();
    pair.reset();
    ts::removeTree(dir);
  }
  // Frames on the encoder's own clock, paced a little so the receiver's
  // jitter buffer sees a live stream.
  void feed(int n) {
    for (int i = 0; i < n; ++i) {
      encSeconds = encSeconds + 1.0 / 30;
      enc->encode(picture(frameNo++));
      std::this_thread::sleep_for(10ms);
    }
    enc->waitIdle();
  }
  size_t unitCount() {
    std::lock_guard<std::mutex> l(m);
    return units.size();
  }

  std::string dir;
  std::unique_ptr<PeerPair> pair;
  std::vector<rtc::H264Variant> variants;
  rtc::VideoTrackPtr track;
  std::unique_ptr<H264Encoder> enc;
  std::atomic<double> encSeconds{100};
  std::atomic<int> keyRequests{0}, pushed{0}, keys{0};
  int frameNo = 0;
  std::mutex m;
  std::vector<std::vector<uint8_t>> units;
};

TEST_F(RtcTrackPeer, OfferNamesOnlyH264AndTheRaisedAnswerIsTaken) {
  std::string error;
  ASSERT_TRUE(pair->negotiate(&error)) << error;
  auto payloads = videoPayloads(pair->offerSdp);
  ASSERT_FALSE(payloads.empty()) << pair->offerSdp;
  std::set<std::string> h264;
  for (auto& [pt, name] : payloads)
    if (name == "H264") h264.insert(pt);
  // Retransmission payloads ride along with the H.264 ones they repair.
  for (auto& [pt, name] : payloads) EXPECT_TRUE(name == "H264" || name == "rtx") << pt << " " << name;
  EXPECT_EQ(h264.size(), variants.size()) << pair->offerSdp;
  EXPECT_EQ(payloads.front().first, std::to_string(variants.front().payloadType));
  EXPECT_NE(pair->offerSdp.find("a=msid:s screen\r\n"), std::string::npos) << pair->offerSdp;
  EXPECT_NE(pair->offerSdp.find("transport-wide-cc"), std::string::npos);
  EXPECT_NE(pair->offerSdp.find("nack pli"), std::string::npos);
  // The answer's choice is known to the track, with the level as answered.
  auto chosen = track->chosen();
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->payloadType, variants.front().payloadType);
  EXPECT_EQ(chosen->profileLevelId, "640034");
}

TEST_F(RtcTrackPeer, UnitsArriveDecodeAndAPliAsksForAKeyFrame) {
  ASSERT_TRUE(pair->negotiate());
  ASSERT_TRUE(pair->waitAllOpen());
  // Frames keep coming until the receiver has a good run of them.
  ASSERT_TRUE(ts::eventually([&] {
    feed(10);
    return unitCount() >= 30;
  }, 90s)) << "units " << unitCount() << " pushed " << pushed;

  std::string path = dir + "/track.h264";
  {
    std::lock_guard<std::mutex> l(m);
    std::ofstream out(path, std::ios::binary);
    for (auto& u : units) out.write(reinterpret_cast<const char*>(u.data()), static_cast<std::streamsize>(u.size()));
  }
  auto d = ts::decodeH264(path, kW, kH);
  ASSERT_GE(d.frames.size(), 20u) << d.warnings;
  for (size_t i : {size_t{0}, d.frames.size() - 1}) {
    EXPECT_TRUE(ts::near(d.at(i, kW / 4, kH / 2), {255, 0, 0}, 30)) << i;
    EXPECT_TRUE(ts::near(d.at(i, 3 * kW / 4, kH / 2), {128, 128, 128}, 30)) << i;
  }

  // A decoder's request for a key frame reaches the sending side.
  ASSERT_TRUE(ts::eventually([&] {
    pair->b.pc->requestRemoteKeyFrame();
    feed(2);
    return keyRequests > 0;
  }, 60s));

  // What the snapshot's "video_out" is made of.
  nlohmann::json video;
  ASSERT_TRUE(ts::eventually([&] {
    auto report = PeerPair::stats(*pair->a.pc);
    if (!report) return false;
    rtc::SnapshotInput in;
    in.pipeline = std::make_pair(int64_t{pushed}, int64_t{0});
    auto snap = rtc::snapshotFields(in, *report);
    video = snap.value("video_out", nlohmann::json::object());
    return video.contains("bytesSent") && video.contains("codec");
  }, 30s)) << video.dump();
  EXPECT_EQ(video["codec"], "video/H264");
  EXPECT_NE(video.value("fmtp", "").find("profile-level-id="), std::string::npos) << video.dump();
  EXPECT_GT(video["bytesSent"].get<double>(), 0);
  EXPECT_EQ(video["pushed"], pushed.load());
  EXPECT_EQ(video["push_dropped"], 0);
}

}  // namespace
