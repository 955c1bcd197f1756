// The internet transport's video over the "video" data channel: drop rules,
// chunks, the simulated bottleneck and the 250 ms session tick that drives
// key-frame requests, heartbeats, rate control, statistics and the watchdog.
#include "app/Log.h"
#include "rtc/RTCTransport.h"
#include "rtc/SendRule.h"
#include "rtc/VideoChunks.h"

#include <algorithm>

double RTCTransport::nowMs() const { return clockMs ? clockMs() : epochMs(); }

int64_t RTCTransport::queued() const {
  int64_t q = vid_ ? static_cast<int64_t>(std::min<uint64_t>(vid_->bufferedAmount(), INT64_MAX / 2)) : 0;
  return q + std::max<int64_t>(0, sim_.queueBytes());
}

void RTCTransport::setSimDraw(std::function<double()> draw) {
  q_->sync([&] { sim_.draw = std::move(draw); });
}

void RTCTransport::sendVideo(std::shared_ptr<const Bytes> data, bool key) {
  if (!data) return;
  q_->post([w = weak_from_this(), data = std::move(data), key] {
    if (auto self = w.lock()) self->sendVideoNow(*data, key);
  });
}

void RTCTransport::sendVideoNow(const Bytes& data, bool key) {
  if (!conn_ || !conn_->wantsVideo) return;
  if (trackActive()) return;  // the track carries the video
  if (!isOpen(vid_)) return;
  int64_t q = queued();
  rc_.peakBuf = std::max(rc_.peakBuf, q);
  auto d = rtc::decideSend({static_cast<uint64_t>(q), key, conn_->needKey, rc_.rate, legacySend, data.size()});
  conn_->needKey = d.needKey;
  rc_.dropsP += d.dropsP;
  rc_.dropsK += d.dropsK;
  if (d.askKeyNow && onNeedKey) onNeedKey();
  if (!d.send) return;
  rc_.sentBytes += static_cast<int64_t>(data.size());
  ++frameSeq_;
  uint16_t count = *rtc::chunkCount(data.size());
  auto vid = vid_;
  for (uint16_t i = 0; i < count; ++i) emit(rtc::videoChunk(frameSeq_, i, count, data.data(), data.size()), true, vid);
}

void RTCTransport::emit(const std::string& data, bool binary, const rtc::DataChannelPtr& ch) {
  double now = nowMs() / 1000;
  if (sim_.blackedOut(now)) return;
  if (!sim_.shaping()) {
    sendOn(ch, data, binary);
    return;
  }
  std::weak_ptr<RTCTransport> w = weak_from_this();
  std::weak_ptr<rtc::DataChannel> wc = ch;
  auto ticket = sim_.hold(data.size(), binary, now, [w, wc, data, binary] {
    auto self = w.lock();
    auto c = wc.lock();
    if (self && c) self->sendOn(c, data, binary);
  });
  after(ticket.after, [w, ticket] {
    if (auto self = w.lock()) self->sim_.release(ticket);
  });
}

void RTCTransport::rateOpen() {
  double now = nowMs();
  if (!sim_.t0) sim_.t0 = now / 1000;
  rc_.rateStart = rateStart;
  rc_.rateMax = rateMax;
  rc_.adaptive = adaptive;
  if (auto r = rc_.open(now)) onRate(*r);
}

void RTCTransport::startTick() {
  cancelTick();
  tickN_ = 0;
  tick_ = QueueTimer::repeating(*q_, scaled(0.25), scaled(0.25), [w = weak_from_this()] {
    if (auto self = w.lock()) self->onTick();
  });
}

void RTCTransport::cancelTick() {
  if (tick_) tick_->cancel();
  tick_.reset();
}

void RTCTransport::runTick() {
  q_->sync([this] { onTick(); });
}

void RTCTransport::onTick() {
  if (!conn_ || !vid_ || !isOpen(ctl_)) return;
  ++tickN_;
  double now = nowMs();
  int64_t q = queued();
  // The key frame for earlier drops is asked for once the channel drained,
  // or it would only be dropped in turn.
  if (!legacySend && conn_->needKey && q < std::max<int64_t>(30000, rc_.rate / 80) && now - lastKeyReq_ > 250) {
    lastKeyReq_ = now;
    if (onNeedKey) onNeedKey();
  }
  if (tickN_ % 8 == 0 && ctl_) emit(R"({"t":"hb"})", false, ctl_);
  if (tickN_ % 4 == 0) adapt(now);
  trackFeedback(now);
  if (tickN_ % 20 == 0) snapshotStats("periodic");
  // adapt or the snapshot may have ended the session.
  if (!conn_) return;
  if (now - lastRxAt_ > 8000) {
    ev("no_message_8s");
    dropPeerAfterConnect("no_message_8s");
  }
}

void RTCTransport::adapt(double now) {
  auto step = rc_.adapt(now, rtc::RateController::qdOf(rep_, repAt_, now));
  if (step.event) ev("rate", *step.event);
  if (step.apply) onRate(*step.apply);
}
