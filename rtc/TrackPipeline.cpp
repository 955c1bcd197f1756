#include "rtc/TrackPipeline.h"

#include "app/Log.h"
#include "app/SerialQueue.h"
#include "media/H264Encoder.h"
#include "session/InputTracker.h"

#include <libyuv.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace {


bool usable(const Frame& f) {
  if (f.width < TrackPipeline::kMinWidth || f.height < 2 || f.height % 2 != 0) return false;
  if (f.stride < f.width * 4) return false;
  size_t need = static_cast<size_t>(f.stride) * (f.height - 1) + static_cast<size_t>(f.width) * 4;
  return f.pixels.size() >= need;
}

int even(double v) { return std::max(2, static_cast<int>(std::lround(v / 2)) * 2); }

void fillCell(Frame& f, int cell, uint8_t value) {
  const int top = f.height - TrackPipeline::kStrip;
  for (int y = top; y < f.height; ++y)
    std::memset(f.row(y) + static_cast<size_t>(cell) * TrackPipeline::kCell * 4, value,
                TrackPipeline::kCell * 4);
}

}  // namespace

TrackPipeline::TrackPipeline(std::shared_ptr<InputTracker> tracker)
    : q_(std::make_shared<SerialQueue>("trk")), tracker_(std::move(tracker)) {}

TrackPipeline::~TrackPipeline() {
  // The queue goes first: work still queued may hand frames to the encoder.
  q_->shutdown();
  enc_.reset();
}

void TrackPipeline::push(FramePtr frame) {
  if (!frame || !usable(*frame)) return;
  // Each frame is encoded before the next one starts: a pipeline slower than
  // capture would otherwise pile up full-size frames and show the screen ever
  // later. Two at most wait; the rest are refused here, before numbering.
  if (inflight_.fetch_add(1) >= kMaxBacklog) {
    inflight_.fetch_sub(1);
    dropped_.fetch_add(1);
    return;
  }
  q_->post([this, frame = std::move(frame)] {
    process(frame);
    inflight_.fetch_sub(1);
  });
}

void TrackPipeline::resendConfig() {
  q_->post([this] { cfgSent_ = false; });
}

void TrackPipeline::requestKey() {
  q_->post([this] {
    if (!enc_ || encW_ == 0) return;  // a new encoder starts with one anyway
    enc_->requestKeyframe();
    // The key frame is the encoder's last frame again: out before waitIdle returns.
    enc_->waitIdle();
  });
}

void TrackPipeline::setRate(int64_t bps, int64_t fps, double scale) {
  q_->post([this, bps, fps, scale] {
    bps_ = std::max<int64_t>(bps, 1000);
    fps_ = std::max<int64_t>(fps, 1);
    scale_ = std::isfinite(scale) ? std::clamp(scale, 0.01, 1.0) : 1.0;
    // A new scale takes effect with the next frame, which restarts the encoder.
    if (enc_ && encW_ > 0) enc_->setRate(bps_, fps_);
  });
}

void TrackPipeline::setProfile(const std::string& profileLevelId) {
  std::string name = x264Profile(profileLevelId);
  q_->post([this, name] {
    if (name == profile_) return;
    profile_ = name;
    failedW_ = failedH_ = 0;
    // The stream must match what the answer accepted: restart on the next frame.
    encW_ = encH_ = 0;
  });
}

void TrackPipeline::setCounter(uint32_t value) {
  q_->post([this, value] { counter_ = value & kCounterMask; });
}

void TrackPipeline::waitIdle() { q_->sync([] {}); }

std::string TrackPipeline::x264Profile(const std::string& profileLevelId) {
  if (profileLevelId.size() < 2) return "";
  std::string idc = profileLevelId.substr(0, 2);
  std::transform(idc.begin(), idc.end(), idc.begin(), [](unsigned char c) { return std::tolower(c); });
  // x264's baseline is constrained baseline, which every baseline decoder takes.
  if (idc == "42") return "baseline";
  if (idc == "4d") return "main";
  if (idc == "64") return "high";
  return "";
}

void TrackPipeline::outputSize(int w, int h, double scale, int& ow, int& oh) {
  if (scale >= 1.0) {
    ow = w;
    oh = h;
    return;
  }
  ow = std::clamp(even(w * scale), std::min(w, kMinWidth), w);
  oh = std::min(h, even(double(h) * ow / w));
}

void TrackPipeline::drawStrip(Frame& frame, uint32_t counter) {
  if (frame.height < kStrip || frame.width < kMinWidth) return;
  const int top = frame.height - kStrip;
  for (int y = top; y < frame.height; ++y) {
    uint8_t* row = frame.row(y);
    std::memset(row, 0, static_cast<size_t>(frame.width) * 4);
    // Opaque black; the colour bytes alone decide what the phone reads.
    for (int x = 0; x < frame.width; ++x) row[x * 4 + 3] = 255;
  }
  fillCell(frame, 0, 255);
  for (int j = 0; j < 24; ++j)
    if (counter & (1u << (23 - j))) fillCell(frame, 2 + j, 255);
}

