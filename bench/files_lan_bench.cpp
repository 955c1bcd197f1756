// File transfer over the LAN WebSocket on loopback: a gigabyte up and down
// (MB/s each way), and the video's delay (capture to arrival) on the same
// connection while a download runs, against the same connection idle.
//   build/bench/files_lan_bench [bytes]
#include "app/Crypto.h"
#include "support/LanPhone.h"
#include "support/TestSupport.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

using nlohmann::json;
using namespace std::chrono;

namespace {
double nowMs() { return duration<double, std::milli>(system_clock::now().time_since_epoch()).count(); }

double captureMs(const std::string& packet) {
  if (packet.size() < 10 || packet[0] != 1) return 0;
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | static_cast<uint8_t>(packet[2 + i]);
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

// The host's user+system CPU seconds so far: the cost that does not depend
// on how busy the machine is.
double cpuSeconds(int pid) {
  std::string stat = ts::readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t at = stat.rfind(')');
  std::vector<std::string> f;
  size_t from = at + 2;
  while (from < stat.size()) {
    size_t sp = stat.find(' ', from);
    f.push_back(stat.substr(from, sp - from));
    if (sp == std::string::npos) break;
    from = sp + 1;
  }
  if (f.size() < 13) return 0;
  return (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double pct(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

// Reads frames for the given time, collecting video delays and counting fdat bytes.
void readFor(ts::RawClient& c, milliseconds span, std::vector<double>& delays, int64_t* fdat = nullptr,
             bool* finished = nullptr) {
  auto end = steady_clock::now() + span;
  while (steady_clock::now() < end) {
    auto f = c.readFrame(milliseconds(200));
    if (!f) continue;
    if (f->opcode == 2) {
      double cap = captureMs(f->payload);
      if (cap > 0) delays.push_back(nowMs() - cap);
    } else if (fdat && f->payload.compare(0, 6, "{\"d\":\"") == 0) {
      // Counted without parsing, so the reader keeps up with the host.
      size_t end = f->payload.find('"', 6);
      int64_t pad = 0;
      for (size_t k = end; k > 6 && f->payload[k - 1] == '='; --k) ++pad;
      *fdat += static_cast<int64_t>((end - 6) / 4 * 3) - pad;
      size_t i = f->payload.find("\"i\":", end), n = f->payload.find("\"n\":", end);
      if (finished && i != std::string::npos && n != std::string::npos &&
          std::stoll(f->payload.substr(i + 4)) + 1 == std::stoll(f->payload.substr(n + 4))) {
        *finished = true;
        return;
      }
    }
  }
}
}  // namespace

int main(int argc, char** argv) {
  const int64_t size = argc > 1 ? std::stoll(argv[1]) : 1000000000;
  std::string home = ts::makeTempDir("tolvane-bench-home"), data = ts::makeTempDir("tolvane-bench-data");
  int port = ts::freePort();
  ts::Child host({TOLVANE_HOST_BIN, "--test-pattern", "--no-tls", "--no-signal", "--port", std::to_string(port),
                  "--token", "testtoken", "--data-dir", data},
                 {"HOME=" + home, "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1", "DISPLAY="});
  if (!host.waitFor("データ置き場: ", seconds(90))) return 1;

  // What the host spends on video alone (the test pattern at 60 fps) with a
  // client connected, to set its transfer cost apart.
  double videoCpuRate = 0;
  {
    ts::LanPhone p(port);
    p.settle();
    double c0 = cpuSeconds(host.pid());
    std::vector<double> ignored;
    readFor(p.raw(), seconds(5), ignored);
    videoCpuRate = (cpuSeconds(host.pid()) - c0) / 5;
    std::printf("host CPU for video alone: %.2f s per second\n", videoCpuRate);
  }
  // Upload: the page's way, 48,000-byte chunks, fast as the socket takes them.
  {
    ts::LanPhone p(port);
    p.settle();
    std::vector<uint8_t> buf(48000);
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<uint8_t>(i * 131 + 7);
    const int64_t n = (size + 47999) / 48000;
    auto t0 = steady_clock::now();
    double c0 = cpuSeconds(host.pid());
    for (int64_t i = 0; i < n; ++i) {
      buf.resize(static_cast<size_t>(std::min<int64_t>(48000, size - i * 48000)));
      std::string text = "{\"d\":\"" + base64Encode(buf) + "\",\"i\":" + std::to_string(i) +
                         ",\"id\":\"up\",\"n\":" + std::to_string(n) +
                         (i == 0 ? ",\"name\":\"bench.bin\"" : "") + ",\"t\":\"fput\"}";
      p.sendText(text);
    }
    auto done = p.next("fdone", seconds(900));
    double s = duration<double>(steady_clock::now() - t0).count();
    double cpu = cpuSeconds(host.pid()) - c0 - videoCpuRate * s;
    std::printf("upload   %lld bytes in %.2f s: %.1f MB/s; host CPU beyond video %.1f s (%.1f MB per CPU second) (%s)\n",
                static_cast<long long>(size), s, size / s / 1e6, cpu, size / cpu / 1e6,
                done ? done->dump().c_str() : "no fdone");
  }
  // Download, then the video's delay while one runs.
  {
    ts::LanPhone p(port);
    p.settle();
    auto t0 = steady_clock::now();
    double c0 = cpuSeconds(host.pid());
    p.send({{"t", "fget"}, {"path", "Downloads/Tolvane/bench.bin"}, {"id", "down"}});
    std::vector<double> during, idle;
    int64_t got = 0;
    bool finished = false;
    readFor(p.raw(), seconds(900), during, &got, &finished);
    double s = duration<double>(steady_clock::now() - t0).count();
    double cpu = cpuSeconds(host.pid()) - c0 - videoCpuRate * s;
    std::printf("download %lld bytes in %.2f s: %.1f MB/s; host CPU beyond video %.1f s (%.1f MB per CPU second)\n",
                static_cast<long long>(got), s, got / s / 1e6, cpu, got / cpu / 1e6);
    idle.clear();
    readFor(p.raw(), seconds(8), idle);
    during.clear();
    p.send({{"t", "fget"}, {"path", "Downloads/Tolvane/bench.bin"}, {"id", "again"}});
    int64_t more = 0;
    readFor(p.raw(), seconds(8), during, &more);
    std::printf("video delay idle:   p50 %.1f ms, p95 %.1f ms (%zu frames)\n", pct(idle, 0.5), pct(idle, 0.95),
                idle.size());
    std::printf("video delay during: p50 %.1f ms, p95 %.1f ms (%zu frames, %.1f MB/s of file alongside)\n",
                pct(during, 0.5), pct(during, 0.95), during.size(), more / 8.0 / 1e6);
    std::printf("p95 increase: %.1f ms (goal: at most 16.7 ms)\n", pct(during, 0.95) - pct(idle, 0.95));
    p.send({{"t", "fcancel"}, {"id", "again"}});
  }
  host.stop();
  ts::removeTree(home);
  ts::removeTree(data);
  return 0;
}
