#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "app/Log.h"
#include "extras/MonitorReader.h"
#include "extras/PcmPackets.h"
#include "extras/SystemAudio.h"
#include "support/LanPhone.h"
#include "support/PulseDaemon.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;

namespace {

// Captures what the host would send to one connection.
struct Listener {
  std::mutex m;
  std::vector<std::vector<uint8_t>> packets;
  std::shared_ptr<Requester> req = std::make_shared<Requester>();
  explicit Listener(int64_t key) {
    req->key = key;
    req->alive = [] { return true; };
    req->sendAudio = [this](std::vector<uint8_t> p) {
      std::lock_guard<std::mutex> l(m);
      packets.push_back(std::move(p));
    };
  }
  size_t count() {
    std::lock_guard<std::mutex> l(m);
    return packets.size();
  }
  std::vector<int16_t> samples(size_t fromPacket = 0) {
    std::lock_guard<std::mutex> l(m);
    std::vector<int16_t> out;
    for (size_t i = fromPacket; i < packets.size(); ++i)
      for (size_t b = 0; b + 1 < packets[i].size(); b += 2)
        out.push_back(int16_t(uint16_t(packets[i][b]) | uint16_t(packets[i][b + 1]) << 8));
    return out;
  }
  std::vector<size_t> sizes() {
    std::lock_guard<std::mutex> l(m);
    std::vector<size_t> s;
    for (auto& p : packets) s.push_back(p.size());
    return s;
  }
};

struct Logs {
  std::mutex m;
  std::vector<std::string> lines;
  Logs() {
    setLogTap([this](const std::string& s) {
      std::lock_guard<std::mutex> l(m);
      lines.push_back(s);
    });
  }
  ~Logs() { setLogTap(nullptr); }
  size_t count(const std::string& prefix) {
    std::lock_guard<std::mutex> l(m);
    size_t n = 0;
    for (auto& s : lines) n += s.rfind(prefix, 0) == 0;
    return n;
  }
  bool waitFor(const std::string& prefix, size_t times = 1) {
    return ts::waitUntil([&] { return count(prefix) >= times; });
  }
};

// Plays a 1 kHz tone at -6 dBFS (amplitude 0.5) for `seconds` into the sink.
// The player keeps 200 ms queued: one that runs dry on a loaded machine cuts
// the tone, and the sink's resampling rings at the cut (peaks 8 % high),
// which would blame the capture for the player's gap. The benchmark plays
// with 10 ms.
std::unique_ptr<ts::Child> playTone(const ts::PulseDaemon& pa, double seconds) {
  static int n = 0;
  static const struct Dir {
    std::string path = ts::makeTempDir("tone");
    ~Dir() { ts::removeTree(path); }
  } dir;
  std::string path = dir.path + "/tone" + std::to_string(n++) + ".raw";
  std::vector<float> s(size_t(24000 * seconds));
  for (size_t i = 0; i < s.size(); ++i) s[i] = float(0.5 * std::sin(2 * M_PI * 1000.0 * double(i) / 24000.0));
  ts::writeFile(path, std::string(reinterpret_cast<const char*>(s.data()), s.size() * sizeof(float)));
  return std::make_unique<ts::Child>(
      std::vector<std::string>{"sh", "-c", "exec pacat --playback --raw --format=float32le --rate=24000 "
                                           "--channels=1 --latency-msec=200 < '" + path + "'"},
      std::vector<std::string>{pa.env()});
}

// Peak of the tone's steady middle half: its start and end ring in the
// sink's resampler.
int tonePeak(const std::vector<int16_t>& s) {
  size_t first = s.size(), last = 0;
  for (size_t i = 0; i < s.size(); ++i)
    if (std::abs(s[i]) > 2000) {
      first = std::min(first, i);
      last = i;
    }
  if (first >= last) return 0;
  int peak = 0;
  for (size_t i = first + (last - first) / 4; i < last - (last - first) / 4; ++i) peak = std::max(peak, std::abs(int(s[i])));
  return peak;
}

int sourceOutputs(const ts::PulseDaemon& pa) {
  std::string out = pa.pactl("list short source-outputs");
  int n = 0;
  for (char c : out) n += c == '\n';
  return n;
}

}  // namespace

