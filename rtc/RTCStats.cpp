// The internet transport's statistics: the success record with its route,
// the route message for the phone and the "stats" snapshots.
#include "app/Log.h"
#include "rtc/RTCTransport.h"
#include "rtc/Route.h"
#include "rtc/StatsSnapshot.h"
#include "rtc/TrackPipeline.h"

using nlohmann::json;

std::string RTCTransport::ipKind(const std::string& address) { return rtc::ipKind(address); }

std::optional<bool> RTCTransport::sameLan(const std::string& l, const std::string& r) { return rtc::sameLan(l, r); }

void RTCTransport::snapshotStats(const std::string& tag) {
  if (!pc_) return;
  rtc::SnapshotInput in;
  in.tag = tag;
  in.buffered = vid_ ? queued() : 0;
  in.rateLog = rc_.rateLog;
  in.rep = rep_;
  std::weak_ptr<RTCTransport> w = weak_from_this();
  uint64_t g = gen_;
  pc_->getStats([w, g, in = std::move(in)](json report) {
    auto self = w.lock();
    if (!self) return;
    self->q_->post([w, g, in, report = std::move(report)]() mutable {
      auto self = w.lock();
      // A later session has its own sid; this one's figures are not its.
      if (!self || g != self->gen_) return;
      // The pipeline's counters as they are now, not at the request.
      if (auto p = self->trackPipeline()) in.pipeline = std::make_pair(p->pushed(), p->dropped());
      if (self->trackSender_) in.trackEncoder = self->trackCounters();
      self->ev("stats", rtc::snapshotFields(in, report));
    });
  });
}

// Statistics for the success record, requested when ICE connects.
void RTCTransport::onConnectedStats(json rec, const json& report) {
  auto route = rtc::routeOf(report);
  for (auto& [k, v] : route.fields.items()) rec[k] = v;
  if (route.havePair) setRoute(route.same, route.localKind, route.remoteKind, route.fields["route"] == "relay");
  connectLog(rec);
}

void RTCTransport::setRoute(const std::optional<bool>& same, const std::string& localKind,
                            const std::string& remoteKind, bool relayed) {
  routeMsg_ = rtc::routeMessage(same, localKind, remoteKind, relayed);
  flushRoute();
}

void RTCTransport::flushRoute() {
  if (!routeMsg_ || !isOpen(ctl_)) return;
  // Direct, not through the simulated link: the route is a fact about the
  // path, not traffic to be shaped.
  sendOn(ctl_, *routeMsg_, false);
  ev("route_sent", {{"msg", *routeMsg_}});
}
