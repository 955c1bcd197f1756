// ctest-labels: threaded
#include "app/Log.h"
#include "media/AvcConfig.h"
#include "rtc/TrackPipeline.h"
#include "session/InputTracker.h"
#include "support/Decode.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kTop = (1u << 24) - 1;

struct Event {
  bool config = false;
  std::vector<uint8_t> bytes;  // the record, or the access unit
  int w = 0, h = 0;
  bool key = false;
  double captureMs = 0;
};

// A pipeline on a clock of the test's own that moves 20 ms each time it is
// read, so pacing never skips a frame however fast the test offers them.
class Rig {
public:
  Rig() : tracker(std::make_shared<InputTracker>()), pipe(std::make_shared<TrackPipeline>(tracker)) {
    pipe->clockMs = [this] { return ms.fetch_add(20) + 20; };
    pipe->onMeta = [this](const std::string& text) {
      std::lock_guard<std::mutex> l(m);
      metas.push_back(text);
    };
    pipe->onConfig = [this](const std::vector<uint8_t>& avcC, int w, int h) {
      std::lock_guard<std::mutex> l(m);
      Event e;
      e.config = true;
      e.bytes = avcC;
      e.w = w;
      e.h = h;
      events.push_back(std::move(e));
    };
    pipe->onSample = [this](std::vector<uint8_t> au, bool key, double captureMs) {
      std::lock_guard<std::mutex> l(m);
      Event e;
      e.bytes = std::move(au);
      e.key = key;
      e.captureMs = captureMs;
      events.push_back(std::move(e));
    };
  }
  ~Rig() { pipe->waitIdle(); }

  void offer(FramePtr f) {
    pipe->push(std::move(f));
    pipe->waitIdle();
  }
  std::vector<std::string> takeMetas() {
    std::lock_guard<std::mutex> l(m);
    return std::exchange(metas, {});
  }
  std::vector<Event> all() {
    std::lock_guard<std::mutex> l(m);
    return events;
  }
  std::vector<Event> configs() {
    std::vector<Event> out;
    for (auto& e : all())
      if (e.config) out.push_back(e);
    return out;
  }
  size_t keys() {
    size_t n = 0;
    for (auto& e : all()) n += !e.config && e.key;
    return n;
  }
  std::vector<uint8_t> annexB();

  // Far ahead of the wall clock, so that a frame's capture time alone cuts
  // off the ids it shows.
  std::atomic<double> ms{epochMs() + 1e7};
  std::shared_ptr<InputTracker> tracker;
  std::shared_ptr<TrackPipeline> pipe;

private:
  std::mutex m;
  std::vector<std::string> metas;
  std::vector<Event> events;
};

// The events as a byte stream a decoder reads from a file.
std::vector<uint8_t> annexB(const std::vector<Event>& events) {
  std::vector<uint8_t> out;
  for (auto& e : events) {
    if (e.config) {
      std::vector<uint8_t> sps, pps;
      EXPECT_TRUE(AvcConfig::parse(e.bytes, sps, pps));
      for (auto* unit : {&sps, &pps}) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), unit->begin(), unit->end());
      }
      continue;
    }
    auto b = AvcConfig::annexB(e.bytes);
    EXPECT_TRUE(b);
    if (b) out.insert(out.end(), b->begin(), b->end());
  }
  return out;
}

std::vector<uint8_t> Rig::annexB() { return ::annexB(all()); }

// A smooth picture (a codec keeps it well): blue across, green down.
std::shared_ptr<Frame> picture(int w, int h, double captureMs = 0) {
  auto f = Frame::make(w, h);
  for (int y = 0; y < h; ++y) {
    uint8_t* p = f->row(y);
    for (int x = 0; x < w; ++x, p += 4) {
      p[0] = uint8_t(x * 255 / w);
      p[1] = uint8_t(y * 255 / h);
      p[2] = 128;
      p[3] = 255;
    }
  }
  f->captureMs = captureMs;
  return f;
}

ts::Decoded decode(const std::vector<uint8_t>& stream, int w, int h) {
  std::string dir = ts::makeTempDir("tolvane-trk");
  {
    std::ofstream f(dir + "/t.h264", std::ios::binary);
    f.write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
  }
  auto d = ts::decodeH264(dir + "/t.h264", w, h);
  ts::removeTree(dir);
  return d;
}