int64_t TrackPipeline::readStrip(const Frame& frame) {
  if (frame.height < kStrip || frame.width < kMinWidth || frame.stride < frame.width * 4) return -1;
  if (frame.pixels.size() < static_cast<size_t>(frame.stride) * frame.height) return -1;
  const int top = frame.height - kStrip;
  // The middle of each cell, away from the edges a decoder smears.
  auto lit = [&](int cell) {
    int sum = 0, n = 0;
    for (int y = top + 8; y < top + 24; ++y) {
      const uint8_t* p = frame.row(y) + static_cast<size_t>(cell * kCell + 4) * 4;
      for (int x = 0; x < kCell - 8; ++x, p += 4, ++n) sum += (p[0] + p[1] + p[2]) / 3;
    }
    return sum / n >= 128;
  };
  if (!lit(0)) return -1;
  int64_t v = 0;
  for (int j = 0; j < 24; ++j) v = (v << 1) | (lit(2 + j) ? 1 : 0);
  return v;
}

bool TrackPipeline::ensureEncoder(int w, int h) {
  if (enc_ && encW_ == w && encH_ == h) return true;
  if (!enc_) {
    // No tracker: the ids belong to the "fm" texts, which this pipeline sends.
    enc_ = std::make_unique<H264Encoder>(nullptr);
    // Read on the encoder's queue while process() waits for it.
    enc_->clock = [this] { return encClock_; };
    enc_->onConfig = [this](const std::string&, const std::vector<uint8_t>& desc, int cw, int ch) {
      if (onConfig) onConfig(desc, cw, ch);
    };
    enc_->onFrame = [this](std::vector<uint8_t> au, bool key, double captureMs, std::vector<uint32_t>) {
      if (onSample) onSample(std::move(au), key, captureMs);
    };
  }
  if (w == failedW_ && h == failedH_) return false;  // said once is enough
  enc_->setProfile(profile_);
  enc_->setRate(bps_, fps_);
  try {
    enc_->start(w, h, fps_, bps_);
  } catch (const std::exception& e) {
    logf(std::string("[rtc] トラック用エンコーダー開始失敗 ") + e.what());
    enc_->stop();
    encW_ = encH_ = 0;
    failedW_ = w;
    failedH_ = h;
    return false;
  }
  failedW_ = failedH_ = 0;
  encW_ = w;
  encH_ = h;
  return true;
}

double TrackPipeline::paceSeconds() {
  double raw;
  if (clockMs) {
    raw = clockMs() / 1000.0;
  } else {
    using namespace std::chrono;
    raw = duration<double>(steady_clock::now().time_since_epoch()).count();
  }
  // A wall clock set back must not read as "too soon" until it catches up:
  // the encoder would skip every frame meanwhile. Carry on from where it was.
  if (raw < lastRaw_) paceShift_ += lastRaw_ - raw;
  lastRaw_ = raw;
  return raw + paceShift_;
}

void TrackPipeline::process(const FramePtr& frame) {
  // The frame rate is kept here rather than left to the encoder, so that a
  // frame it would skip never gets a number (and ids) the phone cannot see.
  // The encoder reads the same time and so comes to the same decision.
  const double t = paceSeconds();
  if (t - lastEncAt_ < 0.9 / double(fps_)) return;

  const int w = frame->width, h = frame->height;
  int ow = w, oh = h;
  outputSize(w, h, scale_, ow, oh);
  if (!ensureEncoder(ow, oh + kStrip)) return;

  auto out = Frame::make(ow, oh + kStrip);
  const double now = clockMs ? clockMs() : epochMs();
  out->captureMs = frame->captureMs > 0 ? frame->captureMs : now;
  if (ow == w && oh == h) {
    for (int y = 0; y < h; ++y) std::memcpy(out->row(y), frame->row(y), static_cast<size_t>(w) * 4);
  } else {
    libyuv::ARGBScale(frame->pixels.data(), frame->stride, w, h, out->pixels.data(), out->stride, ow,
                      oh, libyuv::kFilterBox);
  }

  // An input handled after the capture is not in this picture: cut the ids
  // off at the capture time, as the main encoder does.
  std::vector<uint32_t> ids;
  if (tracker_) ids = tracker_->take(std::min(now, out->captureMs));
  counter_ = (counter_ + 1) & kCounterMask;
  drawStrip(*out, counter_);

  if (ow != lastW_ || oh != lastH_) {
    lastW_ = ow;
    lastH_ = oh;
    cfgSent_ = false;
  }
  if (!cfgSent_ && onMeta)
    onMeta(jsonText({{"t", "vcfg"}, {"w", ow}, {"h", oh}, {"strip", kStrip}, {"cell", kCell},
                     {"cells", kCells}}));
  cfgSent_ = true;
  if ((!ids.empty() || counter_ % 6 == 0) && onMeta)
    onMeta(jsonText({{"t", "fm"}, {"n", counter_}, {"cap", out->captureMs}, {"ids", ids}}));

  lastEncAt_ = t;
  encClock_ = t;
  enc_->encode(out);
  pushed_.fetch_add(1);
  // Encoding inside this frame's turn keeps the backlog bound honest: a slow
  // encoder then refuses frames at push instead of queueing them unseen.
  enc_->waitIdle();
}
