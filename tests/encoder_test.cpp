// ctest-labels: unit
#include "app/Loc.h"
#include "app/Log.h"
#include "media/AvcConfig.h"
#include "media/H264Encoder.h"
#include "media/TestPattern.h"
#include "session/InputTracker.h"
#include "support/TestSupport.h"
#include "support/PatternFrames.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

using namespace std::chrono_literals;

namespace {

// One callback from the encoder, in the order they came.
struct Event {
  bool config = false;
  std::string codec;
  std::vector<uint8_t> desc;
  int w = 0, h = 0;
  std::vector<uint8_t> bytes;
  bool key = false;
  double captureMs = 0;
  std::vector<uint32_t> ids;
};

// An encoder on a clock of the test's own: pacing and the time-based key
// frames then depend only on the times the test gives, never on how fast
// this machine encodes.
class Rig {
public:
  explicit Rig(std::string preset = H264Encoder::kDefaultPreset)
      : tracker(std::make_shared<InputTracker>()), enc(tracker, std::move(preset)) {
    enc.clock = [this] { return seconds.load(); };
    enc.onConfig = [this](const std::string& codec, const std::vector<uint8_t>& desc, int w, int h) {
      Event e;
      e.config = true;
      e.codec = codec;
      e.desc = desc;
      e.w = w;
      e.h = h;
      push(std::move(e));
    };
    enc.onFrame = [this](std::vector<uint8_t> bytes, bool key, double ms, std::vector<uint32_t> ids) {
      Event e;
      e.bytes = std::move(bytes);
      e.key = key;
      e.captureMs = ms;
      e.ids = std::move(ids);
      push(std::move(e));
    };
  }
  // All events once n frames have come (or after a minute).
  std::vector<Event> waitFrames(size_t n) {
    std::unique_lock<std::mutex> l(m);
    cv.wait_for(l, 60s, [&] { return frames >= n; });
    return events;
  }
  // Offers a frame at `at` seconds on the encoder's clock and waits until the
  // encoder has dealt with it, so that the clock reads `at` when it decides.
  void offerAt(double at, FramePtr f) {
    seconds = at;
    enc.encode(std::move(f));
    enc.waitIdle();
  }
  std::vector<Event> framesOnly() {
    std::lock_guard<std::mutex> l(m);
    std::vector<Event> out;
    for (auto& e : events)
      if (!e.config) out.push_back(e);
    return out;
  }
  size_t frameCount() {
    std::lock_guard<std::mutex> l(m);
    return frames;
  }
  void clear() {
    std::lock_guard<std::mutex> l(m);
    events.clear();
    frames = 0;
  }

  std::atomic<double> seconds{1000};
  std::shared_ptr<InputTracker> tracker;
  H264Encoder enc;

private:
  void push(Event e) {
    std::lock_guard<std::mutex> l(m);
    if (!e.config) ++frames;
    events.push_back(std::move(e));
    cv.notify_all();
  }
  std::mutex m;
  std::condition_variable cv;
  std::vector<Event> events;
  size_t frames = 0;
};

std::shared_ptr<Frame> noiseFrame(int w, int h, std::mt19937& rng) {
  auto f = Frame::make(w, h);
  for (auto& b : f->pixels) b = static_cast<uint8_t>(rng());
  f->captureMs = epochMs();
  return f;
}

// NAL unit types of a length-prefixed frame; empty if the lengths do not add up.
std::vector<int> nalTypes(const std::vector<uint8_t>& b) {
  std::vector<int> types;
  size_t at = 0;
  while (at < b.size()) {
    if (b.size() - at < 5) return {};
    size_t n = (size_t(b[at]) << 24) | (size_t(b[at + 1]) << 16) | (size_t(b[at + 2]) << 8) | b[at + 3];
    at += 4;
    if (n == 0 || n > b.size() - at) return {};
    types.push_back(b[at] & 0x1F);
    at += n;
  }
  return types;
}

// The stream as a decoder reads it from a file: start codes, SPS and PPS
// first. The record is read by its byte layout, not through AvcConfig.
std::vector<uint8_t> annexB(const std::vector<Event>& events) {
  std::vector<uint8_t> out;
  auto unit = [&](const uint8_t* p, size_t n) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), p, p + n);
  };
  bool haveConfig = false;
  for (auto& e : events) {
    if (e.config) {
      if (haveConfig) continue;
      haveConfig = true;
      const auto& d = e.desc;
      size_t n = (size_t(d[6]) << 8) | d[7];
      size_t m = (size_t(d[9 + n]) << 8) | d[10 + n];
      unit(&d[8], n);
      unit(&d[11 + n], m);
      continue;
    }
    size_t at = 0;
    while (at + 4 <= e.bytes.size()) {
      size_t n = (size_t(e.bytes[at]) << 24) | (size_t(e.bytes[at + 1]) << 16) |
                 (size_t(e.bytes[at + 2]) << 8) | e.bytes[at + 3];
      unit(&e.bytes[at + 4], n);
      at += 4 + n;
    }
  }
  return out;
}

