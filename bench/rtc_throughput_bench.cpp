// Data-channel throughput of our WebRTC layer: two GstPeers in this process
// (offerer as the host, answerer as a phone) over loopback in a private
// network namespace, the offerer sending as fast as the channel's buffered
// amount allows. Prints MB/s (10^6 bytes) and the process's CPU seconds per
// MB, which covers both ends.
//   rtc_throughput_bench [--seconds 3] [--runs 3]
#include "support/Netns.h"
#include "support/PeerPair.h"
#include "support/PatternFrames.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The sender waits above this much unsent data and goes on below it, as the
// transport's video and file senders do, so nothing queues without bound.
constexpr uint64_t kHighWater = 1 << 20;

struct Case {
  const char* name;
  const char* label;
  size_t size;
  bool binary;
  bool reliable;
};

struct Result {
  double mbps = 0, cpuPerMB = 0;
  uint64_t sent = 0, received = 0;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

Result run(ts::PeerPair& pair, const Case& c, double seconds) {
  auto tx = pair.a.channel(c.label);
  auto rxLog = pair.b.chanLog(c.label);
  std::atomic<uint64_t> rxBytes{0}, rxCount{0};
  std::atomic<int64_t> lastRx{0};
  {
    std::lock_guard<std::mutex> l(rxLog->m);
    rxLog->messages.clear();
    ts::ChannelLog* raw = rxLog.get();
    rxLog->onMessage = [&, raw](const std::string& d, bool) {
      rxBytes += d.size();
      ++rxCount;
      lastRx = Clock::now().time_since_epoch().count();
      // The log keeps every message; a benchmark would grow without bound.
      std::lock_guard<std::mutex> l2(raw->m);
      raw->messages.clear();
    };
  }
  const std::string msg(c.size, c.binary ? '\x5a' : 'x');
  uint64_t sent = 0, refused = 0;
  double cpu0 = ts::processCpuSeconds();
  auto t0 = Clock::now();
  auto end = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < end) {
    if (tx->bufferedAmount() > kHighWater) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      continue;
    }
    if (tx->send(msg, c.binary)) {
      ++sent;
    } else if (++refused > 1000) {
      break;
    }
  }
  // Reliable channels deliver everything; a partly reliable one may lose
  // some, so it is done once nothing has come for a while.
  auto drainEnd = Clock::now() + std::chrono::seconds(30);
  uint64_t seen = 0;
  auto quietSince = Clock::now();
  while (rxCount < sent && Clock::now() < drainEnd) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (rxCount != seen) {
      seen = rxCount;
      quietSince = Clock::now();
    } else if (!c.reliable && tx->bufferedAmount() == 0 && Clock::now() - quietSince > std::chrono::milliseconds(500)) {
      break;
    }
  }
  double cpu = ts::processCpuSeconds() - cpu0;
  {
    std::lock_guard<std::mutex> l(rxLog->m);
    rxLog->onMessage = nullptr;
  }
  Result r;
  r.sent = sent;
  r.received = rxCount;
  double elapsed = std::chrono::duration<double>(Clock::duration(lastRx.load()) - t0.time_since_epoch()).count();
  double mb = rxBytes / 1e6;
  r.mbps = elapsed > 0 ? mb / elapsed : 0;
  r.cpuPerMB = mb > 0 ? cpu / mb : 0;
  if (refused) std::printf("   (%llu sends refused)\n", static_cast<unsigned long long>(refused));
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  ts::enterPrivateNetwork(argc, argv);
  double seconds = 3;
  int runs = 3;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[++i]);
    else if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[++i]);
  }
  ts::PeerPair pair;
  if (!pair.connect()) {
    std::fprintf(stderr, "the two peers did not connect\n");
    return 1;
  }
  const Case cases[] = {
      {"15008-byte binary, \"video\" (ordered, no retransmits)", "video", 15008, true, false},
      {"15008-byte binary, \"file\" (ordered, reliable)", "file", 15008, true, true},
      {"1 KiB text, \"ctl\" (ordered, reliable)", "ctl", 1024, false, true},
  };
  for (const Case& c : cases) {
    std::printf("%s, %.1f s x %d\n", c.name, seconds, runs);
    std::vector<double> mbps, cpu;
    for (int i = 0; i < runs; ++i) {
      Result r = run(pair, c, seconds);
      std::printf("  run %d: %.1f MB/s, %.4f CPU s/MB, %llu sent, %llu received\n", i + 1, r.mbps, r.cpuPerMB,
                  static_cast<unsigned long long>(r.sent), static_cast<unsigned long long>(r.received));
      mbps.push_back(r.mbps);
      cpu.push_back(r.cpuPerMB);
    }
    std::printf("  median: %.1f MB/s, %.4f CPU s/MB\n", median(mbps), median(cpu));
  }
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3) std::printf("load average: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  return 0;
}
