// The video track's texts and options: the offer's codec order, the
// answer's choice, the level rewrite and the command line's bad values.
#include "app/RtcOptions.h"
#include "app/Settings.h"
#include "rtc/TrackSdp.h"

#include <gtest/gtest.h>

using rtc::CodecCapability;

namespace {

std::vector<std::string> order(const std::vector<CodecCapability>& caps) {
  std::vector<std::string> out;
  for (const auto& c : caps) {
    auto pm = c.params.find("packetization-mode");
    auto pl = c.params.find("profile-level-id");
    out.push_back((pm == c.params.end() ? "-" : pm->second) + "/" + (pl == c.params.end() ? "-" : pl->second));
  }
  return out;
}

Settings with(std::vector<std::string> args) {
  Settings s;
  s.args = std::move(args);
  s.readOptions();
  return s;
}

}  // namespace

TEST(TrackCodecs, OnlyH264ByPacketizationThenProfileDescending) {
  std::vector<CodecCapability> caps = {
      {"VP8", {}},
      {"H264", {{"packetization-mode", "0"}, {"profile-level-id", "64001f"}}},
      {"h264", {{"packetization-mode", "1"}, {"profile-level-id", "42e01f"}}},
      {"AV1", {{"profile", "0"}}},
      {"H264", {{"packetization-mode", "1"}, {"profile-level-id", "640c1f"}}},
      {"H264", {{"profile-level-id", "4d001f"}}},  // no mode: sorts as ""
      {"H264", {{"packetization-mode", "1"}}},      // no profile: sorts as ""
      {"H264", {{"packetization-mode", "0"}, {"profile-level-id", "42001f"}}},
  };
  EXPECT_EQ(order(rtc::h264Preferences(caps)),
            (std::vector<std::string>{"1/640c1f", "1/42e01f", "1/-", "0/64001f", "0/42001f", "-/4d001f"}));
  EXPECT_TRUE(rtc::h264Preferences({{"VP8", {}}, {"VP9", {}}}).empty());

  // What the track offers: High, Main, Constrained Baseline, all in mode 1,
  // payload types counting up from 96 in that order.
  auto v = rtc::trackVariants(rtc::h264Preferences(rtc::trackSenderCapabilities()));
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0], (rtc::H264Variant{"64001f", 1, 96}));
  EXPECT_EQ(v[1], (rtc::H264Variant{"4d001f", 1, 97}));
  EXPECT_EQ(v[2], (rtc::H264Variant{"42e01f", 1, 98}));
}

TEST(TrackCodecs, TheAnswersFirstH264PayloadOfTheVideoSection) {
  const std::string answer =
      "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n"
      "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=fmtp:96 profile-level-id=ffffff\r\n"
      "m=video 9 UDP/TLS/RTP/SAVPF 98 97 120\r\n"
      "a=rtpmap:97 H264/90000\r\na=fmtp:97 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=4d001f\r\n"
      "a=rtpmap:98 h264/90000\r\na=fmtp:98 profile-level-id=42e01f; packetization-mode=1\r\n"
      "a=rtpmap:120 rtx/90000\r\n"
      "m=video 9 UDP/TLS/RTP/SAVPF 96\r\na=rtpmap:96 H264/90000\r\n";
  auto v = rtc::answeredVariant(answer);
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, (rtc::H264Variant{"42e01f", 1, 98}));
  // Only an RTX payload, no video section, nothing parsable: none.
  EXPECT_FALSE(rtc::answeredVariant("m=video 9 RTP/AVP 120\r\na=rtpmap:120 rtx/90000\r\n"));
  EXPECT_FALSE(rtc::answeredVariant("v=0\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n"));
  EXPECT_FALSE(rtc::answeredVariant("m=video\r\na=rtpmap:x H264/90000\r\n"));
  EXPECT_FALSE(rtc::answeredVariant(""));
}