struct Decoded {
  std::string warnings;
  int status = -1;
  std::vector<uint8_t> rgb;  // frames back to back, 3 bytes per pixel
};

Decoded decode(const std::vector<uint8_t>& stream) {
  std::string dir = ts::makeTempDir("tolvane-enc");
  {
    std::ofstream f(dir + "/x.h264", std::ios::binary);
    f.write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
  }
  Decoded d;
  d.warnings = ts::run("ffmpeg -nostdin -v warning -f h264 -i '" + dir + "/x.h264' -f rawvideo -pix_fmt rgb24 -y '" +
                           dir + "/out.rgb' 2>&1",
                       &d.status);
  std::string raw = ts::readFile(dir + "/out.rgb");
  d.rgb.assign(raw.begin(), raw.end());
  ts::removeTree(dir);
  return d;
}

struct Rgb {
  int r, g, b;
};

Rgb decodedAt(const Decoded& d, int frame, int w, int h, int x, int y) {
  size_t at = (static_cast<size_t>(frame) * w * h + static_cast<size_t>(y) * w + x) * 3;
  return {d.rgb[at], d.rgb[at + 1], d.rgb[at + 2]};
}

::testing::AssertionResult near(Rgb got, double r, double g, double b, int tol) {
  int er = int(std::lround(r * 255)), eg = int(std::lround(g * 255)), eb = int(std::lround(b * 255));
  if (std::abs(got.r - er) <= tol && std::abs(got.g - eg) <= tol && std::abs(got.b - eb) <= tol)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got (" << got.r << "," << got.g << "," << got.b
                                       << ") want (" << er << "," << eg << "," << eb << ")";
}

}  // namespace

TEST(H264Encoder, PatternStreamDecodesWithFfmpegToTheSamePictures) {
  const int W = 1280, H = 720, N = 24;
  auto frames = ts::patternFrames(N, W, H);
  ASSERT_EQ(frames.size(), size_t(N));
  Rig rig;
  rig.enc.start(W, H, 30, 8000000);
  for (auto& f : frames) rig.enc.encode(f);
  auto events = rig.waitFrames(N);
  ASSERT_EQ(rig.frameCount(), size_t(N));

  auto d = decode(annexB(events));
  EXPECT_EQ(d.status, 0);
  EXPECT_EQ(d.warnings, "");
  ASSERT_EQ(d.rgb.size(), size_t(N) * W * H * 3);

  for (int k = 0; k < N; ++k) {
    const int F = k + 1;
    // Bars of frame F: x = (6F + 80i) mod W, 60 wide; probed at their centres.
    for (int i = 0; i < 16; ++i) {
      double c = std::sin(F / 20.0 + i);
      int x = (6 * F + 80 * i) % W + 30;
      if (x >= W) continue;
      EXPECT_TRUE(near(decodedAt(d, k, W, H, x, 200), 0.5 + 0.5 * c, 0.4, 0.5 - 0.5 * c, 12))
          << "frame " << F << " bar " << i;
    }
    EXPECT_TRUE(near(decodedAt(d, k, W, H, 640, 40), 0.08, 0.10, 0.16, 12)) << "frame " << F;
    // Counter squares: white where a bit of F is set.
    for (int j = 0; j < 6; ++j) {
      bool set = F & (1 << j);
      Rgb p = decodedAt(d, k, W, H, 32 + 30 * j, H - 32);
      if (set)
        EXPECT_TRUE(near(p, 1, 1, 1, 12)) << "frame " << F << " bit " << j;
      else
        EXPECT_TRUE(near(p, 0.08, 0.10, 0.16, 12)) << "frame " << F << " bit " << j;
    }
  }
  rig.enc.stop();
}

