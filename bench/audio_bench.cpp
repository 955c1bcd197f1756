// System sound: delay from writing a tone into the sink (pacat, 10 ms
// latency) to the first packet carrying it at the connection; underruns a
// 60 ms jitter buffer would have on the packets' arrival times; CPU of the
// capturing process while it streams. A private PulseAudio daemon with a
// null sink plays the desktop.
// Usage: audio_bench [seconds of streaming, default 30] [tone bursts, default 30]
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "extras/SystemAudio.h"
#include "support/PulseDaemon.h"
#include "support/PatternFrames.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

struct Arrivals {
  std::mutex m;
  std::vector<std::pair<Clock::time_point, int>> packets;  // arrival, peak
};

// CPU seconds of this process's threads, by thread name.
std::map<std::string, double> threadCpu() {
  std::map<std::string, double> out;
  long tick = sysconf(_SC_CLK_TCK);
  for (auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream f(e.path() / "stat");
    std::string line;
    std::getline(f, line);
    auto open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::string name = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    double ut = 0, st = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) ut = std::stod(field);
      if (i == 15) st = std::stod(field);
    }
    out[name] += (ut + st) / double(tick);
  }
  return out;
}

// Wake-ups (voluntary context switches) of this process's threads, by name.
std::map<std::string, long> threadWakes() {
  std::map<std::string, long> out;
  for (auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream f(e.path() / "status");
    std::string line, name;
    long n = 0;
    while (std::getline(f, line)) {
      if (line.rfind("Name:", 0) == 0) name = line.substr(line.find_first_not_of(" \t", 5));
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) n = std::stol(line.substr(24));
    }
    out[name] += n;
  }
  return out;
}

