#include "media/H264Encoder.h"

#include "app/Loc.h"
#include "app/Log.h"
#include "media/AvcConfig.h"
#include "session/InputTracker.h"

#include <libyuv.h>
#include <x264.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>

namespace {

constexpr int kMaxSide = 16384;
// Frame size limit of H.264's largest levels (6.0 to 6.2), in macroblocks.
constexpr int64_t kMaxMacroblocks = 139264;
constexpr int64_t kMaxFps = 1000;
constexpr int64_t kMaxKbps = 1000000;

double uptimeSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int64_t clampFps(int64_t fps) { return std::clamp<int64_t>(fps, 1, kMaxFps); }

void x264Log(void*, int level, const char* fmt, va_list args) {
  if (level > X264_LOG_WARNING) return;
  char buf[512];
  std::vsnprintf(buf, sizeof buf, fmt, args);
  std::string text(buf);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  logf("[enc] x264: " + text);
}

// ABR with a VBV cap of 1.5 x the average over a one-second window. The cap
// must be set from the start: x264 cannot switch VBV on later.
void setBitrate(x264_param_t& p, double bitsPerSecond) {
  double kbps = std::clamp(bitsPerSecond / 1000.0, 1.0, double(kMaxKbps));
  p.rc.i_rc_method = X264_RC_ABR;
  p.rc.i_bitrate = static_cast<int>(kbps);
  p.rc.i_vbv_max_bitrate = static_cast<int>(kbps * 1.5);
  p.rc.i_vbv_buffer_size = static_cast<int>(kbps * 1.5);
}

bool validFrame(const Frame& f) {
  if (f.width < 1 || f.height < 1 || f.stride < f.width * 4) return false;
  size_t need = static_cast<size_t>(f.stride) * (f.height - 1) + static_cast<size_t>(f.width) * 4;
  return f.pixels.size() >= need;
}

}  // namespace

struct H264Encoder::Session {
  x264_t* enc = nullptr;
  x264_param_t param{};
  x264_picture_t pic{};
  bool picReady = false;
  bool paramReady = false;
  ~Session() {
    if (picReady) x264_picture_clean(&pic);
    if (enc) x264_encoder_close(enc);
    // The preset allocates strings inside the parameters.
    if (paramReady) x264_param_cleanup(&param);
  }
};

H264Encoder::H264Encoder(std::shared_ptr<InputTracker> tracker, std::string preset)
    : tracker(std::move(tracker)), preset(std::move(preset)) {}

H264Encoder::~H264Encoder() {
  // Closing without draining: the owner is going away and wants no callbacks.
  q.sync([this] { session.reset(); });
  q.shutdown();
}

void H264Encoder::setPreset(const std::string& name) {
  q.post([this, name] { preset = name; });
}

void H264Encoder::setProfile(const std::string& name) {
  q.post([this, name] { profile = name; });
}