TEST(H264Encoder, FramesOfAnotherSizeAreScaledToTheOpenedSize) {
  auto frames = ts::patternFrames(3, 1280, 720);
  ASSERT_EQ(frames.size(), 3u);
  Rig rig;
  rig.enc.start(640, 360, 30, 4000000);
  for (auto& f : frames) rig.enc.encode(f);
  auto d = decode(annexB(rig.waitFrames(3)));
  EXPECT_EQ(d.warnings, "");
  ASSERT_EQ(d.rgb.size(), 3u * 640 * 360 * 3);
  // Frame 3's bar 2 spans 178..238 at full size: 89..119 at half.
  double c = std::sin(3 / 20.0 + 2);
  EXPECT_TRUE(near(decodedAt(d, 2, 640, 360, 104, 100), 0.5 + 0.5 * c, 0.4, 0.5 - 0.5 * c, 14));
  EXPECT_TRUE(near(decodedAt(d, 2, 640, 360, 320, 20), 0.08, 0.10, 0.16, 14));
}

TEST(H264Encoder, ConfigurationRecordAndCodecComeFromTheRealSps) {
  // ultrafast turns off what Constrained Baseline lacks; superfast is High.
  for (auto [preset, prefix] : {std::pair{"ultrafast", "avc1.42c0"}, std::pair{"superfast", "avc1.64"}}) {
    SCOPED_TRACE(preset);
    auto frames = ts::patternFrames(3, 320, 240);
    Rig rig(preset);
    rig.enc.start(320, 240, 30, 1000000);
    for (auto& f : frames) rig.enc.encode(f);
    auto events = rig.waitFrames(3);
    ASSERT_GE(events.size(), 4u);
    ASSERT_TRUE(events[0].config);
    ASSERT_TRUE(events[1].key);
    EXPECT_EQ(events[0].w, 320);
    EXPECT_EQ(events[0].h, 240);
    const auto& d = events[0].desc;
    ASSERT_GE(d.size(), 12u);
    size_t n = (size_t(d[6]) << 8) | d[7];
    ASSERT_GE(n, 4u);
    ASSERT_GE(d.size(), 11 + n);
    size_t m = (size_t(d[9 + n]) << 8) | d[10 + n];
    ASSERT_EQ(d.size(), 11 + n + m);
    const uint8_t* sps = &d[8];
    EXPECT_EQ(d[0], 1);
    EXPECT_EQ(sps[0] & 0x1F, 7);
    EXPECT_EQ(d[1], sps[1]);
    EXPECT_EQ(d[2], sps[2]);
    EXPECT_EQ(d[3], sps[3]);
    EXPECT_EQ(d[4], 0xFF);
    EXPECT_EQ(d[5], 0xE1);
    EXPECT_EQ(d[8 + n], 1);
    EXPECT_EQ(d[11 + n] & 0x1F, 8);
    char want[16];
    std::snprintf(want, sizeof want, "avc1.%02x%02x%02x", sps[1], sps[2], sps[3]);
    EXPECT_EQ(events[0].codec, want);
    EXPECT_EQ(events[0].codec.rfind(prefix, 0), 0u) << events[0].codec;

    // Frames hold only slices: the parameter sets travel in the record.
    for (size_t i = 1; i < events.size(); ++i) {
      auto types = nalTypes(events[i].bytes);
      ASSERT_FALSE(types.empty()) << "frame " << i << " has bad lengths";
      for (int t : types) {
        EXPECT_NE(t, 7);
        EXPECT_NE(t, 8);
      }
      EXPECT_EQ(types[0], events[i].key ? 5 : 1);
    }
    EXPECT_FALSE(events[2].key);
  }
}

