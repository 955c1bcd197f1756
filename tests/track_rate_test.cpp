// ctest-labels: unit
#include "app/Log.h"
#include "rtc/TrackRate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <string>
#include <vector>

using rtc::TrackFeedback;
using rtc::TrackRate;
using rtc::TrackRateConfig;
using rtc::TrackTarget;

namespace {

TrackRateConfig bounds(int64_t min, int64_t start, int64_t max, int64_t fps = 60) {
  TrackRateConfig c;
  c.minBps = min;
  c.startBps = start;
  c.maxBps = max;
  c.maxFps = fps;
  return c;
}

// Feedback of a healthy link that delivered what was sent.
TrackFeedback clean(double at, double recv) {
  TrackFeedback f;
  f.atMs = at;
  f.twccRecvBps = recv;
  f.twccLoss = 0;
  f.twccDelayMs = 0;
  return f;
}

TrackFeedback lossy(double at, double recv, double loss) {
  TrackFeedback f = clean(at, recv);
  f.twccLoss = loss;
  return f;
}

// Clean feedback every 100 ms from `from` to `to`, received = what is sent.
void runClean(TrackRate& r, double from, double to) {
  for (double t = from; t <= to; t += 100) r.feed(clean(t, double(r.target().bps)));
}

struct LogLines {
  std::mutex m;
  std::vector<std::string> lines;
  LogLines() {
    setLogTap([this](const std::string& l) {
      std::lock_guard<std::mutex> g(m);
      lines.push_back(l);
    });
  }
  ~LogLines() { setLogTap(nullptr); }
  size_t count(const std::string& part) {
    std::lock_guard<std::mutex> g(m);
    size_t n = 0;
    for (auto& l : lines) n += l.find(part) != std::string::npos;
    return n;
  }
};

}  // namespace

TEST(TrackRate, StartsAtTheStartRateInsideTheBoundsAndClampsBadOnes) {
  struct Case {
    const char* name;
    TrackRateConfig cfg;
    int64_t min, start, max, fps;
    bool logged;
  } cases[] = {
      {"defaults", TrackRateConfig{}, 300000, 3000000, 8000000, 60, false},
      {"start above max", bounds(300000, 9000000, 5000000), 300000, 5000000, 5000000, 60, false},
      {"start below min", bounds(4000000, 1000000, 8000000), 4000000, 4000000, 8000000, 60, false},
      {"zeros", bounds(0, 0, 0, 0), 300000, 3000000, 8000000, 60, true},
      {"negatives", bounds(-1, -5, -1000, -2), 300000, 3000000, 8000000, 60, true},
      {"min above max", bounds(6000000, 3000000, 2000000, 30), 2000000, 2000000, 2000000, 30, true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogLines log;
    TrackRate r(c.cfg);
    EXPECT_EQ(r.config().minBps, c.min);
    EXPECT_EQ(r.config().maxBps, c.max);
    EXPECT_EQ(r.config().maxFps, c.fps);
    TrackTarget t = r.reset();
    EXPECT_EQ(t.bps, c.start);
    EXPECT_EQ(t.fps, c.fps);
    EXPECT_EQ(t.scale, 1.0);
    EXPECT_EQ(r.target(), t);
    EXPECT_EQ(log.count("[rtc] "), c.logged ? 1u : 0u);
  }
}

TEST(TrackRate, LossOrGrowingDelayBacksOffFromWhatArrivedButNotBelowTheMinimum) {
  struct Case {
    const char* name;
    TrackFeedback fb;
    int64_t min;
    int64_t want;
  };
  TrackFeedback rr;
  rr.atMs = 1000;
  rr.rrLoss = 0.25;
  TrackFeedback delay = clean(1000, 2000000);
  delay.twccDelayMs = 120;
  TrackFeedback quiet = lossy(1000, 200000, 0.3);
  quiet.twccSentBps = 200000;
  TrackFeedback busy = lossy(1000, 1000000, 0.3);
  busy.twccSentBps = 3000000;
  Case cases[] = {
      {"twcc loss", lossy(1000, 2000000, 0.2), 300000, 1700000},
      {"rr loss, nothing received known", rr, 300000, 2550000},
      {"delay growth", delay, 300000, 1700000},
      {"floor", lossy(1000, 2000000, 0.5), 2000000, 2000000},
      // A quiet screen sends little: one step at most halves the rate.
      {"quiet sender", quiet, 300000, 1500000},
      // A sender that used its rate trusts what arrived.
      {"busy sender", busy, 300000, 850000},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    TrackRate r(bounds(c.min, 3000000, 8000000));
    r.reset();
    auto t = r.feed(c.fb);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->bps, c.want);
  }
  // Moderate loss holds the rate where it is.
  TrackRate r(bounds(300000, 3000000, 8000000));
  r.reset();
  EXPECT_FALSE(r.feed(lossy(1000, 3000000, 0.05)));
  EXPECT_EQ(r.target().bps, 3000000);
}

