// The phone's candidates reach the ICE agent once per transport address: the
// twin that aborts libnice's nomination never gets through, anything else does.
#include "rtc/RemoteCandidates.h"

#include <gtest/gtest.h>

using rtc::RemoteCandidates;

namespace {

const std::string kHost = "candidate:9d41 1 udp 2130706431 10.0.2.2 53909 typ host";
// What a phone without NAT reports besides: the same address, learnt from STUN.
const std::string kTwin = "candidate:a06f 1 udp 1694498815 10.0.2.2 53909 typ srflx raddr 10.0.2.2 rport 53909";
const std::string kRelay = "candidate:9a7f 1 udp 16777215 10.0.0.1 50899 typ relay raddr 10.0.2.2 rport 43438";

TEST(RemoteCandidates, TrickledTwinsAreLeftOutAndOtherAddressesPass) {
  RemoteCandidates c;
  EXPECT_TRUE(c.admit(0, kHost));
  EXPECT_FALSE(c.admit(0, kTwin));
  EXPECT_FALSE(c.admit(0, "a=" + kHost)) << "the same candidate again, as an SDP attribute";
  EXPECT_TRUE(c.admit(0, kRelay));
  EXPECT_TRUE(c.admit(0, "candidate:x 1 udp 5 10.0.2.2 53910 typ host")) << "another port";
  EXPECT_TRUE(c.admit(0, "candidate:x 2 udp 5 10.0.2.2 53909 typ host")) << "another component";
  EXPECT_TRUE(c.admit(1, kHost)) << "another media section";
  // Transport and address are compared without regard to case.
  EXPECT_FALSE(c.admit(0, "candidate:y 1 UDP 7 10.0.2.2 53909 typ prflx"));
  EXPECT_TRUE(c.admit(0, "candidate:v6 1 udp 5 FD00::1 9 typ host"));
  EXPECT_FALSE(c.admit(0, "candidate:v6b 1 udp 6 fd00::1 9 typ srflx raddr fd00::1 rport 9"));
  // TCP: an active and a passive candidate on one address are two paths.
  EXPECT_TRUE(c.admit(0, "candidate:t 1 tcp 5 10.0.2.2 9 typ host tcptype active"));
  EXPECT_TRUE(c.admit(0, "candidate:t 1 tcp 5 10.0.2.2 9 typ host tcptype passive"));
  EXPECT_FALSE(c.admit(0, "candidate:u 1 tcp 4 10.0.2.2 9 typ srflx raddr 10.0.2.2 rport 9 tcptype passive"));
  c.clear();
  EXPECT_TRUE(c.admit(0, kTwin));
}

TEST(RemoteCandidates, WhatCannotBeReadIsLeftToTheAgent) {
  RemoteCandidates c;
  for (int i = 0; i < 2; ++i) {
    for (const std::string& odd : {std::string(""), std::string("candidate:"), std::string("end-of-candidates"),
                                   std::string("candidate:1 1 udp 5 10.0.2.2 53909 host"),
                                   std::string("candidate:1 1 udp 5 10.0.2.2"), std::string(5000, 'x')})
      EXPECT_TRUE(c.admit(0, odd)) << odd.substr(0, 40);
  }
  EXPECT_EQ(rtc::candidateAddressKey(kTwin), "1 udp 10.0.2.2 53909 ");
}

TEST(RemoteCandidates, ADescriptionLosesOnlyItsRepeatedCandidateLines) {
  const std::string sdp =
      "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n"
      "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\n"
      "a=candidate:9d41 1 udp 2130706431 10.0.2.2 53909 typ host\r\n"
      "a=candidate:a06f 1 udp 1694498815 10.0.2.2 53909 typ srflx raddr 10.0.2.2 rport 53909\r\n"
      "a=candidate:9a7f 1 udp 16777215 10.0.0.1 50899 typ relay raddr 10.0.2.2 rport 43438\r\n"
      "a=end-of-candidates\r\n"
      "m=audio 9 UDP/TLS/RTP/SAVPF 111\r\n"
      "a=candidate:9d41 1 udp 2130706431 10.0.2.2 53909 typ host\r\n"
      "a=mid:1";
  RemoteCandidates c;
  std::string out = c.prune(sdp);
  std::string want = sdp;
  want.erase(want.find("a=candidate:a06f"), want.find("a=candidate:9a7f") - want.find("a=candidate:a06f"));
  EXPECT_EQ(out, want);
  // Candidates that trickle in later are held against the description's.
  EXPECT_FALSE(c.admit(0, kTwin));
  EXPECT_FALSE(c.admit(1, kHost));
  EXPECT_TRUE(c.admit(1, kRelay));
  // Bare newlines stay bare.
  RemoteCandidates d;
  EXPECT_EQ(d.prune("m=x\na=" + kHost + "\na=" + kTwin + "\n"), "m=x\na=" + kHost + "\n");
}

}  // namespace