TEST(H264Encoder, AvcConfigBuildsParsesAndRefusesMalformedInput) {
  std::vector<uint8_t> sps{0x67, 0x64, 0x00, 0x1F, 0xAC}, pps{0x68, 0xEE, 0x3C};
  auto c = AvcConfig::from(sps, pps);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->codec, "avc1.64001f");
  EXPECT_EQ(c->description, (std::vector<uint8_t>{1, 0x64, 0x00, 0x1F, 0xFF, 0xE1, 0, 5, 0x67, 0x64, 0x00,
                                                  0x1F, 0xAC, 1, 0, 3, 0x68, 0xEE, 0x3C}));
  std::vector<uint8_t> s2, p2;
  ASSERT_TRUE(AvcConfig::parse(c->description, s2, p2));
  EXPECT_EQ(s2, sps);
  EXPECT_EQ(p2, pps);
  // A key frame whose SPS is too short gets no configuration.
  EXPECT_FALSE(AvcConfig::from({0x67, 0x64, 0x00}, pps));
  EXPECT_FALSE(AvcConfig::from(sps, {}));
  for (size_t cut = 0; cut < c->description.size(); ++cut) {
    std::vector<uint8_t> part(c->description.begin(), c->description.begin() + cut);
    EXPECT_FALSE(AvcConfig::parse(part, s2, p2)) << cut;
  }
  auto bad = c->description;
  bad[7] = 200;  // SPS length past the end
  EXPECT_FALSE(AvcConfig::parse(bad, s2, p2));

  EXPECT_EQ(AvcConfig::annexB({0, 0, 0, 2, 0x65, 1, 0, 0, 0, 1, 0x41}),
            (std::vector<uint8_t>{0, 0, 0, 1, 0x65, 1, 0, 0, 0, 1, 0x41}));
  EXPECT_FALSE(AvcConfig::annexB({0, 0, 0, 9, 0x65}));
  EXPECT_FALSE(AvcConfig::annexB({0, 0, 1}));
  EXPECT_FALSE(AvcConfig::annexB({0xFF, 0xFF, 0xFF, 0xFF, 1}));
}

TEST(H264Encoder, ConfigPrecedesEveryKeyFrameAndKeyFramesComeAtLeastEveryTwoSeconds) {
  const int fps = 10, N = 45;
  auto frames = ts::patternFrames(N, 320, 240);
  ASSERT_EQ(frames.size(), size_t(N));
  Rig rig;
  rig.enc.start(320, 240, fps, 1000000);
  // At the opened rate: the clock's 2 s bound and x264's 20-frame interval agree.
  for (int i = 0; i < N; ++i) rig.offerAt(1000 + i * (1.0 / fps), frames[size_t(i)]);
  auto events = rig.waitFrames(N);
  ASSERT_EQ(rig.frameCount(), size_t(N));
  int sinceKey = 0, keys = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].config) {
      ASSERT_LT(i + 1, events.size());
      EXPECT_TRUE(events[i + 1].key) << "config before a delta frame at " << i;
      continue;
    }
    if (events[i].key) {
      ++keys;
      EXPECT_TRUE(i > 0 && events[i - 1].config) << "key frame without config at " << i;
      sinceKey = 0;
    } else {
      EXPECT_LT(++sinceKey, 2 * fps) << "frame " << i;
    }
  }
  EXPECT_EQ(keys, 3);  // frames 0, 20 and 40: none beyond the schedule
}

