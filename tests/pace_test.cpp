// The viewers' frame-rate cap and the gate that enforces it, on a made-up clock.
#include "media/FrameGate.h"
#include "session/ViewerPace.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {
const int kPhone = 0, kTablet = 0;
const void* phone = &kPhone;
const void* tablet = &kTablet;

// Reports `qd` from `viewer` every 250 ms over [from, to); returns every cap change.
std::vector<int64_t> feed(ViewerPace& p, const void* viewer, double qd, double from, double to) {
  std::vector<int64_t> caps;
  for (double t = from; t < to; t += 250)
    if (auto c = p.report(viewer, qd, t)) caps.push_back(*c);
  return caps;
}

// Frames offered at `hz` for `seconds` with an optional alternating jitter; how many pass.
int passed(FrameGate& g, double hz, double seconds, double jitter = 0, double start = 100) {
  int n = 0, i = 0;
  for (double t = 0; t < seconds; t += 1 / hz, ++i)
    if (g.admit(start + t + (i % 2 ? jitter : -jitter))) ++n;
  return n;
}
}  // namespace

TEST(ViewerPace, ALastingDelayLowersTheRateStepByStepDownToTheFloor) {
  ViewerPace p(60);
  // Too few reports to call it lasting.
  EXPECT_FALSE(p.report(phone, 500, 0).has_value());
  EXPECT_FALSE(p.report(phone, 500, 250).has_value());
  EXPECT_EQ(p.report(phone, 500, 500), std::optional<int64_t>(42));
  // The lower rate gets time to show its effect before the next step.
  EXPECT_FALSE(p.report(phone, 500, 750).has_value());
  EXPECT_FALSE(p.report(phone, 500, 1000).has_value());
  EXPECT_EQ(p.report(phone, 500, 1250), std::optional<int64_t>(29));
  auto caps = feed(p, phone, 500, 1500, 20000);
  EXPECT_EQ(caps, (std::vector<int64_t>{20, 14, 10}));
  EXPECT_EQ(p.cap(), ViewerPace::kMinFps);
}

TEST(ViewerPace, ShortStallsAndModerateDelaysLeaveTheRateAlone) {
  ViewerPace p(60);
  // One bad report in every three: the viewer catches up in between.
  for (double t = 0; t < 20000; t += 250) EXPECT_FALSE(p.report(phone, int(t / 250) % 3 ? 20 : 900, t).has_value()) << t;
  // Behind, but not by the threshold.
  EXPECT_TRUE(feed(p, phone, ViewerPace::kBehindMs, 20000, 30000).empty());
  EXPECT_EQ(p.cap(), 0);
}

TEST(ViewerPace, ClimbsBackOnlyAfterALongCalmAndLiftsTheCapAtTheFullRate) {
  ViewerPace p(60);
  EXPECT_EQ(feed(p, phone, 400, 0, 1000), (std::vector<int64_t>{42}));
  // Calm at once, but the last decrease is too recent for a step up.
  EXPECT_TRUE(feed(p, phone, 10, 1000, 5500).empty());
  auto caps = feed(p, phone, 10, 5500, 30000);
  ASSERT_FALSE(caps.empty());
  EXPECT_EQ(caps.front(), 52);
  EXPECT_EQ(caps.back(), 0);  // 63 would pass the configured 60: no cap at all
  // Between calm and behind, it neither climbs nor drops.
  EXPECT_EQ(feed(p, phone, 400, 30000, 31000), (std::vector<int64_t>{42}));
  EXPECT_TRUE(feed(p, phone, 70, 31000, 60000).empty());
  EXPECT_EQ(p.cap(), 42);
}

