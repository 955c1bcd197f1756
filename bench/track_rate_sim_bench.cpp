// The track rate controller against a simulated bottleneck (a FIFO with a
// 150 ms buffer, fed what the controller asks for, in 100 ms feedback
// intervals as transport-wide feedback comes): capacity 8, then 2, then
// 8 Mbit/s, 20 s each. A model, not the network: it shows how the rules
// settle and recover. The trace on the real link comes from the shaped
// browser benchmark. Usage: track_rate_sim_bench [--trace]
#include "rtc/TrackRate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  const bool trace = argc > 1 && std::strcmp(argv[1], "--trace") == 0;
  rtc::TrackRateConfig cfg;  // 300 kbit/s .. 8 Mbit/s from 3, balanced screencast
  rtc::TrackRate rate(cfg);
  rate.reset();
  const double step = 100;  // ms
  double queueBits = 0;
  double lastDelay = 0;
  struct Phase {
    double capacity;
    double sumBps = 0, sumLoss = 0, maxDelay = 0;
    int n = 0;
    double settledAt = -1;  // first time the target stayed within 20 % below capacity
  };
  std::vector<Phase> phases{{8e6}, {2e6}, {8e6}};
  std::printf("t_s capacity_bps target_bps fps scale delay_ms loss\n");
  for (size_t p = 0; p < phases.size(); ++p) {
    Phase& ph = phases[p];
    for (double t = 0; t < 20000; t += step) {
      const double now = p * 20000 + t;
      const double sent = double(rate.target().bps) * step / 1000;
      const double cap = ph.capacity * step / 1000;
      const double buffer = ph.capacity * 0.150;
      queueBits += sent;
      double out = std::min(queueBits, cap);
      queueBits -= out;
      double lost = std::max(0.0, queueBits - buffer);
      queueBits -= lost;
      const double delay = queueBits / ph.capacity * 1000;
      rtc::TrackFeedback fb;
      fb.atMs = now;
      fb.twccRecvBps = out * 1000 / step;
      fb.twccSentBps = sent * 1000 / step;
      fb.twccLoss = sent > 0 ? lost / sent : 0;
      fb.twccDelayMs = delay - lastDelay;
      fb.rttMs = 40 + delay;
      lastDelay = delay;
      rate.feed(fb);
      const auto& tg = rate.target();
      if (t >= 10000) {
        ph.sumBps += double(tg.bps);
        ph.sumLoss += *fb.twccLoss;
        ph.maxDelay = std::max(ph.maxDelay, delay);
        ++ph.n;
      }
      bool near = tg.bps <= ph.capacity && tg.bps >= 0.8 * ph.capacity;
      if (near && ph.settledAt < 0) ph.settledAt = t / 1000;
      if (trace && int(t) % 500 == 0)
        std::printf("%.1f %.0f %lld %lld %.3f %.0f %.3f\n", now / 1000, ph.capacity, (long long)tg.bps,
                    (long long)tg.fps, tg.scale, delay, *fb.twccLoss);
    }
  }
  std::printf("\nphase capacity  first_within_80..100%%_s  mean_target_last_10s  mean_loss  max_delay_ms\n");
  for (size_t p = 0; p < phases.size(); ++p) {
    const Phase& ph = phases[p];
    std::printf("%zu %9.0f %10.1f %22.0f %12.4f %10.0f\n", p + 1, ph.capacity, ph.settledAt, ph.sumBps / ph.n,
                ph.sumLoss / ph.n, ph.maxDelay);
  }
  return 0;
}