TEST(H264Encoder, KeyFramesFollowTheClockWhenFramesAreRare) {
  // A quiet desktop delivers few frames: the 2 s bound must hold in time,
  // not only in frames counted at the opened rate.
  auto frames = ts::patternFrames(10, 320, 240);
  ASSERT_EQ(frames.size(), 10u);
  Rig rig;
  rig.enc.start(320, 240, 60, 1000000);
  for (int i = 0; i < 10; ++i) rig.offerAt(1000 + 0.28 * i, frames[size_t(i)]);
  rig.waitFrames(10);
  auto out = rig.framesOnly();
  ASSERT_EQ(out.size(), 10u);
  std::vector<size_t> keys;
  for (size_t i = 0; i < out.size(); ++i)
    if (out[i].key) keys.push_back(i);
  // The first, and the first frame 2 s after it (2.24 s), far short of 120 frames.
  EXPECT_EQ(keys, (std::vector<size_t>{0, 8}));
}

TEST(H264Encoder, CarriesCaptureTimeAndTheInputIdsHandledBeforeIt) {
  auto frames = ts::patternFrames(3, 320, 240);
  ASSERT_EQ(frames.size(), 3u);
  Rig rig;
  rig.enc.start(320, 240, 30, 1000000);
  // Marked before the frames were captured.
  auto early = std::const_pointer_cast<Frame>(frames[0]);
  rig.tracker->mark(1);
  rig.tracker->mark(2);
  double t = epochMs();
  while (epochMs() <= t) std::this_thread::yield();
  auto late = Frame::make(320, 240);
  late->captureMs = epochMs();
  while (epochMs() <= late->captureMs) std::this_thread::yield();
  rig.tracker->mark(3);  // after `late` was captured
  early->captureMs = t;
  rig.enc.encode(early);
  rig.enc.encode(late);
  auto after = Frame::make(320, 240);
  after->captureMs = epochMs();
  rig.enc.encode(after);
  rig.waitFrames(3);
  auto out = rig.framesOnly();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].captureMs, t);
  EXPECT_EQ(out[0].ids, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(out[1].captureMs, late->captureMs);
  EXPECT_TRUE(out[1].ids.empty());
  EXPECT_EQ(out[2].ids, (std::vector<uint32_t>{3}));
}

TEST(H264Encoder, KeyFrameRequestsReencodeTheLastOfferedFrame) {
  auto frames = ts::patternFrames(3, 320, 240);
  ASSERT_EQ(frames.size(), 3u);
  Rig rig;
  rig.enc.setRate(1000000, 1);  // frames closer than 0.9 s are skipped
  rig.enc.start(320, 240, 30, 1000000);

  // Nothing offered yet: the request waits for the next frame.
  rig.enc.requestKeyframe();
  rig.enc.waitIdle();
  EXPECT_EQ(rig.frameCount(), 0u);
  rig.offerAt(1000, frames[0]);
  auto events = rig.waitFrames(1);
  ASSERT_EQ(rig.frameCount(), 1u);
  EXPECT_TRUE(events.back().key);

  // Frame 2 arrives too soon and is skipped, but a key-frame request encodes it.
  rig.offerAt(1000.5, frames[1]);
  EXPECT_EQ(rig.frameCount(), 1u);
  rig.enc.requestKeyframe();
  events = rig.waitFrames(2);
  ASSERT_EQ(rig.frameCount(), 2u);
  EXPECT_TRUE(events.back().key);
  EXPECT_TRUE(events[events.size() - 2].config);
  EXPECT_EQ(events.back().captureMs, frames[1]->captureMs);

  // The request did not count as a paced frame: frame 3 is still too soon
  // after frame 1, and once 0.9 s have passed it is taken.
  rig.offerAt(1000.8, frames[2]);
  EXPECT_EQ(rig.frameCount(), 2u);
  rig.offerAt(1000.95, frames[2]);
  EXPECT_EQ(rig.frameCount(), 3u);

  auto d = decode(annexB(rig.waitFrames(3)));
  EXPECT_EQ(d.warnings, "");
  EXPECT_EQ(d.rgb.size(), 3u * 320 * 240 * 3);
}