TEST(ViewerPace, TheSlowestViewerSetsThePaceAndAVanishedOneIsForgotten) {
  ViewerPace p(60);
  double t = 0;
  std::vector<int64_t> caps;
  for (; t < 2000; t += 250) {
    p.report(tablet, 10, t);
    if (auto c = p.report(phone, 300, t)) caps.push_back(*c);
  }
  EXPECT_EQ(caps, (std::vector<int64_t>{42, 29}));
  // The calm tablet alone never lowers the rate, and while the phone still
  // counts it cannot climb either.
  for (; t < 4000; t += 250) EXPECT_FALSE(p.report(tablet, 10, t).has_value());
  // The phone is gone: once its last report is stale, the tablet's calm counts.
  caps.clear();
  for (; t < 20000; t += 250)
    if (auto c = p.report(tablet, 10, t)) caps.push_back(*c);
  ASSERT_FALSE(caps.empty());
  EXPECT_EQ(caps.front(), 36);
}

TEST(ViewerPace, TheCapEndsWhenReportsStopAndOnReset) {
  ViewerPace p(60);
  EXPECT_FALSE(p.expire(0).has_value());  // nothing to end
  feed(p, phone, 400, 0, 1000);
  ASSERT_EQ(p.cap(), 42);
  EXPECT_FALSE(p.expire(750 + ViewerPace::kStaleMs).has_value());
  EXPECT_EQ(p.expire(751 + ViewerPace::kStaleMs), std::optional<int64_t>(0));
  EXPECT_EQ(p.cap(), 0);
  EXPECT_FALSE(p.expire(10000).has_value());
  // After a reset a new viewer starts from scratch (no hold from earlier steps).
  feed(p, phone, 400, 20000, 21000);
  ASSERT_EQ(p.cap(), 42);
  p.reset();
  EXPECT_EQ(p.cap(), 0);
  EXPECT_EQ(feed(p, phone, 400, 21000, 21750), (std::vector<int64_t>{42}));
}

TEST(ViewerPace, UnusableNumbersAreIgnored) {
  ViewerPace p(60);
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  for (double t = 0; t < 3000; t += 250) {
    EXPECT_FALSE(p.report(phone, nan, t).has_value());
    EXPECT_FALSE(p.report(phone, inf, t).has_value());
    EXPECT_FALSE(p.report(phone, -inf, t).has_value());
    EXPECT_FALSE(p.report(phone, 500, nan).has_value());
    EXPECT_FALSE(p.report(tablet, -1e308, t).has_value());  // counts as no delay
  }
  EXPECT_EQ(p.cap(), 0);
  // A configured rate at the floor is never capped.
  ViewerPace slow(ViewerPace::kMinFps);
  EXPECT_TRUE(feed(slow, phone, 5000, 0, 5000).empty());
}

TEST(FrameGate, KeepsTheAverageRateBetweenTheSourcesOwnSteps) {
  for (double cap : {45.0, 30.0, 20.0, 12.0, 7.5}) {
    FrameGate g;
    g.setRate(cap);
    int n = passed(g, 60, 60);
    EXPECT_NEAR(n, cap * 60, cap * 60 * 0.02 + 2) << cap;
  }
  // A jittery source does not get more through.
  FrameGate g;
  g.setRate(30);
  EXPECT_LE(passed(g, 60, 60, 0.004), 30 * 60 + 2);
  EXPECT_GE(passed(g, 60, 60, 0.004, 1000), 30 * 60 * 0.95);
}

TEST(FrameGate, OpenWithoutARateAndNoBurstAfterAPause) {
  FrameGate g;
  EXPECT_EQ(passed(g, 60, 10), 600);
  g.setRate(std::nan(""));
  EXPECT_EQ(g.rate(), 0);
  EXPECT_EQ(passed(g, 60, 10), 600);
  g.setRate(-5);
  EXPECT_EQ(passed(g, 60, 10), 600);
  g.setRate(10);
  EXPECT_TRUE(g.admit(0));
  // A long pause earns no more than the next frame on arrival.
  int burst = 0;
  for (double t = 100; t < 100.05; t += 1.0 / 60) burst += g.admit(t);
  EXPECT_EQ(burst, 1);
  // Changing the rate starts afresh: the first frame passes at once.
  g.setRate(1);
  EXPECT_TRUE(g.admit(100.06));
  EXPECT_FALSE(g.admit(100.5));
}
