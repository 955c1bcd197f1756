// The data-channel video's rate control on a clock the test drives, and the
// command-line options that configure it.
#include "app/RtcOptions.h"
#include "rtc/RateControl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using nlohmann::json;
using rtc::RateController;

namespace {

struct Second {
  int64_t peakBuf = 0, dropsP = 0, dropsK = 0, sentBytes = 0;
  double qd = 0;
};

// A controller in its session at rate, with a second of traffic behind it.
RateController::Step second(RateController& rc, double now, const Second& s) {
  rc.peakBuf = s.peakBuf;
  rc.dropsP = s.dropsP;
  rc.dropsK = s.dropsK;
  rc.sentBytes = s.sentBytes;
  return rc.adapt(now, s.qd);
}

// Busy enough to count as using the budget at 3 Mbit/s.
constexpr int64_t kBusy = 300000;

TEST(RateControl, Decreases) {
  struct Case {
    const char* what;
    int64_t rate;
    Second s;
    int64_t want, wantFps;
  };
  std::vector<Case> cases = {
      {"queue over the delta limit", 3000000, {93751, 0, 0, kBusy, 0}, 2250000, 30},
      {"queue at the limit is calm", 3000000, {93750, 0, 0, kBusy, 0}, 3000000, 30},
      {"one drop", 3000000, {0, 1, 0, kBusy, 0}, 2250000, 30},
      {"four drops", 3000000, {0, 2, 2, kBusy, 0}, 1800000, 20},
      {"qd over 250", 3000000, {0, 0, 0, kBusy, 251}, 2250000, 30},
      {"qd over 600", 3000000, {0, 0, 0, kBusy, 601}, 1800000, 20},
      {"floor", 450000, {0, 1, 0, kBusy, 0}, 400000, 12},
      {"frame rate follows", 1300000, {0, 1, 0, kBusy, 0}, 975000, 12},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    RateController rc;
    rc.rate = c.rate;
    rc.rateFps = RateController::fpsFor(c.rate);
    auto step = second(rc, 50000, c.s);
    EXPECT_EQ(rc.rate, c.want);
    EXPECT_EQ(rc.rateFps, c.wantFps);
    if (c.want == c.rate) {
      EXPECT_FALSE(step.event);
      continue;
    }
    ASSERT_TRUE(step.event && step.apply);
    EXPECT_EQ(*step.apply, rtc::Rate(c.want, c.wantFps));
    EXPECT_EQ((*step.event)["bitrate"], c.want);
    EXPECT_EQ((*step.event)["was_bitrate"], c.rate);
    EXPECT_EQ((*step.event)["congested"], true);
    EXPECT_EQ((*step.event)["drops_p"], c.s.dropsP);
    EXPECT_EQ(rc.lastDecrease, 50000);
    EXPECT_EQ(rc.calm, 0);
  }
}

TEST(RateControl, AtTheFloorNothingChanges) {
  RateController rc;
  rc.rate = 400000;
  rc.rateFps = 12;
  auto step = second(rc, 1000, {0, 5, 0, 0, 900});
  EXPECT_FALSE(step.event);
  EXPECT_EQ(rc.rate, 400000);
  // A ceiling under the usual floor is the floor.
  RateController low;
  low.rateMax = 300000;
  low.open(0);
  EXPECT_EQ(low.rate, 300000);
  second(low, 1000, {0, 5, 0, 0, 0});
  EXPECT_EQ(low.rate, 300000);
}

TEST(RateControl, IncreasesOnlyAfterCalmAndSixSecondsSinceADecrease) {
  RateController rc;
  rc.open(0);
  ASSERT_EQ(rc.rate, 3000000);
  second(rc, 10000, {0, 1, 0, kBusy, 0});  // decrease at 10 s
  ASSERT_EQ(rc.rate, 2250000);
  std::vector<std::pair<double, int64_t>> after = {
      {11000, 2250000}, {12000, 2250000}, {13000, 2250000},  // three calm seconds: not yet
      {14000, 2250000}, {15000, 2250000}, {16000, 2250000},  // exactly 6 s is not more than 6 s
      {17000, 2520000}, {18000, 2822400},                    // then every second
  };
  for (auto [now, want] : after) {
    second(rc, now, {0, 0, 0, kBusy, 0});
    EXPECT_EQ(rc.rate, want) << now;
  }
}

TEST(RateControl, IncreaseNeedsAnIdleQueueAndAUsedBudget) {
  struct Case {
    const char* what;
    Second s;
    bool rises;
  };
  std::vector<Case> cases = {
      {"all clear", {0, 0, 0, 187501, 0}, true},
      {"half the budget exactly", {0, 0, 0, 187500, 0}, false},  // 1500000 bit is not more than half
      {"still screen", {0, 0, 0, 1000, 0}, false},
      {"queue 40000", {40000, 0, 0, kBusy, 0}, false},
      {"qd 100", {0, 0, 0, kBusy, 100}, false},
      {"qd 99", {0, 0, 0, kBusy, 99}, true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    RateController rc;
    rc.open(0);
    rc.calm = 2;
    auto step = second(rc, 100000, c.s);
    EXPECT_EQ(rc.rate, c.rises ? 3360000 : 3000000);
    EXPECT_EQ(static_cast<bool>(step.event), c.rises);
    if (c.rises) {
      EXPECT_EQ((*step.event)["congested"], false);
    }
  }
}

TEST(RateControl, CeilingAndFrameRateSteps) {
  RateController rc;
  rc.rateMax = 7000000;
  rc.open(0);
  rc.rate = 6500000;
  rc.calm = 5;
  second(rc, 100000, {0, 0, 0, 1000000, 0});
  EXPECT_EQ(rc.rate, 7000000);
  EXPECT_EQ(rc.rateFps, 60);
  second(rc, 101000, {0, 0, 0, 1000000, 0});
  EXPECT_EQ(rc.rate, 7000000);
  for (auto [bps, fps] : std::vector<std::pair<int64_t, int64_t>>{
           {6000000, 60}, {5999999, 30}, {2000000, 30}, {1999999, 20}, {1000000, 20}, {999999, 12}})
    EXPECT_EQ(RateController::fpsFor(bps), fps) << bps;
}

TEST(RateControl, LogAndLastRate) {
  RateController rc;
  rc.open(0);
  second(rc, 5000, {70000, 0, 0, 250000, 0});
  EXPECT_EQ(rc.rateLog, json({{"bitrate", 3000000}, {"fps", 30}, {"peak_buf", 70000}, {"drops_p", 0},
                              {"drops_key", 0}, {"sent_kbps", 2000}}));
  ASSERT_TRUE(rc.lastRate);
  EXPECT_EQ(rc.lastRate->first, 3000000);
  EXPECT_EQ(rc.lastRate->second, 5000);
  EXPECT_EQ(rc.peakBuf + rc.sentBytes + rc.dropsP + rc.dropsK, 0);
}

TEST(RateControl, StartRate) {
  struct Case {
    const char* what;
    int64_t start, max;
    std::optional<std::pair<int64_t, double>> last;  // bps, ms before now
    int64_t want;
  };
  std::vector<Case> cases = {
      {"defaults", 3000000, 8000000, std::nullopt, 3000000},
      {"start above ceiling", 9000000, 5000000, std::nullopt, 5000000},
      {"1.3 x a recent rate", 3000000, 8000000, std::make_pair(1000000, 120000.0), 1300000},
      {"recent rate higher than the start", 3000000, 8000000, std::make_pair(6000000, 1000.0), 3000000},
      {"old rate forgotten", 3000000, 8000000, std::make_pair(1000000, 300000.0), 3000000},
      {"recent low rate is floored", 3000000, 8000000, std::make_pair(100000, 1000.0), 400000},
      {"zero start is the default", 0, 8000000, std::nullopt, 3000000},
      {"negative ceiling is the default", 9000000, -1, std::nullopt, 8000000},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    RateController rc;
    rc.rateStart = c.start;
    rc.rateMax = c.max;
    const double now = 1e12;
    if (c.last) rc.lastRate = std::make_pair(c.last->first, now - c.last->second);
    rc.calm = 7;
    auto r = rc.open(now);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->first, c.want);
    EXPECT_EQ(r->second, RateController::fpsFor(c.want));
    EXPECT_EQ(rc.calm, 0);
  }
}

TEST(RateControl, NoAdaptNeverRaisesARate) {
  RateController rc;
  rc.adaptive = false;
  EXPECT_FALSE(rc.open(0));
  for (double now = 1000; now < 20000; now += 1000) {
    auto step = second(rc, now, {500000, 9, 9, kBusy, 5000});
    EXPECT_FALSE(step.event);
    EXPECT_FALSE(step.apply);
  }
  EXPECT_EQ(rc.rate, 3000000);
  EXPECT_FALSE(rc.lastRate);
  EXPECT_TRUE(rc.rateLog.empty());
  EXPECT_EQ(rc.peakBuf + rc.dropsP + rc.sentBytes, 0);
}

TEST(RateControl, PhoneDelayIsBoundedAndFresh) {
  const double now = 1e6;
  struct Case {
    json rep;
    double age;
    double want;
  };
  std::vector<Case> cases = {
      {{{"qd", 300}}, 100, 300},
      {{{"qd", 300}}, 4000, 0},  // stale
      {{{"qd", "300"}}, 0, 0},
      {{{"qd", -5}}, 0, 0},
      {{{"qd", 1e300}}, 0, 60000},
      {{{"qd", std::numeric_limits<double>::infinity()}}, 0, 0},
      {{{"qd", nullptr}}, 0, 0},
      {json::object(), 0, 0},
      {{{"qd", 12.7}}, 0, 12.7},
  };
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(RateController::qdOf(cases[i].rep, now - cases[i].age, now), cases[i].want) << i;
  EXPECT_EQ(RateController::qdOf({{"qd", 300}}, 0, now), 0);  // never reported
  // The event's integer holds the largest value the phone can make us use.
  RateController rc;
  rc.open(0);
  auto step = rc.adapt(1000, RateController::qdOf({{"qd", 1e300}}, 900, 1000));
  ASSERT_TRUE(step.event);
  EXPECT_EQ((*step.event)["qd"], 60000);
}

Settings with(std::vector<std::string> args) {
  Settings s;
  s.args = std::move(args);
  s.readOptions();
  return s;
}

TEST(RtcOptions, RatesAndFlags) {
  auto d = rtcVideoOptions(with({}));
  EXPECT_EQ(d.rateStart, 3000000);
  EXPECT_EQ(d.rateMax, 8000000);
  EXPECT_TRUE(d.adaptive);
  EXPECT_FALSE(d.legacySend);
  EXPECT_FALSE(d.simBlackout);
  EXPECT_EQ(rtcVideoOptions(with({"--bitrate", "5000000"})).rateMax, 5000000);
  auto o = rtcVideoOptions(with({"--rate-start", "0", "--rate-max", "-3", "--no-adapt", "--legacy-send"}));
  EXPECT_EQ(o.rateStart, 3000000);
  EXPECT_EQ(o.rateMax, 8000000);
  EXPECT_FALSE(o.adaptive);
  EXPECT_TRUE(o.legacySend);
  auto s = rtcVideoOptions(with({"--sim-kbps", "1500", "--sim-delay-ms", "-40", "--sim-loss-pct", "250",
                                 "--rate-start", "abc"}));
  EXPECT_EQ(s.simKbps, 1500);
  EXPECT_EQ(s.simDelayMs, 0);
  EXPECT_EQ(s.simLossPct, 100);
  EXPECT_EQ(s.rateStart, 3000000);
}

TEST(RtcOptions, Blackout) {
  EXPECT_EQ(parseBlackout("5:9.5"), std::make_pair(5.0, 9.5));
  for (const char* bad : {"5", "5:", ":9", "5:9:1", "a:9", "", "5:inf", "nan:1"}) EXPECT_FALSE(parseBlackout(bad)) << bad;
}

}  // namespace