TEST(H264Encoder, StopDrainsForgetsTheLastFrameAndAllowsAFreshStart) {
  auto frames = ts::patternFrames(6, 320, 240);
  ASSERT_EQ(frames.size(), 6u);
  Rig rig;
  rig.enc.start(320, 240, 30, 1000000);
  for (int i = 0; i < 5; ++i) rig.enc.encode(frames[i]);
  rig.enc.stop();
  // A start right behind the queued stop is not undone by it.
  rig.enc.start(320, 240, 30, 1000000);
  EXPECT_EQ(rig.frameCount(), 5u);  // everything offered before stop came out
  // The stop forgot the last frame: a key-frame request has nothing to encode.
  rig.enc.requestKeyframe();
  rig.enc.waitIdle();
  EXPECT_EQ(rig.frameCount(), 5u);
  rig.enc.encode(frames[5]);
  auto events = rig.waitFrames(6);
  ASSERT_EQ(rig.frameCount(), 6u);
  EXPECT_TRUE(events.back().key);
  EXPECT_TRUE(events[events.size() - 2].config);

  // Stopped: frames are remembered but not encoded.
  rig.enc.stop();
  rig.enc.encode(frames[0]);
  rig.enc.requestKeyframe();
  rig.enc.waitIdle();
  EXPECT_EQ(rig.frameCount(), 6u);
}

TEST(H264Encoder, RefusesUnusableSizesAndPresetsWithTheLocalisedMessage) {
  Loc::setForced("en");
  Rig rig;
  struct Case {
    int w, h, status;
  };
  for (auto c : {Case{0, 0, -2}, Case{-2, 100, -2}, Case{640, 0, -2}, Case{16386, 2, -2},
                 Case{100000, 100000, -2}, Case{2147483647, 2147483647, -2}, Case{16384, 16384, -2},
                 Case{641, 360, -3}, Case{640, 361, -3}, Case{1, 1, -3}}) {
    try {
      rig.enc.start(c.w, c.h, 30, 1000000);
      ADD_FAILURE() << c.w << "x" << c.h << " was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()),
                "Could not create the H.264 encoder (" + std::to_string(c.status) + ")")
          << c.w << "x" << c.h;
    }
  }
  Loc::setForced("ja");
  try {
    rig.enc.start(0, 0, 30, 1000000);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "H.264 エンコーダを作成できませんでした (-2)");
  }
  Loc::setForced(std::nullopt);

  Rig unknown("no-such-preset");
  EXPECT_THROW(unknown.enc.start(320, 240, 30, 1000000), std::runtime_error);

  // Nonsense rates are clamped; a failed restart leaves the running encoder.
  rig.enc.start(320, 240, 0, -5);
  EXPECT_THROW(rig.enc.start(3, 3, 30, 1000000), std::runtime_error);
  rig.enc.encode(nullptr);
  auto broken = Frame::make(320, 240);
  broken->pixels.resize(100);  // fewer bytes than its size says
  rig.enc.encode(broken);
  auto empty = std::make_shared<Frame>();
  rig.enc.encode(empty);
  auto frames = ts::patternFrames(1, 320, 240);
  rig.enc.encode(frames[0]);
  auto events = rig.waitFrames(1);
  ASSERT_EQ(rig.frameCount(), 1u);
  EXPECT_TRUE(events.back().key);
  EXPECT_EQ(events.front().w, 320);
}