// The daemon may cut its pieces anywhere; samples come out whole and in
// order whatever the cuts, and a hole is as many samples of silence.
TEST(MonitorPieces, SamplesCutAnywhereComeOutWholeAndHolesAreSilence) {
  std::vector<float> in(1000);
  for (size_t i = 0; i < in.size(); ++i) in[i] = float(i) * 0.001f - 0.5f;
  const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
  size_t total = in.size() * sizeof(float);
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::vector<unsigned char> part;
    std::vector<float> out;
    unsigned r = seed;
    for (size_t at = 0; at < total;) {
      r = r * 1103515245u + 12345u;
      size_t n = std::min<size_t>(total - at, 1 + (r >> 16) % 23);
      MonitorReader::appendPiece(bytes + at, n, part, out);
      at += n;
    }
    ASSERT_TRUE(part.empty()) << "seed " << seed;
    ASSERT_EQ(out.size(), in.size()) << "seed " << seed;
    ASSERT_EQ(std::memcmp(out.data(), in.data(), total), 0) << "seed " << seed;
  }
  std::vector<unsigned char> part;
  std::vector<float> out;
  MonitorReader::appendPiece(bytes, 6, part, out);  // one sample and half of the next
  MonitorReader::appendPiece(nullptr, 10, part, out);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0], in[0]);
  EXPECT_EQ(out[2], 0.0f);
  EXPECT_EQ(out[3], 0.0f);
  EXPECT_TRUE(part.empty());
}

TEST(AudioConversion, ClampsTruncatesAndSilencesNaN) {
  EXPECT_EQ(sampleToS16(1.5f), 32767);
  EXPECT_EQ(sampleToS16(1.0f), 32767);
  EXPECT_EQ(sampleToS16(-0.5f), -16383);
  EXPECT_EQ(sampleToS16(-1.0f), -32767);
  EXPECT_EQ(sampleToS16(-7.0f), -32767);
  EXPECT_EQ(sampleToS16(0.49999f), 16383);
  EXPECT_EQ(sampleToS16(std::nanf("")), 0);
  EXPECT_EQ(sampleToS16(-INFINITY), -32767);
}

TEST(AudioConversion, CutsBlocksIntoLittleEndianPacketsOfAtMost480) {
  std::vector<float> block(1024, 0.0f);
  block[0] = -0.5f;   // -16383 = 0xc001
  block[480] = 1.0f;  // first sample of the second packet
  block[1023] = std::nanf("");
  auto packets = pcmPackets(block.data(), block.size());
  ASSERT_EQ(packets.size(), 3u);
  // With the transport's kind byte these are 961, 961 and 129 bytes.
  EXPECT_EQ(packets[0].size(), 960u);
  EXPECT_EQ(packets[1].size(), 960u);
  EXPECT_EQ(packets[2].size(), 128u);
  EXPECT_EQ(packets[0][0], 0x01);
  EXPECT_EQ(packets[0][1], 0xc0);
  EXPECT_EQ(packets[1][0], 0xff);
  EXPECT_EQ(packets[1][1], 0x7f);
  EXPECT_EQ(packets[2][126], 0);
  EXPECT_EQ(packets[2][127], 0);
  EXPECT_TRUE(pcmPackets(block.data(), 0).empty());
  EXPECT_EQ(pcmPackets(block.data(), 480).size(), 1u);
}

class AudioCapture : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(pa.ok()) << "pulseaudio did not start"; }
  ts::PulseDaemon pa;
  Logs logs;
};

TEST_F(AudioCapture, ToneArrivesWholeAndOffStopsIt) {
  auto audio = SystemAudio::create(false);
  Listener a(1);
  audio->want(a.req, true);
  ASSERT_TRUE(logs.waitFor("[audio] 開始"));
  // The first read of an idle sink can take a while: wait for silence to flow.
  ASSERT_TRUE(ts::waitUntil([&] { return a.count() >= 5; }));
  size_t before = a.count();
  auto tone = playTone(pa, 1.5);
  ASSERT_TRUE(ts::waitUntil([&] { return tone->exited().has_value(); }));
  // The tail of the tone and some silence after it.
  size_t end = a.count() + 25;
  ASSERT_TRUE(ts::waitUntil([&] { return a.count() >= end; }));

  auto s = a.samples(before);
  for (auto n : a.sizes()) EXPECT_EQ(n, 960u);  // whole 20 ms fragments in steady state
  size_t first = 0, last = 0;
  for (size_t i = 0; i < s.size(); ++i)
    if (std::abs(s[i]) > 2000) {
      if (!first) first = i;
      last = i;
    }
  ASSERT_GT(last, first + 24000) << "less than a second of tone arrived";
  EXPECT_NEAR(tonePeak(s), 16384, 16384 * 0.05);
  // Every rising zero crossing 24 samples after the last one: the frequency
  // is right and no sample went missing or came twice anywhere in the tone.
  std::vector<size_t> rises;
  for (size_t i = first + 48; i + 48 < last; ++i)
    if (s[i - 1] < 0 && s[i] >= 0) rises.push_back(i);
  ASSERT_GT(rises.size(), 900u);
  for (size_t k = 1; k < rises.size(); ++k) ASSERT_NEAR(double(rises[k] - rises[k - 1]), 24.0, 1.0) << "at " << k;
  double hz = 24000.0 * double(rises.size() - 1) / double(rises.back() - rises.front());
  EXPECT_NEAR(hz, 1000.0, 10.0);

  audio->want(a.req, false);
  ASSERT_TRUE(logs.waitFor("[audio] 停止"));
  size_t atStop = a.count();
  std::this_thread::sleep_for(300ms);
  EXPECT_LE(a.count(), atStop + 1);  // at most the packet already on its way
  EXPECT_TRUE(ts::waitUntil([&] { return sourceOutputs(pa) == 0; }));
}