TEST(TrackSdpRewrite, LevelRaisedTo52KeepingTheProfile) {
  const std::string sdp =
      "m=video 9 UDP/TLS/RTP/SAVPF 96 97\r\n"
      "a=fmtp:96 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f\r\n"
      "a=fmtp:97 profile-level-id=64001F;packetization-mode=0\r\n"
      "a=rtpmap:96 H264/90000\r\n";
  std::string out = rtc::raiseH264Level(sdp);
  // Group 1 then "34": not group 13 followed by "4", not "$134" literally.
  EXPECT_EQ(out,
            "m=video 9 UDP/TLS/RTP/SAVPF 96 97\r\n"
            "a=fmtp:96 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e034\r\n"
            "a=fmtp:97 profile-level-id=640034;packetization-mode=0\r\n"
            "a=rtpmap:96 H264/90000\r\n");
  EXPECT_EQ(rtc::h264Fmtp(sdp), (std::vector<std::string>{
                                    "a=fmtp:96 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f",
                                    "a=fmtp:97 profile-level-id=64001F;packetization-mode=0"}));
  // Too short, not hex, or no such parameter: untouched.
  for (const char* same : {"a=fmtp:96 profile-level-id=42e0", "a=fmtp:96 profile-level-id=42g01f",
                           "a=fmtp:96 packetization-mode=1", "", "profile-level-id="})
    EXPECT_EQ(rtc::raiseH264Level(same), same);
  EXPECT_TRUE(rtc::h264Fmtp("a=fmtp:96 packetization-mode=1\r\n").empty());
}

TEST(TrackOptions, DefaultsAndChoices) {
  auto d = rtcTrackOptions(with({}));
  EXPECT_EQ(d.videoMode, "auto");
  EXPECT_EQ(d.degradation, "balanced");
  EXPECT_TRUE(d.screencastHint);
  EXPECT_EQ(d.maxBps, 8000000);
  EXPECT_EQ(d.startBps, 3000000);
  EXPECT_EQ(d.minBps, 300000);
  EXPECT_EQ(d.fps, 60);
  EXPECT_TRUE(d.notes.empty());

  auto o = rtcTrackOptions(with({"--video", "track", "--degradation", "maintain-framerate", "--content-hint",
                                 "motion", "--track-max-kbps", "2500", "--track-start-kbps", "1000",
                                 "--track-min-kbps", "200", "--track-fps", "30"}));
  EXPECT_EQ(o.videoMode, "track");
  EXPECT_EQ(o.degradation, "maintain-framerate");
  EXPECT_FALSE(o.screencastHint);
  EXPECT_EQ(o.maxBps, 2500000);
  EXPECT_EQ(o.startBps, 1000000);
  EXPECT_EQ(o.minBps, 200000);
  EXPECT_EQ(o.fps, 30);
  EXPECT_TRUE(o.notes.empty());

  auto u = rtcTrackOptions(with({"--video", "TRACK", "--degradation", "fast", "--content-hint", "Motion"}));
  EXPECT_EQ(u.videoMode, "auto");
  EXPECT_EQ(u.degradation, "balanced");
  EXPECT_TRUE(u.screencastHint);
}

TEST(TrackOptions, BadValuesGiveDefaultsOrClampsWithALogLine) {
  auto z = rtcTrackOptions(with({"--track-max-kbps", "0", "--track-start-kbps", "-5", "--track-min-kbps", "x",
                                 "--track-fps", "0"}));
  EXPECT_EQ(z.maxBps, 8000000);
  EXPECT_EQ(z.startBps, 3000000);
  EXPECT_EQ(z.minBps, 300000);
  EXPECT_EQ(z.fps, 60);
  EXPECT_EQ(z.notes.size(), 4u);

  // A minimum above the maximum is lowered to it; the start follows into range.
  auto m = rtcTrackOptions(with({"--track-max-kbps", "1000", "--track-min-kbps", "4000"}));
  EXPECT_EQ(m.maxBps, 1000000);
  EXPECT_EQ(m.minBps, 1000000);
  EXPECT_EQ(m.startBps, 1000000);
  EXPECT_EQ(m.notes.size(), 2u);
  auto s = rtcTrackOptions(with({"--track-start-kbps", "100"}));
  EXPECT_EQ(s.startBps, 300000);
  EXPECT_EQ(s.notes.size(), 1u);

  // Far too large: capped, never overflowing.
  auto big = rtcTrackOptions(with({"--track-max-kbps", "9223372036854775807", "--track-fps", "100000"}));
  EXPECT_EQ(big.maxBps, 1000000000);
  EXPECT_EQ(big.fps, 240);
  EXPECT_EQ(big.notes.size(), 2u);
  for (const auto& n : big.notes) EXPECT_EQ(n.rfind("[rtc] ", 0), 0u) << n;
}