TEST(H264Encoder, SetRateChangesTheOutputSizeAndPacesInput) {
  std::mt19937 rng(7);
  const int W = 320, H = 240;
  Rig rig;
  rig.enc.start(W, H, 30, 4000000);
  double t = 1000;  // the rig's clock, in seconds
  // Offers `count` frames of noise `gap` seconds apart. Noise cannot be
  // compressed, so each frame costs what the rate allows. Returns the mean
  // size of the delta frames of the second half, once the rate control has
  // settled on the new rate; key frames are left out, as the time-based bound
  // puts one wherever 2 s of the clock have passed.
  auto average = [&](int count, double gap) {
    rig.clear();
    for (int i = 0; i < count; ++i) rig.offerAt(t += gap, noiseFrame(W, H, rng));
    auto out = rig.framesOnly();
    EXPECT_EQ(out.size(), size_t(count)) << "every frame is at least the paced interval apart";
    size_t bytes = 0, n = 0;
    for (size_t i = out.size() / 2; i < out.size(); ++i) {
      if (out[i].key) continue;
      bytes += out[i].bytes.size();
      ++n;
    }
    return n ? double(bytes) / n : 0.0;
  };
  double high = average(120, 1.0 / 30);
  rig.enc.setRate(1000000, 30);
  double low = average(120, 0.040);
  // Budget per frame: 4 Mbit/s / 30 and 1 Mbit/s / 30. Noise spends all of
  // it, and the lowered rate is the new average, not the old one held down
  // by a cap above the new rate.
  EXPECT_GT(high, 3.0 * low) << high << " vs " << low;
  EXPECT_GT(high, 4000000 / 30 / 8 * 0.5);
  EXPECT_LT(low, 1000000 / 30 / 8 * 1.25);

  // Raised past the rate the encoder was opened with, the output follows.
  rig.enc.setRate(8000000, 30);
  double raised = average(120, 1.0 / 30);
  EXPECT_GT(raised, 1.5 * high) << raised << " vs " << high;
  EXPECT_LT(raised, 8000000 / 30 / 8 * 1.25);
  rig.enc.setRate(1000000, 30);
  low = average(120, 1.0 / 30);

  // Half the frame rate: the same bitrate buys twice the bytes per frame.
  rig.enc.setRate(1000000, 15);
  double half = average(90, 0.075);
  EXPECT_GT(half, 1.4 * low) << half << " vs " << low;
  EXPECT_LT(half, 3.0 * low) << half << " vs " << low;

  // At 15 fps frames closer than 60 ms to the last accepted one are skipped:
  // of twenty frames 7 ms apart, those at 0, 63 and 126 ms are encoded.
  std::vector<FramePtr> burst;
  for (int i = 0; i < 20; ++i) {
    auto f = noiseFrame(W, H, rng);
    f->captureMs = 5000 + i;  // tells them apart in the output
    burst.push_back(f);
  }
  rig.clear();
  t += 1;
  for (int i = 0; i < 20; ++i) rig.offerAt(t + 0.007 * i, burst[size_t(i)]);
  std::vector<double> taken;
  for (auto& e : rig.framesOnly()) taken.push_back(e.captureMs);
  EXPECT_EQ(taken, (std::vector<double>{5000, 5009, 5018}));

  // Offered at the same instant, back to back: only the first is encoded.
  rig.clear();
  t += 1;
  for (int i = 0; i < 5; ++i) rig.offerAt(t, burst[size_t(i)]);
  EXPECT_EQ(rig.frameCount(), 1u);
}

TEST(H264Encoder, FpsCapSkipsOfferedFramesUntilLifted) {
  std::mt19937 rng(3);
  const int W = 320, H = 240;
  Rig rig;
  rig.enc.start(W, H, 30, 1000000);
  // Made first, so that offering them back to back takes far less than the cap's half-second credit.
  std::vector<FramePtr> burst;
  for (int i = 0; i < 25; ++i) burst.push_back(noiseFrame(W, H, rng));
  rig.enc.setFpsCap(1);
  for (int i = 0; i < 20; ++i) rig.enc.encode(burst[i]);
  rig.enc.setFpsCap(0);
  for (int i = 20; i < 25; ++i) rig.enc.encode(burst[i]);
  // A start waits for everything queued before it, and hands out what x264 still holds.
  rig.enc.start(W, H, 30, 1000000);
  size_t n = rig.frameCount();
  EXPECT_GE(n, 1u + 5u);
  EXPECT_LE(n, 3u + 5u);
}
