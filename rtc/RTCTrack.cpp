// The internet transport's video track: the transceiver of each session, the
// switch between track and data-channel delivery, the rate controller that
// stands in for the stack's own, and the answer's level rewrite.
#include "app/Log.h"
#include "app/Text.h"
#include "rtc/RTCTransport.h"
#include "rtc/TrackPipeline.h"
#include "rtc/TrackSdp.h"

using nlohmann::json;

bool RTCTransport::pushTrack(const FramePtr& frame) {
  std::shared_ptr<TrackPipeline> p;
  {
    std::lock_guard<std::mutex> l(tlock_);
    if (!trackActive_ || !pipe_) return false;
    p = pipe_;
  }
  p->push(frame);
  return true;
}

bool RTCTransport::trackActive() {
  std::lock_guard<std::mutex> l(tlock_);
  return trackActive_;
}

std::shared_ptr<TrackPipeline> RTCTransport::trackPipeline() {
  std::lock_guard<std::mutex> l(tlock_);
  return pipe_;
}

bool RTCTransport::setTrackActive(bool on) {
  std::lock_guard<std::mutex> l(tlock_);
  bool was = trackActive_;
  trackActive_ = on;
  return was;
}

void RTCTransport::addTrack() {
  if (!pc_ || !tracker) return;
  std::shared_ptr<TrackPipeline> pipe;
  {
    std::lock_guard<std::mutex> l(tlock_);
    pipe = pipe_;
  }
  if (!pipe) {
    pipe = std::make_shared<TrackPipeline>(tracker);
    std::weak_ptr<RTCTransport> w = weak_from_this();
    pipe->onMeta = [w](const std::string& text) {
      if (auto self = w.lock()) self->sendTextAll(text);
    };
    pipe->onConfig = [w](const std::vector<uint8_t>& avcC, int width, int height) {
      if (auto self = w.lock()) self->onTrackConfig(avcC, width, height);
    };
    pipe->onSample = [w](std::vector<uint8_t> au, bool key, double) {
      if (auto self = w.lock()) self->onTrackSample(au, key);
    };
    std::lock_guard<std::mutex> l(tlock_);
    pipe_ = pipe;
  }
  std::weak_ptr<TrackPipeline> wp = pipe;
  rtc::VideoTrackEvents events;
  events.onKeyRequest = [wp] {
    if (auto p = wp.lock()) p->requestKey();
  };
  auto prefs = rtc::h264Preferences(rtc::trackSenderCapabilities());
  trackSender_ = pc_->addVideoTrack(rtc::trackVariants(prefs), std::move(events));
  if (!trackSender_) {
    logf("[rtc] 映像トランシーバー作成失敗");
    return;
  }
  {
    std::lock_guard<std::mutex> l(tlock_);
    sink_ = trackSender_;
  }
  applySenderParams();
}

void RTCTransport::applySenderParams() {
  if (!trackSender_) return;
  rtc::TrackRateConfig cfg;
  cfg.minBps = trackMinBps;
  cfg.startBps = trackStartBps;
  cfg.maxBps = trackMaxBps;
  cfg.maxFps = trackFps;
  cfg.degradation = degradation;
  cfg.screencast = screencastHint;
  trackRate_.emplace(cfg);
  rtc::TrackTarget t = trackRate_->reset();
  trackTargetBps_ = t.bps;
  trackTargetFps_ = t.fps;
  if (auto p = trackPipeline()) p->setRate(t.bps, t.fps, t.scale);
}

void RTCTransport::forgetTrack() {
  {
    std::lock_guard<std::mutex> l(tlock_);
    trackActive_ = false;
    sink_.reset();
  }
  if (trackSender_) trackSender_->detach();
  trackSender_.reset();
  trackRate_.reset();
}

void RTCTransport::applyMode(const std::string& req) {
  std::string use = "dc";
  bool was = false;
  auto pipe = trackPipeline();
  if (videoMode == "dc" || !pipe || !trackSender_) {
    was = setTrackActive(false);
  } else if (videoMode == "track" || req == "track") {
    setTrackActive(true);
    pipe->resendConfig();
    pipe->requestKey();
    applySenderParams();
    use = "track";
  } else {
    was = setTrackActive(false);
  }
  // The data channel's frames were dropped while the track ran: the phone's
  // decoder must start again from a key frame, not from a delta.
  if (was && use == "dc" && conn_) {
    conn_->needKey = true;
    if (onNeedKey) onNeedKey();
  }
  ev("video_mode", {{"req", req}, {"use", use}, {"mode_opt", videoMode}, {"degradation", degradation}});
  if (conn_) sendText(conn_, jsonText({{"t", "video"}, {"v", use}}));
}

void RTCTransport::trackFeedback(double now) {
  if (!trackSender_ || !trackRate_ || !trackActive()) return;
  auto fb = trackSender_->feedback(now);
  if (!fb) return;
  auto t = trackRate_->feed(*fb);
  if (!t) return;
  trackTargetBps_ = t->bps;
  trackTargetFps_ = t->fps;
  if (auto p = trackPipeline()) p->setRate(t->bps, t->fps, t->scale);
  ev("track_rate", {{"bps", t->bps}, {"fps", t->fps}, {"scale", t->scale}});
}

std::string RTCTransport::answerForTrack(const std::string& sdp) {
  if (!trackSender_) return sdp;
  std::string raised = rtc::raiseH264Level(sdp);
  if (raised != sdp)
    ev("sdp_level_raised", {{"before", rtc::h264Fmtp(sdp)}, {"after", rtc::h264Fmtp(raised)}});
  return raised;
}

void RTCTransport::trackAnswered() {
  if (!trackSender_) return;
  auto chosen = trackSender_->chosen();
  auto pipe = trackPipeline();
  if (chosen && pipe) pipe->setProfile(chosen->profileLevelId);
}

void RTCTransport::onTrackConfig(const std::vector<uint8_t>& avcC, int w, int h) {
  rtc::VideoTrackPtr sink;
  {
    std::lock_guard<std::mutex> l(tlock_);
    sink = sink_;
  }
  trackW_ = w;
  trackH_ = h;
  if (sink) sink->setConfig(avcC, w, h);
}

void RTCTransport::onTrackSample(const std::vector<uint8_t>& au, bool key) {
  rtc::VideoTrackPtr sink;
  std::shared_ptr<TrackPipeline> pipe;
  {
    std::lock_guard<std::mutex> l(tlock_);
    sink = sink_;
    pipe = pipe_;
  }
  ++trackFrames_;
  if (key) ++trackKeys_;
  // A refused unit leaves the phone without a reference: start again.
  if (sink && !sink->push(au, key) && pipe) pipe->requestKey();
}

json RTCTransport::trackCounters() const {
  json c = {{"framesEncoded", trackFrames_.load()}, {"keyFramesEncoded", trackKeys_.load()}};
  if (trackW_ > 0) c["frameWidth"] = trackW_.load();
  if (trackH_ > 0) c["frameHeight"] = trackH_.load();
  if (trackTargetBps_ > 0) c["targetBitrate"] = trackTargetBps_;
  c["encoderImplementation"] = "x264";
  return c;
}