void H264Encoder::start(int w, int h, int64_t fps, int64_t bitrate) {
  int status = 0;
  // On the queue, behind any stop() posted before, so that stop cannot close
  // the encoder opened here; x264 is also only ever touched from one thread.
  q.sync([&] {
    if (desiredFps) minInterval = 0.9 / double(std::max<int64_t>(*desiredFps, 1));
    const int64_t f = clampFps(desiredFps.value_or(fps));
    const int64_t b = desiredBitrate.value_or(bitrate);
    int64_t mbs = ((int64_t(w) + 15) / 16) * ((int64_t(h) + 15) / 16);
    if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide || mbs > kMaxMacroblocks) {
      status = -2;
      return;
    }
    auto s = std::make_unique<Session>();
    x264_param_t& p = s->param;
    s->paramReady = true;  // even a refused preset leaves strings to free
    if (x264_param_default_preset(&p, preset.c_str(), "zerolatency") < 0) {
      status = -1;
      return;
    }
    p.pf_log = x264Log;
    p.i_log_level = X264_LOG_WARNING;
    p.i_width = w;
    p.i_height = h;
    p.i_csp = X264_CSP_I420;
    // Frame threads would add a frame of delay each; slices do not.
    p.i_threads = X264_THREADS_AUTO;
    p.b_sliced_threads = 1;
    p.i_bframe = 0;
    p.rc.i_lookahead = 0;
    p.i_sync_lookahead = 0;
    p.i_scenecut_threshold = 0;  // key frames only on schedule and on request
    p.b_vfr_input = 0;
    p.i_fps_num = static_cast<uint32_t>(f);
    p.i_fps_den = 1;
    p.i_timebase_num = 1;
    p.i_timebase_den = static_cast<uint32_t>(f);
    p.i_keyint_max = static_cast<int>(2 * f);
    p.b_annexb = 0;  // 4-byte big-endian lengths instead of start codes
    p.b_repeat_headers = 0;
    // BT.601 limited range, as libyuv converts; browsers guess wrong without it.
    p.vui.b_fullrange = 0;
    p.vui.i_colorprim = 6;
    p.vui.i_transfer = 6;
    p.vui.i_colmatrix = 6;
    setBitrate(p, double(b));
    if (!profile.empty()) {
      // x264 only ever lowers the profile to fit the tools used: High needs
      // the 8x8 transform switched on to be High.
      if (profile == "high") p.analyse.b_transform_8x8 = 1;
      if (x264_param_apply_profile(&p, profile.c_str()) < 0) {
        status = -3;
        return;
      }
    }
    s->enc = x264_encoder_open(&p);
    if (!s->enc) {
      status = -3;
      return;
    }
    x264_nal_t* nals = nullptr;
    int count = 0;
    std::vector<uint8_t> sps, pps;
    if (x264_encoder_headers(s->enc, &nals, &count) >= 0) {
      for (int i = 0; i < count; ++i) {
        const x264_nal_t& n = nals[i];
        if (n.i_payload <= 4) continue;
        std::vector<uint8_t> body(n.p_payload + 4, n.p_payload + n.i_payload);  // past the length
        if (n.i_type == NAL_SPS && sps.empty()) sps = std::move(body);
        if (n.i_type == NAL_PPS && pps.empty()) pps = std::move(body);
      }
    }
    auto config = AvcConfig::from(sps, pps);
    if (!config) {
      status = -4;
      return;
    }
    if (x264_picture_alloc(&s->pic, X264_CSP_I420, w, h) < 0) {
      status = -3;
      return;
    }
    s->picReady = true;
    // Keep the encoder's own view of its parameters for later reconfiguration.
    x264_encoder_parameters(s->enc, &s->param);

    if (session) drain(*session);
    session = std::move(s);
    width = w;
    height = h;
    openedFps = f;
    codec = config->codec;
    description = config->description;
    pending.clear();
    forceKey = true;
  });
  if (status != 0)
    throw std::runtime_error(
        Loc::fill(Loc::tr("Could not create the H.264 encoder (%d)"), std::to_string(status)));
}

void H264Encoder::stop() {
  q.post([this] {
    if (session) drain(*session);
    session.reset();
    lastBuffer.reset();
    pending.clear();
  });
}

void H264Encoder::setRate(int64_t bitrate, int64_t fps) {
  q.post([this, bitrate, fps] {
    desiredBitrate = bitrate;
    desiredFps = fps;
    minInterval = 0.9 / double(std::max<int64_t>(fps, 1));
    if (session) applyRate();
  });
}

void H264Encoder::setFpsCap(int64_t fps) {
  q.post([this, fps] { capGate.setRate(double(std::clamp<int64_t>(fps, 0, kMaxFps))); });
}

void H264Encoder::applyRate() {
  // x264 cannot change its frame rate, so frames arrive at the paced rate but
  // are budgeted at the opened one: scale the bitrate to make up for it.
  const int64_t paced = clampFps(desiredFps.value_or(openedFps));
  const double bits = double(desiredBitrate.value_or(session->param.rc.i_bitrate * int64_t(1000)));
  x264_param_t p;
  x264_encoder_parameters(session->enc, &p);
  setBitrate(p, bits * double(openedFps) / double(paced));
  int rc = x264_encoder_reconfig(session->enc, &p);
  if (rc < 0) {
    logf("[enc] プロパティ設定失敗 bitrate = " + std::to_string(rc));
    return;
  }
  session->param = p;
}