// A decoded picture back as a BGRA frame, the way the phone sees it.
Frame asFrame(const ts::Decoded& d, size_t k) {
  Frame f = *Frame::make(d.width, d.height);
  for (int y = 0; y < d.height; ++y)
    for (int x = 0; x < d.width; ++x) {
      ts::Rgb c = d.at(k, x, y);
      uint8_t* p = f.row(y) + x * 4;
      p[0] = uint8_t(c.b);
      p[1] = uint8_t(c.g);
      p[2] = uint8_t(c.r);
      p[3] = 255;
    }
  return f;
}

nlohmann::json parse(const std::string& text) { return nlohmann::json::parse(text); }

std::vector<nlohmann::json> ofType(const std::vector<std::string>& texts, const std::string& t) {
  std::vector<nlohmann::json> out;
  for (auto& s : texts) {
    auto j = parse(s);
    if (j.value("t", "") == t) out.push_back(j);
  }
  return out;
}

}  // namespace

TEST(TrackPipeline, StripDrawnAndReadAgainWithoutACodec) {
  for (uint32_t v : {0u, 1u, 5u, 0xAAAAAAu, 0x555555u, 0x800001u, kTop}) {
    auto f = picture(416, 32 + 32);
    TrackPipeline::drawStrip(*f, v);
    EXPECT_EQ(TrackPipeline::readStrip(*f), int64_t(v)) << v;
    // The picture above the strip is not touched.
    EXPECT_EQ(f->row(31)[0], 0);
    EXPECT_EQ(f->row(31)[4 * 415], 254);
  }
  // Without the start cell there is no number; too small a frame has none.
  auto f = picture(600, 64);
  TrackPipeline::drawStrip(*f, 5);
  for (int y = 32; y < 64; ++y) std::fill(f->row(y), f->row(y) + 16 * 4, 0);
  EXPECT_EQ(TrackPipeline::readStrip(*f), -1);
  EXPECT_EQ(TrackPipeline::readStrip(*picture(415, 64)), -1);
  EXPECT_EQ(TrackPipeline::readStrip(*picture(600, 31)), -1);
}

TEST(TrackPipeline, FrameNumbersReadBackFromTheDecodedTrack) {
  Rig rig;
  const int W = 640, H = 360;
  rig.pipe->setCounter(4);
  rig.offer(picture(W, H));
  rig.pipe->setCounter(kTop - 1);
  rig.offer(picture(W, H));
  rig.offer(picture(W, H));
  EXPECT_EQ(rig.pipe->pushed(), 3);

  auto cfg = rig.configs();
  ASSERT_EQ(cfg.size(), 1u);
  EXPECT_EQ(cfg[0].w, W);
  EXPECT_EQ(cfg[0].h, H + 32);
  auto d = decode(rig.annexB(), W, H + 32);
  EXPECT_EQ(d.warnings, "");
  ASSERT_EQ(d.frames.size(), 3u);

  std::vector<int64_t> read;
  for (size_t k = 0; k < 3; ++k) read.push_back(TrackPipeline::readStrip(asFrame(d, k)));
  EXPECT_EQ(read, (std::vector<int64_t>{5, kTop, 0}));

  // Cell by cell for 5: the start cell, then bits 2 and 0 as cells 21 and 23.
  auto litCells = [&](size_t k) {
    std::vector<int> lit;
    for (int c = 0; c < 26; ++c)
      if (ts::near(d.at(k, c * 16 + 8, H + 16), {255, 255, 255}, 40)) {
        lit.push_back(c);
      } else {
        EXPECT_TRUE(ts::near(d.at(k, c * 16 + 8, H + 16), {0, 0, 0}, 40)) << "cell " << c;
      }
    return lit;
  };
  EXPECT_EQ(litCells(0), (std::vector<int>{0, 2 + 21, 2 + 23}));
  EXPECT_EQ(litCells(1).size(), 25u);
  EXPECT_EQ(litCells(2), (std::vector<int>{0}));
  // The rest of the strip is black and the picture is the picture.
  EXPECT_TRUE(ts::near(d.at(2, 600, H + 16), {0, 0, 0}, 20));
  EXPECT_TRUE(ts::near(d.at(2, 320, 180), {128, 127, 127}, 20));
}