TEST(TrackRate, AStandingQueueBacksOffThoughNoIntervalLooksBad) {
  // A little more delay every interval, never enough alone: the queue fills.
  TrackRate r(bounds(300000, 3000000, 8000000));
  r.reset();
  double t = 0;
  for (; t < 5000 && r.target().bps == 3000000; t += 100) {
    TrackFeedback f = clean(t, 3000000);
    f.twccDelayMs = 12;
    r.feed(f);
  }
  EXPECT_EQ(r.target().bps, 2550000);
  EXPECT_GT(t, 500);  // once some 80 ms have built up, not at the first growth
  // Once it backed off the queue drains: clean reports take nothing more off.
  for (double u = t; u < t + 2500; u += 100) r.feed(clean(u, 2550000));
  EXPECT_EQ(r.target().bps, 2550000);
  // Noise that comes and goes builds nothing up.
  TrackRate n(bounds(300000, 3000000, 3000000));
  n.reset();
  for (int i = 0; i < 3000; ++i) {
    TrackFeedback f = clean(i * 100.0, 3000000);
    f.twccDelayMs = (i % 2 ? 6 : -6);
    n.feed(f);
  }
  EXPECT_EQ(n.target().bps, 3000000);
}

TEST(TrackRate, BacksOffOncePerRoundTripAndHoldsBeforeProbingUpAgain) {
  TrackRate r(bounds(300000, 3000000, 8000000));
  r.reset();
  ASSERT_TRUE(r.feed(lossy(1000, 3000000, 0.3)));
  EXPECT_EQ(r.target().bps, 2550000);
  // The next report still shows the loss from before the decrease.
  EXPECT_FALSE(r.feed(lossy(1100, 3000000, 0.3)));
  EXPECT_EQ(r.target().bps, 2550000);
  // A long round trip stretches the wait.
  TrackFeedback slow = lossy(1400, 3000000, 0.3);
  slow.rttMs = 800;
  EXPECT_FALSE(r.feed(slow));
  slow.atMs = 1800;
  EXPECT_TRUE(r.feed(slow));
  const int64_t low = r.target().bps;
  EXPECT_EQ(low, 2167500);

  // Clean reports within 3 s of the decrease leave the rate alone.
  runClean(r, 1900, 4700);
  EXPECT_EQ(r.target().bps, low);
  // After that it climbs by about 8 % a second.
  runClean(r, 4800, 5700);
  EXPECT_GT(r.target().bps, low);
  EXPECT_NEAR(double(r.target().bps), low * 1.08, low * 0.01);
}

TEST(TrackRate, ClimbsToTheCeilingAndNoFurtherAndNotFarAboveWhatArrives) {
  TrackRate r(bounds(300000, 6000000, 8000000));
  r.reset();
  runClean(r, 0, 20000);
  EXPECT_EQ(r.target().bps, 8000000);
  runClean(r, 20100, 30000);
  EXPECT_EQ(r.target().bps, 8000000);

  // An idle screen that sends 1 Mbit/s does not lift the target past 1.5 Mbit/s.
  TrackRate idle(bounds(300000, 1000000, 8000000));
  idle.reset();
  for (double t = 0; t <= 20000; t += 100) idle.feed(clean(t, 1000000));
  EXPECT_EQ(idle.target().bps, 1500000);
  // Time running backwards or a late first report do not jump the rate.
  TrackRate odd(bounds(300000, 2000000, 8000000));
  odd.reset();
  odd.feed(clean(50000, 2000000));
  odd.feed(clean(10000, 2000000));
  odd.feed(clean(900000, 2000000));
  EXPECT_LE(odd.target().bps, int64_t(2000000 * std::pow(1.08, 5) + 1));
  // Sparse receiver reports still climb at the same pace.
  TrackRate rr(bounds(300000, 2000000, 8000000));
  rr.reset();
  for (double t = 0; t <= 10000; t += 2500) {
    TrackFeedback f;
    f.atMs = t;
    f.rrLoss = 0;
    rr.feed(f);
  }
  EXPECT_NEAR(double(rr.target().bps), 2000000 * std::pow(1.08, 10), 1000);
}