TEST_F(AudioCapture, OnThenOffAtOnceLeavesNoStream) {
  auto audio = SystemAudio::create(false);
  Listener a(1);
  audio->want(a.req, true);
  audio->want(a.req, false);
  // Long enough for the open to finish in the background.
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(ts::waitUntil([&] { return sourceOutputs(pa) == 0; }));
  EXPECT_EQ(logs.count("[audio] 開始"), 0u);
  EXPECT_EQ(a.count(), 0u);
}

TEST_F(AudioCapture, TwoConnectionsCountSeparately) {
  auto audio = SystemAudio::create(false);
  Listener a(1), b(2);
  audio->want(a.req, true);
  audio->want(b.req, true);
  audio->want(b.req, true);  // a second "on" changes nothing
  ASSERT_TRUE(ts::waitUntil([&] { return a.count() >= 5 && b.count() >= 5; }));
  EXPECT_EQ(logs.count("[audio] 開始"), 1u);
  EXPECT_EQ(sourceOutputs(pa), 1);

  audio->want(a.req, false);
  std::this_thread::sleep_for(200ms);
  size_t aAt = a.count(), bAt = b.count();
  ASSERT_TRUE(ts::waitUntil([&] { return b.count() >= bAt + 10; }));
  EXPECT_LE(a.count(), aAt + 1);
  EXPECT_EQ(logs.count("[audio] 停止"), 0u);

  audio->forget(b.req->key);  // its connection closed
  ASSERT_TRUE(logs.waitFor("[audio] 停止"));
  EXPECT_TRUE(ts::waitUntil([&] { return sourceOutputs(pa) == 0; }));

  // The last client leaving stops it too.
  audio->want(a.req, true);
  ASSERT_TRUE(logs.waitFor("[audio] 開始", 2));
  audio->stopAll();
  ASSERT_TRUE(logs.waitFor("[audio] 停止", 2));
  EXPECT_TRUE(ts::waitUntil([&] { return sourceOutputs(pa) == 0; }));
}

TEST_F(AudioCapture, DaemonGoneEndsTheStreamAndALaterOnStartsAgain) {
  auto audio = SystemAudio::create(false);
  Listener a(1);
  audio->want(a.req, true);
  ASSERT_TRUE(ts::waitUntil([&] { return a.count() >= 3; }));
  pa.kill();
  ASSERT_TRUE(logs.waitFor("[audio] 止まりました "));

  ts::PulseDaemon again;
  ASSERT_TRUE(again.ok());
  size_t at = a.count();
  audio->want(a.req, true);
  ASSERT_TRUE(logs.waitFor("[audio] 開始", 2));
  EXPECT_TRUE(ts::waitUntil([&] { return a.count() >= at + 5; }));
}