TEST(TrackPipeline, FrameMetadataCarriesNumbersAndTheIdsEachFrameShowsFirst) {
  Rig rig;
  const int W = 640, H = 360;
  for (int i = 1; i <= 7; ++i) rig.offer(picture(W, H, 1000.0 * i));
  auto metas = rig.takeMetas();
  ASSERT_EQ(metas.size(), 2u);
  EXPECT_EQ(metas[0], R"({"cell":16,"cells":26,"h":360,"strip":32,"t":"vcfg","w":640})");
  // Frame 6 says so without ids; 7 says nothing.
  EXPECT_EQ(metas[1], R"({"cap":6000.0,"ids":[],"n":6,"t":"fm"})");

  // An id handled before a frame comes with that frame and no later one.
  rig.tracker->mark(42);
  rig.offer(picture(W, H, epochMs() + 1));
  rig.offer(picture(W, H, epochMs() + 1));
  metas = rig.takeMetas();
  ASSERT_EQ(metas.size(), 1u);
  auto fm = parse(metas[0]);
  EXPECT_EQ(fm["n"], 8);
  EXPECT_EQ(fm["ids"], nlohmann::json::array({42}));

  // One handled after a frame's capture is not in that picture yet.
  const double captured = epochMs() - 50;
  rig.tracker->mark(43);
  rig.offer(picture(W, H, captured));
  EXPECT_TRUE(rig.takeMetas().empty());
  rig.offer(picture(W, H, epochMs() + 1));
  metas = rig.takeMetas();
  ASSERT_EQ(metas.size(), 1u);
  EXPECT_EQ(parse(metas[0])["n"], 11);
  EXPECT_EQ(parse(metas[0])["ids"], nlohmann::json::array({43}));

  // Frame 12: both the number and, asked for, the configuration again.
  rig.pipe->resendConfig();
  rig.offer(picture(W, H, 5.5));
  metas = rig.takeMetas();
  ASSERT_EQ(metas.size(), 2u);
  EXPECT_EQ(parse(metas[0])["t"], "vcfg");
  EXPECT_EQ(metas[1], R"({"cap":5.5,"ids":[],"n":12,"t":"fm"})");
  EXPECT_EQ(rig.pipe->pushed(), 12);
}

TEST(TrackPipeline, ConfigurationOnFirstFrameOnRequestAndOnEverySizeChange) {
  Rig rig;
  rig.offer(picture(1920, 1080));
  rig.offer(picture(1920, 1080));
  rig.pipe->resendConfig();
  rig.offer(picture(1920, 1080));
  rig.offer(picture(1280, 720));
  rig.offer(picture(1280, 720));

  auto vcfg = ofType(rig.takeMetas(), "vcfg");
  ASSERT_EQ(vcfg.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(vcfg[i]["w"], 1920);
    EXPECT_EQ(vcfg[i]["h"], 1080);
  }
  EXPECT_EQ(vcfg[2]["w"], 1280);
  EXPECT_EQ(vcfg[2]["h"], 720);
  EXPECT_EQ(vcfg[2]["strip"], 32);
  EXPECT_EQ(vcfg[2]["cell"], 16);
  EXPECT_EQ(vcfg[2]["cells"], 26);

  // The encoder restarted at the new size, each with a key frame.
  auto cfg = rig.configs();
  ASSERT_GE(cfg.size(), 2u);
  EXPECT_EQ(cfg.front().w, 1920);
  EXPECT_EQ(cfg.front().h, 1112);
  EXPECT_EQ(cfg.back().w, 1280);
  EXPECT_EQ(cfg.back().h, 752);
  auto ev = rig.all();
  for (size_t i = 0; i + 1 < ev.size(); ++i)
    if (ev[i].config) {
      EXPECT_TRUE(ev[i + 1].key);
    }
}