TEST(TrackRate, DegradationPreferenceDecidesWhatALowRateGivesUp) {
  struct Case {
    const char* degradation;
    bool screencast;
    int64_t bps, maxFps;
    int64_t fps;
    double scale;
  } cases[] = {
      // Plenty: everything at full.
      {"balanced", true, 3000000, 60, 60, 1.0},
      {"maintain-framerate", true, 3000000, 60, 60, 1.0},
      {"maintain-resolution", true, 3000000, 60, 60, 1.0},
      {"balanced", true, 3000000, 24, 24, 1.0},
      // Half of what a full picture needs.
      {"maintain-framerate", true, 750000, 60, 60, 0.5},
      {"maintain-resolution", true, 750000, 60, 30, 1.0},
      {"balanced", true, 750000, 60, 30, 1.0},
      {"balanced", false, 750000, 60, 42, 0.75},
      // A fifth.
      {"maintain-framerate", true, 300000, 60, 60, 0.375},
      {"maintain-resolution", true, 300000, 60, 12, 1.0},
      {"balanced", true, 300000, 60, 15, 0.75},
      {"balanced", false, 300000, 60, 27, 0.5},
      // Far too little: the floors.
      {"maintain-resolution", true, 30000, 60, 5, 1.0},
      {"maintain-framerate", true, 30000, 60, 60, 0.25},
      {"maintain-resolution", true, 30000, 3, 3, 1.0},
      // An unknown preference is "balanced".
      {"sideways", true, 750000, 60, 30, 1.0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(std::string(c.degradation) + (c.screencast ? " screencast " : " motion ") +
                 std::to_string(c.bps));
    TrackRateConfig cfg = bounds(c.bps, c.bps, c.bps, c.maxFps);
    cfg.degradation = c.degradation;
    cfg.screencast = c.screencast;
    TrackRate r(cfg);
    TrackTarget t = r.reset();
    EXPECT_EQ(t.bps, c.bps);
    EXPECT_EQ(t.fps, c.fps);
    EXPECT_EQ(t.scale, c.scale);
  }
}

TEST(TrackRate, SizeStepsAreFewAndOnlyGrowWhileTheRateGrows) {
  // Every size change restarts the encoder with a key frame.
  TrackRateConfig cfg = bounds(300000, 400000, 8000000);
  cfg.degradation = "maintain-framerate";
  TrackRate r(cfg);
  double prev = r.reset().scale;
  int changes = 0;
  for (double t = 0; t <= 30000; t += 100) {
    auto next = r.feed(clean(t, double(r.target().bps)));
    if (!next) continue;
    EXPECT_GE(next->scale, prev);
    EXPECT_EQ(next->fps, 60);
    if (next->scale != prev) ++changes;
    prev = next->scale;
  }
  EXPECT_EQ(prev, 1.0);
  EXPECT_LE(changes, 4);
  // A rate wobbling just above a step's boundary does not flip the size back.
  TrackRateConfig wob = bounds(300000, 700000, 8000000);
  wob.degradation = "maintain-framerate";
  TrackRate w(wob);
  EXPECT_EQ(w.reset().scale, 0.5);
  // 0.75 needs 0.75² × 1.5 Mbit/s with a margin: about 0.97 Mbit/s.
  w.feed(clean(0, 700000));
  double t = 100;
  while (w.target().bps < 900000) {
    w.feed(clean(t, double(w.target().bps)));
    t += 100;
  }
  EXPECT_EQ(w.target().scale, 0.5);
}