double pct(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
  int bursts = argc > 2 ? std::atoi(argv[2]) : 30;
  signal(SIGPIPE, SIG_IGN);
  ts::PulseDaemon pa;
  if (!pa.ok()) {
    std::fprintf(stderr, "pulseaudio did not start\n");
    return 1;
  }
  // pacat plays what this process writes, in real time.
  int fds[2];
  if (pipe(fds) != 0) return 1;
  pid_t player = fork();
  if (player == 0) {
    dup2(fds[0], 0);
    close(fds[1]);
    setenv("PULSE_SERVER", pa.server().c_str(), 1);
    execlp("pacat", "pacat", "--playback", "--raw", "--format=float32le", "--rate=24000", "--channels=1",
           "--latency-msec=10", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  int out = fds[1];
  fcntl(out, F_SETPIPE_SZ, 4096);  // no hidden backlog between writing and playing

  Arrivals arr;
  auto req = std::make_shared<Requester>();
  req->key = 1;
  req->alive = [] { return true; };
  req->sendAudio = [&](std::vector<uint8_t> p) {
    int peak = 0;
    for (size_t i = 0; i + 1 < p.size(); i += 2) peak = std::max(peak, std::abs(int(int16_t(p[i] | p[i + 1] << 8))));
    std::lock_guard<std::mutex> l(arr.m);
    arr.packets.emplace_back(Clock::now(), peak);
  };
  auto audio = SystemAudio::create(false);
  audio->want(req, true);
  // Wait until sound flows (the first read of an idle sink takes a while).
  for (int i = 0; i < 1000; ++i) {
    {
      std::lock_guard<std::mutex> l(arr.m);
      if (arr.packets.size() > 10) break;
    }
    std::this_thread::sleep_for(10ms);
  }

  // Feed 10 ms blocks on the clock: silence, with a 100 ms tone burst every
  // `gap`; remember when each burst was written.
  const int block = 240;
  std::vector<float> silence(block, 0.0f), tone(block);
  std::vector<Clock::time_point> written;
  std::vector<double> backlogMs;
  double cpu0 = ts::processCpuSeconds();
  auto threads0 = threadCpu();
  auto wakes0 = threadWakes();
  auto t0 = Clock::now();
  auto total = std::chrono::seconds(seconds);
  auto gap = std::max<Clock::duration>(total / std::max(1, bursts), 500ms);
  auto nextBurst = t0 + 500ms;
  int toneLeft = 0;
  size_t phase = 0;
  for (auto at = t0; at - t0 < total; at += 10ms) {
    std::this_thread::sleep_until(at);
    const float* data = silence.data();
    if (toneLeft == 0 && at >= nextBurst) {
      toneLeft = 10;
      nextBurst += gap;
      written.push_back(Clock::now());
      // What still waits in the pipe reaches the player before the burst.
      int queued = 0;
      ioctl(out, FIONREAD, &queued);
      backlogMs.push_back(double(queued) / sizeof(float) * 1000.0 / 24000.0);
    }
    if (toneLeft > 0) {
      for (int i = 0; i < block; ++i, ++phase) tone[i] = float(0.5 * std::sin(2 * M_PI * 1000.0 * double(phase) / 24000.0));
      data = tone.data();
      --toneLeft;
    }
    if (write(out, data, block * sizeof(float)) < 0) break;
  }
  double cpu = ts::processCpuSeconds() - cpu0;
  auto threads1 = threadCpu();
  auto wakes1 = threadWakes();
  double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  close(out);
  audio->shutdown();
  kill(player, SIGTERM);
  waitpid(player, nullptr, 0);

  std::vector<std::pair<Clock::time_point, int>> got;
  {
    std::lock_guard<std::mutex> l(arr.m);
    got = arr.packets;
  }
  std::vector<double> delays, fromPlayer;
  for (size_t i = 0; i < written.size(); ++i) {
    for (auto& [t, peak] : got)
      if (t >= written[i] && peak > 2000) {
        delays.push_back(std::chrono::duration<double, std::milli>(t - written[i]).count());
        fromPlayer.push_back(delays.back() - backlogMs[i]);
        break;
      }
  }
  // A player that starts with 60 ms buffered and plays 20 ms per packet.
  int underruns = 0;
  double bufferedMs = 0;
  Clock::time_point last{};
  bool started = false;
  for (auto& [t, peak] : got) {
    if (t < t0) continue;
    if (started) {
      bufferedMs -= std::chrono::duration<double, std::milli>(t - last).count();
      if (bufferedMs < 0) {
        ++underruns;
        bufferedMs = 0;
        started = false;
      }
    }
    bufferedMs = std::min(bufferedMs + 20.0, 200.0);
    if (!started && bufferedMs >= 60) started = true;
    last = t;
  }
  std::printf("audio delay write->packet: n=%zu/%zu p50=%.1f ms p90=%.1f ms max=%.1f ms (goal p50 <= 40 ms)\n",
              delays.size(), written.size(), pct(delays, 0.5), pct(delays, 0.9), pct(delays, 1.0));
  std::printf("  less what waited in the pipe ahead of the player: p50=%.1f ms p90=%.1f ms (pipe p50 %.1f ms)\n",
              pct(fromPlayer, 0.5), pct(fromPlayer, 0.9), pct(backlogMs, 0.5));
  std::printf("underruns of a 60 ms buffer: %d in %.0f s = %.1f per minute (goal 0)\n", underruns, wall,
              underruns * 60.0 / wall);
  // Capture is the reader thread, with any thread a PulseAudio client may
  // start; the rest of this process is the benchmark feeding the player.
  double capture = 0;
  for (auto& [name, secs] : threads1)
    if (name != "audio_bench") capture += secs - threads0[name];
  std::printf("capture threads CPU while streaming: %.2f %% of a core (goal < 2 %%); whole process %.2f %%\n",
              100.0 * capture / wall, 100.0 * cpu / wall);
  for (auto& [name, secs] : threads1)
    std::printf("  thread %-16s %.2f %%, %.0f wake-ups/s\n", name.c_str(), 100.0 * (secs - threads0[name]) / wall,
                double(wakes1[name] - wakes0[name]) / wall);
  return 0;
}