void H264Encoder::encode(FramePtr frame) {
  if (!latestOnly) {
    q.post([this, frame = std::move(frame)] { offer(frame); });
    return;
  }
  {
    std::lock_guard<std::mutex> l(nextLock);
    bool waiting = nextFrame != nullptr;
    nextFrame = std::move(frame);
    if (waiting) return;  // the queued pass will take the newer frame
  }
  q.post([this] {
    FramePtr frame;
    {
      std::lock_guard<std::mutex> l(nextLock);
      frame = std::move(nextFrame);
      nextFrame = nullptr;
    }
    offer(frame);
  });
}

void H264Encoder::offer(const FramePtr& frame) {
  if (!frame || !validFrame(*frame)) return;
  lastBuffer = frame;
  const double at = now();
  if (minInterval > 0 && at - lastEncAt < minInterval) return;
  if (!capGate.admit(at)) return;
  if (minInterval > 0) lastEncAt = at;
  encodeNow(frame);
}

void H264Encoder::requestKeyframe() {
  q.post([this] {
    forceKey = true;
    if (lastBuffer) encodeNow(lastBuffer);
  });
}

void H264Encoder::waitIdle() {
  q.sync([] {});
}

double H264Encoder::now() const { return clock ? clock() : uptimeSeconds(); }

void H264Encoder::encodeNow(const FramePtr& frame) {
  if (!session) return;
  const double capMs = frame->captureMs > 0 ? frame->captureMs : epochMs();
  std::vector<uint32_t> ids;
  if (tracker) ids = tracker->take(capMs);

  const uint8_t* src = frame->pixels.data();
  int srcStride = frame->stride;
  if (frame->width != width || frame->height != height) {
    // A size change mid-stream (display reconfigured before the owner restarts
    // us): keep the stream going at the opened size rather than drop frames.
    scaled.resize(static_cast<size_t>(width) * height * 4);
    libyuv::ARGBScale(src, srcStride, frame->width, frame->height, scaled.data(), width * 4, width,
                      height, libyuv::kFilterBox);
    src = scaled.data();
    srcStride = width * 4;
  }
  x264_picture_t& pic = session->pic;
  // libyuv's "ARGB" is B, G, R, A in memory, and converts with BT.601 limited range.
  libyuv::ARGBToI420(src, srcStride, pic.img.plane[0], pic.img.i_stride[0], pic.img.plane[1],
                     pic.img.i_stride[1], pic.img.plane[2], pic.img.i_stride[2], width, height);
  // x264 counts its key-frame interval in encoded frames; a screen that
  // changes rarely delivers few of them, so the 2 s bound is kept by time.
  const double at = now();
  if (at - lastKeyAt >= kKeyInterval) forceKey = true;
  if (forceKey) lastKeyAt = at;
  pic.i_type = forceKey ? X264_TYPE_IDR : X264_TYPE_AUTO;
  forceKey = false;
  pic.i_pts = nextPts++;
  pending[pic.i_pts] = Pending{capMs, std::move(ids)};

  x264_nal_t* nals = nullptr;
  int count = 0;
  x264_picture_t out;
  int bytes = x264_encoder_encode(session->enc, &nals, &count, &pic, &out);
  if (bytes < 0) {
    logf("[enc] encode失敗 " + std::to_string(bytes));
    pending.erase(pic.i_pts);
    return;
  }
  if (bytes > 0 && count > 0)
    handle(std::vector<uint8_t>(nals[0].p_payload, nals[0].p_payload + bytes), out.i_pts,
           out.b_keyframe != 0);
}

void H264Encoder::drain(Session& s) {
  while (x264_encoder_delayed_frames(s.enc) > 0) {
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    int bytes = x264_encoder_encode(s.enc, &nals, &count, nullptr, &out);
    if (bytes < 0) break;
    if (bytes > 0 && count > 0)
      handle(std::vector<uint8_t>(nals[0].p_payload, nals[0].p_payload + bytes), out.i_pts,
             out.b_keyframe != 0);
  }
}

void H264Encoder::handle(std::vector<uint8_t> bytes, int64_t pts, bool key) {
  Pending meta{epochMs(), {}};
  if (auto it = pending.find(pts); it != pending.end()) meta = std::move(it->second);
  // Output is in input order; anything older than this frame will not come.
  pending.erase(pending.begin(), pending.upper_bound(pts));
  if (key && onConfig) onConfig(codec, description, width, height);
  if (onFrame) onFrame(std::move(bytes), key, meta.captureMs, std::move(meta.ids));
}