TEST_F(AudioCapture, ShutdownWhileCapturingIsQuick) {
  auto audio = SystemAudio::create(false);
  Listener a(1);
  audio->want(a.req, true);
  ASSERT_TRUE(ts::waitUntil([&] { return a.count() >= 3; }));
  auto t0 = std::chrono::steady_clock::now();
  audio->shutdown();
  std::printf("shutdown while capturing: %.0f ms\n",
              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  audio.reset();
  // The program's whole stop has 1.5 s; capture's share is capped below that.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms);
  EXPECT_TRUE(ts::waitUntil([&] { return sourceOutputs(pa) == 0; }));
}

TEST(AudioWithoutDaemon, FailsWithTheWarning) {
  std::string dir = ts::makeTempDir("nopulse");
  ts::usePulseServer("unix:" + dir + "/none");
  Logs logs;
  std::mutex m;
  std::vector<std::string> ctl;
  auto audio = SystemAudio::create(false);
  audio->sendCtl = [&](const std::string& t) {
    std::lock_guard<std::mutex> l(m);
    ctl.push_back(t);
  };
  Listener a(1);
  audio->want(a.req, true);
  ASSERT_TRUE(logs.waitFor("[audio] 開始失敗 "));
  ASSERT_TRUE(ts::waitUntil([&] {
    std::lock_guard<std::mutex> l(m);
    return !ctl.empty();
  }));
  {
    std::lock_guard<std::mutex> l(m);
    EXPECT_EQ(ctl[0],
              R"({"code":"audio","msg":"Could not capture this Mac's sound. Please allow Screen & System Audio Recording.","t":"warn"})");
  }
  EXPECT_EQ(logs.count("[audio] 開始失敗 "), 1u);
  // Asking again tries again.
  audio->want(a.req, true);
  ASSERT_TRUE(logs.waitFor("[audio] 開始失敗 ", 2));
  ts::removeTree(dir);
}

TEST(AudioTestMode, StartsNothing) {
  ts::PulseDaemon pa;
  ASSERT_TRUE(pa.ok());
  Logs logs;
  auto audio = SystemAudio::create(true);
  Listener a(1);
  audio->want(a.req, true);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(sourceOutputs(pa), 0);
  EXPECT_EQ(logs.count("[audio]"), 0u);
  EXPECT_EQ(a.count(), 0u);
}

namespace {

// The host binary on the desktop's sound (no test pattern, no display).
struct SoundHost {
  SoundHost() {
    port = ts::freePort();
    data = ts::makeTempDir("tolvane-data");
    proc = std::make_unique<ts::Child>(
        std::vector<std::string>{TOLVANE_HOST_BIN, "--no-tls", "--no-signal", "--port", std::to_string(port),
                                 "--token", "testtoken", "--data-dir", data},
        std::vector<std::string>{"DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1"});
    proc->waitFor("データ置き場: ", 90s);
  }
  ~SoundHost() {
    proc.reset();
    ts::removeTree(data);
  }
  int port = 0;
  std::string data;
  std::unique_ptr<ts::Child> proc;
};

// Sound packets (kind 2) read from a raw LAN client until `enough` holds or
// the time is up; other frames are skipped.
struct Heard {
  std::vector<std::string> packets;
  int peak() const {
    std::vector<int16_t> s;
    for (auto& pk : packets)
      for (size_t i = 1; i + 1 < pk.size(); i += 2) s.push_back(int16_t(uint8_t(pk[i]) | uint8_t(pk[i + 1]) << 8));
    return tonePeak(s);
  }
};
void listen(ts::LanPhone& phone, Heard& h, const std::function<bool()>& enough,
            std::chrono::milliseconds limit = 60s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!enough() && std::chrono::steady_clock::now() < end) {
    auto f = phone.raw().readFrame(200ms);
    if (f && f->opcode == 2 && !f->payload.empty() && f->payload[0] == 2) h.packets.push_back(f->payload);
  }
}

}  // namespace

TEST_F(AudioCapture, HostSendsSoundToTheLanClientsThatAskedOnly) {
  SoundHost host;
  ts::LanPhone a(host.port), b(host.port);
  ASSERT_TRUE(a.ok() && b.ok());
  a.send({{"t", "audio"}, {"on", true}});
  ASSERT_TRUE(host.proc->waitFor("[audio] 開始"));
  Heard ha;
  listen(a, ha, [&] { return ha.packets.size() >= 10; });
  ASSERT_GE(ha.packets.size(), 10u);
  auto tone = playTone(pa, 1.0);
  listen(a, ha, [&] { return ha.peak() > 15000 && tone->exited().has_value(); });
  EXPECT_NEAR(ha.peak(), 16384, 16384 * 0.05);
  for (auto& p : ha.packets) EXPECT_EQ(p.size(), 961u);  // kind byte and 480 samples
  // The other client never asked: nothing but what it asked for.
  Heard hb;
  listen(b, hb, [] { return false; }, 300ms);
  EXPECT_TRUE(hb.packets.empty());

  // Off: the capture stops and the packets with it.
  a.send({{"t", "audio"}, {"on", false}});
  ASSERT_TRUE(host.proc->waitFor("[audio] 停止"));
  a.settle();
  Heard after;
  listen(a, after, [] { return false; }, 500ms);
  EXPECT_LE(after.packets.size(), 1u);

  // On again, then the connection closes: the last one wanting sound is gone.
  a.send({{"t", "audio"}, {"on", true}});
  ASSERT_TRUE(host.proc->waitFor("[audio] 開始", 60s, 2));
  a.raw().close();
  ASSERT_TRUE(host.proc->waitFor("[audio] 停止", 60s, 2));
  EXPECT_TRUE(ts::waitUntil([&] { return sourceOutputs(pa) == 0; }));

  // A stop signal while capturing ends the host cleanly (the bound is 1.5 s;
  // a loaded machine gets more here).
  b.send({{"t", "audio"}, {"on", true}});
  ASSERT_TRUE(host.proc->waitFor("[audio] 開始", 60s, 3));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(host.proc->stop(SIGTERM, 10s), 0);
  std::printf("host exit while capturing: %.0f ms\n",
              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
}