TEST(TrackPipeline, BadFramesAreDroppedWithoutCounting) {
  Rig rig;
  auto shortPixels = picture(640, 360);
  shortPixels->pixels.resize(100);
  auto narrowStride = picture(640, 360);
  narrowStride->stride = 100;
  for (FramePtr f : {FramePtr(), FramePtr(picture(415, 360)), FramePtr(picture(640, 361)),
                     FramePtr(picture(640, 0)), FramePtr(shortPixels), FramePtr(narrowStride)})
    rig.offer(f);
  EXPECT_EQ(rig.pipe->pushed(), 0);
  EXPECT_EQ(rig.pipe->dropped(), 0);
  EXPECT_TRUE(rig.takeMetas().empty());
  EXPECT_TRUE(rig.all().empty());
  // The narrowest frame that holds the strip goes through.
  rig.offer(picture(416, 240));
  EXPECT_EQ(rig.pipe->pushed(), 1);
  ASSERT_EQ(rig.configs().size(), 1u);
  EXPECT_EQ(rig.configs()[0].h, 272);

  // A size beyond H.264 is refused by the encoder: dropped, said once.
  std::mutex m;
  std::vector<std::string> lines;
  setLogTap([&](const std::string& l) {
    std::lock_guard<std::mutex> g(m);
    lines.push_back(l);
  });
  rig.offer(picture(16400, 2));
  rig.offer(picture(16400, 2));
  setLogTap(nullptr);
  EXPECT_EQ(rig.pipe->pushed(), 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[rtc] ", 0), 0u);
  rig.offer(picture(416, 240));
  EXPECT_EQ(rig.pipe->pushed(), 2);
}

TEST(TrackPipeline, AWallClockSetBackDoesNotStallTheTrack) {
  Rig rig;
  for (int i = 0; i < 6; ++i) {
    rig.offer(picture(640, 360));
    if (i == 2) rig.ms = rig.ms - 3600e3;
  }
  size_t samples = 0;
  for (auto& e : rig.all()) samples += !e.config;
  // The step itself reads as no time passed (one frame paced away at most);
  // the frames after it are all encoded.
  EXPECT_GE(rig.pipe->pushed(), 5);
  EXPECT_EQ(samples, size_t(rig.pipe->pushed()));
}

TEST(TrackPipeline, ASlowPipelineRefusesFramesBeyondItsBacklog) {
  Rig rig;
  // The first frame's "vcfg" holds the pipeline until the test has pushed all.
  std::mutex m;
  std::condition_variable cv;
  bool entered = false, release = false;
  rig.pipe->onMeta = [&](const std::string&) {
    std::unique_lock<std::mutex> l(m);
    entered = true;
    cv.notify_all();
    cv.wait(l, [&] { return release; });
  };
  auto big = picture(1920, 1080);
  rig.pipe->push(big);
  {
    std::unique_lock<std::mutex> l(m);
    ASSERT_TRUE(cv.wait_for(l, 60s, [&] { return entered; }));
  }
  // The same picture each time: making 199 large ones would only cost time.
  for (int i = 1; i < 200; ++i) rig.pipe->push(big);
  // One in work, one waiting: all the others are refused at once.
  EXPECT_EQ(rig.pipe->dropped(), 198);
  {
    std::lock_guard<std::mutex> l(m);
    release = true;
  }
  cv.notify_all();
  rig.pipe->waitIdle();
  EXPECT_EQ(rig.pipe->pushed(), 2);
  EXPECT_EQ(rig.pipe->pushed() + rig.pipe->dropped(), 200);
  // Once drained it takes frames again.
  rig.offer(big);
  EXPECT_EQ(rig.pipe->pushed(), 3);
  EXPECT_EQ(rig.pipe->dropped(), 198);
}

TEST(TrackPipeline, EncodesTheProfileTheAnswerChose) {
  struct Case {
    const char* id;
    uint8_t profile;
    size_t configs;  // a new profile restarts the encoder: a new configuration
  } cases[] = {{"42e01f", 0x42, 1}, {"42C01F", 0x42, 1}, {"4d001f", 0x4d, 2}, {"640c1f", 0x64, 3}};
  Rig rig;
  for (auto& c : cases) {
    SCOPED_TRACE(c.id);
    rig.pipe->setProfile(c.id);
    rig.offer(picture(640, 360));
    auto cfg = rig.configs();
    ASSERT_EQ(cfg.size(), c.configs);
    std::vector<uint8_t> sps, pps;
    ASSERT_TRUE(AvcConfig::parse(cfg.back().bytes, sps, pps));
    ASSERT_GE(sps.size(), 4u);
    EXPECT_EQ(sps[1], c.profile);
    // Constrained baseline: constraint_set1 set, so a 42e0 answer takes it.
    if (c.profile == 0x42) {
      EXPECT_TRUE(sps[2] & 0x40);
    }
  }
  EXPECT_EQ(TrackPipeline::x264Profile("58a01e"), "");
  EXPECT_EQ(TrackPipeline::x264Profile(""), "");
  // All of it decodes.
  auto d = decode(rig.annexB(), 640, 392);
  EXPECT_EQ(d.warnings, "");
  EXPECT_EQ(d.frames.size(), size_t(rig.pipe->pushed()));
}

TEST(TrackPipeline, ALowerScaleEncodesASmallerPictureWithAFullStrip) {
  struct Case {
    int w, h;
    double scale;
    int ow, oh;
  } cases[] = {{1920, 1080, 1.0, 1920, 1080}, {1280, 720, 0.5, 640, 360}, {1920, 1080, 0.1, 416, 234},
               {500, 300, 0.5, 416, 250},     {416, 240, 0.25, 416, 240}, {1366, 768, 0.75, 1024, 576}};
  for (auto& c : cases) {
    int ow = 0, oh = 0;
    TrackPipeline::outputSize(c.w, c.h, c.scale, ow, oh);
    EXPECT_EQ(ow, c.ow) << c.w << "x" << c.h << " at " << c.scale;
    EXPECT_EQ(oh, c.oh) << c.w << "x" << c.h << " at " << c.scale;
  }

  Rig rig;
  rig.offer(picture(1280, 720));
  rig.pipe->setRate(1000000, 30, 0.5);
  rig.offer(picture(1280, 720));
  rig.offer(picture(1280, 720));
  auto vcfg = ofType(rig.takeMetas(), "vcfg");
  ASSERT_EQ(vcfg.size(), 2u);
  EXPECT_EQ(vcfg[1]["w"], 640);
  EXPECT_EQ(vcfg[1]["h"], 360);
  auto cfg = rig.configs();
  ASSERT_GE(cfg.size(), 2u);
  EXPECT_EQ(cfg.back().w, 640);
  EXPECT_EQ(cfg.back().h, 392);

  // The small pictures' strips still read: decode the stream from the restart.
  auto ev = rig.all();
  size_t from = 0;
  for (size_t i = 0; i < ev.size(); ++i)
    if (ev[i].config && ev[i].w == 640) from = i;
  auto d = decode(annexB({ev.begin() + std::ptrdiff_t(from), ev.end()}), 640, 392);
  ASSERT_EQ(d.frames.size(), 2u);
  EXPECT_EQ(TrackPipeline::readStrip(asFrame(d, 0)), 2);
  EXPECT_EQ(TrackPipeline::readStrip(asFrame(d, 1)), 3);
}

TEST(TrackPipeline, AKeyFrameOnRequest) {
  Rig rig;
  for (int i = 0; i < 3; ++i) rig.offer(picture(640, 360));
  const size_t before = rig.keys();
  rig.pipe->requestKey();
  rig.pipe->waitIdle();
  EXPECT_GT(rig.keys(), before);
  auto ev = rig.all();
  ASSERT_FALSE(ev.empty());
  EXPECT_TRUE(ev.back().key);
}

TEST(TrackPipeline, FramesPacedAwayGetNoNumberAndEveryNumberIsEncoded) {
  Rig rig;
  rig.pipe->setRate(2000000, 10);
  // The rig's clock moves 20 ms a reading: a frame every 40 to 80 ms.
  for (int i = 0; i < 12; ++i) rig.offer(picture(640, 360));
  const int64_t pushed = rig.pipe->pushed();
  EXPECT_GE(pushed, 2);
  EXPECT_LT(pushed, 12);
  auto d = decode(rig.annexB(), 640, 392);
  ASSERT_EQ(d.frames.size(), size_t(pushed));
  for (size_t k = 0; k < d.frames.size(); ++k)
    EXPECT_EQ(TrackPipeline::readStrip(asFrame(d, k)), int64_t(k + 1));
}
