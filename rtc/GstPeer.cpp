#include "rtc/GstPeer.h"

#include "app/SerialQueue.h"
#include "rtc/GstConvert.h"
#include "rtc/GstCore.h"
#include "rtc/GstStats.h"

#include <gst/sdp/sdp.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <mutex>

namespace rtc {

using gst::Gate;
using gst::PeerCore;

namespace {

// Pipelines closed from inside one of their own callbacks are stopped here:
// going to NULL on a webrtcbin thread would join that very thread.
SerialQueue& reaper() {
  static SerialQueue q("rtc.reap");
  return q;
}

// libnice finds no candidate on loopback; a machine (or test namespace)
// with nothing else needs the address given by hand.
bool onlyLoopback() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool other = false;
  for (ifaddrs* a = list; a && !other; a = a->ifa_next) {
    if (!a->ifa_addr || !(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) continue;
    other = a->ifa_addr->sa_family == AF_INET || a->ifa_addr->sa_family == AF_INET6;
  }
  freeifaddrs(list);
  return !other;
}

void applyIceServers(GstElement* webrtc, const PeerConfig& cfg) {
  bool stunSet = false, turnSet = false;
  for (const std::string& url : cfg.iceServers) {
    if (auto s = gst::stunServerUri(url); s && !stunSet) {
      g_object_set(webrtc, "stun-server", s->c_str(), nullptr);
      stunSet = true;
    } else if (auto t = gst::turnServerUri(url, cfg.turnUser, cfg.turnPassword)) {
      if (!turnSet) {
        g_object_set(webrtc, "turn-server", t->c_str(), nullptr);
        turnSet = true;
      } else {
        gboolean ok = FALSE;
        g_signal_emit_by_name(webrtc, "add-turn-server", t->c_str(), &ok);
      }
    }
  }
}

std::string nickOf(GParamSpec* pspec, gint v) {
  if (!G_IS_PARAM_SPEC_ENUM(pspec)) return {};
  GEnumValue* e = g_enum_get_value(G_PARAM_SPEC_ENUM(pspec)->enum_class, v);
  return e ? e->value_nick : "";
}

struct PeerBox {
  std::shared_ptr<PeerCore> core;
};

std::optional<IceState> iceStateOf(gint v) {
  GEnumClass* k = static_cast<GEnumClass*>(g_type_class_ref(GST_TYPE_WEBRTC_ICE_CONNECTION_STATE));
  GEnumValue* e = g_enum_get_value(k, v);
  std::optional<IceState> s = e ? gst::iceStateFromNick(e->value_nick) : std::nullopt;
  g_type_class_unref(k);
  return s;
}

// Inside a passage of the gate. Two sources report ICE states (webrtcbin
// for media transports, the data channels' transport itself): only changes go on.
void reportIce(PeerCore& c, std::optional<IceState> s) {
  if (!s) return;
  std::lock_guard<std::mutex> l(c.iceMu);
  if (c.lastIce == s) return;
  c.lastIce = s;
  if (c.events.onIceState) c.events.onIceState(*s);
}

void onDtlsState(GObject*, GParamSpec*, PeerBox* b) {
  Gate::Pass pass(b->core->gate);
  if (pass) b->core->checkDtls();
}

void onIceTransportState(GObject* t, GParamSpec*, PeerBox* b) {
  Gate::Pass pass(b->core->gate);
  if (!pass) return;
  gint v = 0;
  g_object_get(t, "state", &v, nullptr);
  reportIce(*b->core, iceStateOf(v));
}

// webrtcbin 1.22 leaves "ice-connection-state" at "new" for a session of
// data channels only, so follow their ICE transport once it exists. Inside
// a passage, never in a completion (the properties need webrtcbin's lock).
void hookDtls(const std::shared_ptr<PeerCore>& core, GstElement* webrtc) {
  if (core->dtlsHooked) return;
  GObject* dtls = gst::dataDtlsTransport(webrtc);
  if (!dtls) return;
  bool expected = false;
  if (core->dtlsHooked.compare_exchange_strong(expected, true)) {
    {
      std::lock_guard<std::mutex> l(core->m);
      core->dtls = G_OBJECT(g_object_ref(dtls));
    }
    core->connect(dtls, "notify::state", G_CALLBACK(onDtlsState), new PeerBox{core});
    core->connect(dtls, "notify::remote-certificate", G_CALLBACK(onDtlsState), new PeerBox{core});
    core->checkDtls();
  }
  g_object_unref(dtls);
}

void hookIce(const std::shared_ptr<PeerCore>& core) {
  if (core->iceHooked && core->dtlsHooked) return;
  GstElement* webrtc = core->acquire();
  if (!webrtc) return;
  hookDtls(core, webrtc);
  if (core->iceHooked) {
    gst_object_unref(webrtc);
    return;
  }
  GObject* ice = gst::dataIceTransport(webrtc);
  gst_object_unref(webrtc);
  if (!ice) return;
  bool expected = false;
  if (core->iceHooked.compare_exchange_strong(expected, true) &&
      core->connect(ice, "notify::state", G_CALLBACK(onIceTransportState), new PeerBox{core})) {
    // It may have moved before the handler was there.
    gint v = 0;
    g_object_get(ice, "state", &v, nullptr);
    if (auto s = iceStateOf(v); s && *s != IceState::New) reportIce(*core, s);
  }
  g_object_unref(ice);
}

void onIceCandidate(GstElement*, guint mline, gchar* cand, PeerBox* b) {
  PeerCore& c = *b->core;
  Gate::Pass pass(c.gate);
  if (pass) hookIce(b->core);
  if (!pass || !c.events.onCandidate || !cand) return;
  IceCandidate ic;
  ic.candidate = cand;
  ic.mlineIndex = static_cast<int32_t>(mline);
  {
    std::lock_guard<std::mutex> l(c.m);
    if (mline < c.localMids.size()) ic.mid = c.localMids[mline];
  }
  c.events.onCandidate(ic);
}

void onStateNotify(GObject* obj, GParamSpec* pspec, PeerBox* b) {
  PeerCore& c = *b->core;
  Gate::Pass pass(c.gate);
  if (!pass) return;
  hookIce(b->core);
  gint v = 0;
  g_object_get(obj, pspec->name, &v, nullptr);
  std::string name = g_param_spec_get_name(pspec);
  std::string nick = nickOf(pspec, v);
  if (name == "ice-connection-state") {
    reportIce(c, gst::iceStateFromNick(nick));
  } else if (name == "connection-state") {
    auto s = gst::peerStateFromNick(nick);
    // Up only with the certificate the description named; a refused one
    // was reported as a failure already.
    if (s == PeerState::Connected && !c.checkDtls()) return;
    if (s && c.events.onPeerState) c.events.onPeerState(*s);
  } else if (name == "ice-gathering-state") {
    if (auto s = gst::gatheringStateFromNick(nick); s && c.events.onGatheringState) c.events.onGatheringState(*s);
  } else if (name == "signaling-state") {
    if (c.events.onSignalingState) c.events.onSignalingState(v);
  }
}

void onDataChannel(GstElement*, GstWebRTCDataChannel* dc, PeerBox* b) {
  Gate::Pass pass(b->core->gate);
  if (!pass || !b->core->remoteChannel) return;
  gst::wrapChannel(b->core, dc, b->core->remoteChannel, true);
}

// A promise's continuation: the peer, the caller's completion and what to
// read from the reply. The completion runs (and is dropped) inside the gate.
template <class Done>
struct PromiseBox {
  PromiseBox(std::shared_ptr<PeerCore> c, Done d) : core(std::move(c)), done(std::move(d)) {}

  std::shared_ptr<PeerCore> core;
  Done done;
  const char* field = nullptr;
  uint64_t maxMessageSize = 0;
  nlohmann::json extra;

  template <class... A>
  void finish(A&&... args) {
    {
      Gate::Pass pass(core->gate);
      if (pass && done) done(std::forward<A>(args)...);
      done = nullptr;
    }
  }
};

template <class Box>
GstPromise* promiseFor(Box* box, GstPromiseChangeFunc fn) {
  return gst_promise_new_with_change_func(fn, box, [](gpointer d) { delete static_cast<Box*>(d); });
}

const GstStructure* replyOf(GstPromise* p) {
  return gst_promise_wait(p) == GST_PROMISE_RESULT_REPLIED ? gst_promise_get_reply(p) : nullptr;
}

std::optional<std::string> replyError(GstPromise* p) {
  if (gst_promise_wait(p) != GST_PROMISE_RESULT_REPLIED) return std::string("interrupted");
  const GstStructure* r = gst_promise_get_reply(p);
  if (!r || !gst_structure_has_field(r, "error")) return std::nullopt;
  GError* err = nullptr;
  gst_structure_get(r, "error", G_TYPE_ERROR, &err, nullptr);
  std::string text = err && err->message ? err->message : "error";
  if (err) g_error_free(err);
  return text;
}

using DescDone = std::function<void(std::optional<SessionDescription>)>;
using ResultDone = std::function<void(DescriptionResult)>;
using StatsDone = std::function<void(nlohmann::json)>;

void onDescriptionMade(GstPromise* p, gpointer data) {
  auto* b = static_cast<PromiseBox<DescDone>*>(data);
  std::optional<SessionDescription> out;
  const GstStructure* r = replyOf(p);
  GstWebRTCSessionDescription* d = nullptr;
  if (r && gst_structure_has_field_typed(r, b->field, GST_TYPE_WEBRTC_SESSION_DESCRIPTION))
    gst_structure_get(r, b->field, GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &d, nullptr);
  if (d) {
    gchar* text = gst_sdp_message_as_text(d->sdp);
    out = SessionDescription{gst_webrtc_sdp_type_to_string(d->type), text ? text : ""};
    g_free(text);
    gst_webrtc_session_description_free(d);
    if (b->maxMessageSize && out->type == "offer") out->sdp = gst::withMaxMessageSize(out->sdp, b->maxMessageSize);
    if (out->type == "offer") {
      auto offered = gst::offeredVariants(*b->core);
      if (!offered.empty()) out->sdp = gst::withTrackCodecs(out->sdp, offered);
    }
  }
  b->finish(std::move(out));
}

void onDescriptionSet(GstPromise* p, gpointer data) {
  auto* b = static_cast<PromiseBox<ResultDone>*>(data);
  b->finish(DescriptionResult{replyError(p)});
}

void onStats(GstPromise* p, gpointer data) {
  auto* b = static_cast<PromiseBox<StatsDone>*>(data);
  nlohmann::json report = gst::statsToJson(replyOf(p));
  for (auto& [k, v] : b->extra.items()) report[k] = v;
  b->finish(std::move(report));
}

std::optional<GstWebRTCSDPType> sdpType(const std::string& t) {
  if (t == "offer") return GST_WEBRTC_SDP_TYPE_OFFER;
  if (t == "answer") return GST_WEBRTC_SDP_TYPE_ANSWER;
  if (t == "pranswer") return GST_WEBRTC_SDP_TYPE_PRANSWER;
  if (t == "rollback") return GST_WEBRTC_SDP_TYPE_ROLLBACK;
  return std::nullopt;
}

gboolean flushPad(GstElement*, GstPad* pad, gpointer) {
  gst_pad_send_event(pad, gst_event_new_flush_start());
  return TRUE;
}

// sctpenc's sink waits, with its stream lock held, for room in a send
// buffer that drains no more once the pipeline stops; going to NULL would
// then wait for that lock until the association times out (minutes). A
// flush start wakes it first.
void unblockSctp(GstElement* pipeline) {
  GstIterator* it = gst_bin_iterate_recurse(GST_BIN(pipeline));
  GValue item = G_VALUE_INIT;
  bool done = false;
  while (!done) {
    switch (gst_iterator_next(it, &item)) {
      case GST_ITERATOR_OK: {
        auto* e = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory* f = gst_element_get_factory(e);
        if (f && g_strcmp0(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(f)), "sctpenc") == 0)
          gst_element_foreach_sink_pad(e, flushPad, nullptr);
        g_value_reset(&item);
        break;
      }
      case GST_ITERATOR_RESYNC: gst_iterator_resync(it); break;
      default: done = true; break;
    }
  }
  g_value_unset(&item);
  gst_iterator_free(it);
}

}  // namespace

namespace gst {

PeerCore::~PeerCore() { teardown(); }

GstElement* PeerCore::acquire() {
  std::lock_guard<std::mutex> l(m);
  return webrtc && !tornDown ? GST_ELEMENT(gst_object_ref(webrtc)) : nullptr;
}

void PeerCore::close() {
  auto self = shared_from_this();
  if (!gate.shut()) return;
  // Nothing passes the gate any more: the receivers' functions can go now,
  // on the caller's thread, with whatever they hold.
  events = PeerEvents{};
  remoteChannel = nullptr;
  std::vector<std::weak_ptr<ChannelCore>> chans;
  {
    std::lock_guard<std::mutex> l(m);
    chans.swap(channels);
  }
  for (auto& w : chans)
    if (auto c = w.lock()) c->events = ChannelEvents{};
  onVideoUnit = nullptr;
  detachTracks(*this);
  if (Gate::inCallback()) {
    reaper().post([self] { self->teardown(); });
  } else {
    teardown();
  }
}

bool PeerCore::checkDtls() {
  int now = dtlsCheck.load();
  if (now != kUnchecked) return now == kMatches;
  GObject* t = nullptr;
  std::vector<Fingerprint> wanted;
  {
    std::lock_guard<std::mutex> l(m);
    if (dtls) t = G_OBJECT(g_object_ref(dtls));
    wanted = remoteFingerprints;
  }
  if (!t) return false;
  gchar* pem = nullptr;
  g_object_get(t, "remote-certificate", &pem, nullptr);
  g_object_unref(t);
  if (!pem || !*pem) {
    g_free(pem);
    return false;  // not shown yet: asked again on the next change
  }
  bool match = certificateMatches(pem, wanted);
  g_free(pem);
  int expected = kUnchecked;
  if (!dtlsCheck.compare_exchange_strong(expected, match ? kMatches : kRefused)) return expected == kMatches;
  if (!match) {
    if (events.onPeerState) events.onPeerState(PeerState::Failed);
    return false;
  }
  // States held back while the certificate was unknown go out now.
  std::vector<std::shared_ptr<ChannelCore>> chans;
  {
    std::lock_guard<std::mutex> l(m);
    for (auto& w : channels)
      if (auto c = w.lock()) chans.push_back(std::move(c));
  }
  for (auto& c : chans) {
    Gate::Pass pass(gate, &c->detached);
    if (pass) c->reportState();
  }
  return true;
}

void PeerCore::teardown() {
  std::vector<std::pair<GObject*, gulong>> hs;
  GstElement* pipe = nullptr;
  GObject* dtlsRef = nullptr;
  {
    std::lock_guard<std::mutex> l(m);
    if (tornDown) return;
    tornDown = true;
    hs.swap(handlers);
    std::swap(dtlsRef, dtls);
    if (videoSink) gst_object_unref(videoSink);
    videoSink = nullptr;
    pipe = pipeline;
    pipeline = webrtc = nullptr;
  }
  // Handlers first: going to NULL makes webrtcbin report its last states.
  for (auto& [obj, id] : hs) {
    g_signal_handler_disconnect(obj, id);
    g_object_unref(obj);
  }
  if (dtlsRef) g_object_unref(dtlsRef);
  if (pipe) {
    unblockSctp(pipe);
    gst_element_set_state(pipe, GST_STATE_NULL);
    gst_object_unref(pipe);
  }
}

}  // namespace gst

GstPeer::GstPeer(std::shared_ptr<PeerCore> core) : core_(std::move(core)) {}

GstPeer::~GstPeer() { core_->close(); }

void GstPeer::close() { core_->close(); }

DataChannelPtr GstPeer::createDataChannel(const std::string& label, bool ordered, std::optional<int> maxRetransmits,
                                          ChannelEvents events) {
  GstElement* webrtc = core_->acquire();
  if (!webrtc) return nullptr;
  GstStructure* opts = gst_structure_new("data-channel-options", "ordered", G_TYPE_BOOLEAN, ordered, nullptr);
  if (maxRetransmits) gst_structure_set(opts, "max-retransmits", G_TYPE_INT, *maxRetransmits, nullptr);
  GstWebRTCDataChannel* dc = nullptr;
  g_signal_emit_by_name(webrtc, "create-data-channel", label.c_str(), opts, &dc);
  gst_structure_free(opts);
  gst_object_unref(webrtc);
  if (!dc) return nullptr;
  DataChannelPtr ch = gst::wrapChannel(core_, dc, [&](const DataChannelPtr&) { return std::move(events); }, false);
  g_object_unref(dc);
  return ch;
}

void GstPeer::createDescription(const char* signal, const char* field, DescDone done) {
  GstElement* webrtc = core_->acquire();
  if (!webrtc) return;
  auto* box = new PromiseBox<DescDone>(core_, std::move(done));
  box->field = field;
  if (std::string(field) == "offer") box->maxMessageSize = core_->maxMessageSize.load();
  GstPromise* p = promiseFor(box, onDescriptionMade);
  g_signal_emit_by_name(webrtc, signal, nullptr, p);
  gst_promise_unref(p);
  gst_object_unref(webrtc);
}

void GstPeer::createOffer(DescDone done) { createDescription("create-offer", "offer", std::move(done)); }

void GstPeer::createAnswer(DescDone done) { createDescription("create-answer", "answer", std::move(done)); }

void GstPeer::setDescription(const char* signal, const SessionDescription& d, ResultDone done) {
  PromiseBox<ResultDone> now(core_, std::move(done));
  std::optional<GstWebRTCSDPType> type = sdpType(d.type);
  if (!type) return now.finish(DescriptionResult{"unknown description type \"" + d.type + "\""});
  const bool remote = std::string(signal) == "set-remote-description";
  std::string sdp = d.sdp;
  if (remote) {
    std::lock_guard<std::mutex> l(core_->m);
    sdp = core_->remoteCandidates.prune(d.sdp);
  }
  GstSDPMessage* msg = nullptr;
  if (gst_sdp_message_new_from_text(sdp.c_str(), &msg) != GST_SDP_OK || !msg) {
    if (msg) gst_sdp_message_free(msg);
    return now.finish(DescriptionResult{"SDP could not be parsed"});
  }
  GstElement* webrtc = core_->acquire();
  if (!webrtc) {
    gst_sdp_message_free(msg);
    return;
  }
  if (!remote) {
    std::lock_guard<std::mutex> l(core_->m);
    core_->localMids = gst::sdpMids(d.sdp);
  } else {
    {
      std::lock_guard<std::mutex> l(core_->m);
      core_->remoteFingerprints = sdpFingerprints(d.sdp);
    }
    if (*type == GST_WEBRTC_SDP_TYPE_ANSWER) gst::chooseTrackCodecs(*core_, d.sdp);
  }
  if (!Gate::inCallback()) {
    Gate::Pass pass(core_->gate);
    if (pass) hookIce(core_);
  }
  GstWebRTCSessionDescription* desc = gst_webrtc_session_description_new(*type, msg);  // takes msg
  auto* box = new PromiseBox<ResultDone>(core_, std::move(now.done));
  GstPromise* p = promiseFor(box, onDescriptionSet);
  g_signal_emit_by_name(webrtc, signal, desc, p);
  gst_promise_unref(p);
  gst_webrtc_session_description_free(desc);
  gst_object_unref(webrtc);
}

void GstPeer::setLocalDescription(const SessionDescription& d, ResultDone done) {
  setDescription("set-local-description", d, std::move(done));
}

void GstPeer::setRemoteDescription(const SessionDescription& d, ResultDone done) {
  setDescription("set-remote-description", d, std::move(done));
}

void GstPeer::addIceCandidate(const IceCandidate& c) {
  if (c.mlineIndex < 0) return;
  {
    std::lock_guard<std::mutex> l(core_->m);
    if (!core_->remoteCandidates.admit(c.mlineIndex, c.candidate)) return;
  }
  GstElement* webrtc = core_->acquire();
  if (!webrtc) return;
  g_signal_emit_by_name(webrtc, "add-ice-candidate", static_cast<guint>(c.mlineIndex), c.candidate.c_str());
  gst_object_unref(webrtc);
}

void GstPeer::getStats(StatsDone done) {
  GstElement* webrtc = core_->acquire();
  if (!webrtc) return;
  auto* box = new PromiseBox<StatsDone>(core_, std::move(done));
  // Read here: the reply comes while webrtcbin holds the lock its
  // properties need.
  box->extra = gst::selectedPairStats(webrtc);
  GstPromise* p = promiseFor(box, onStats);
  g_signal_emit_by_name(webrtc, "get-stats", nullptr, p);
  gst_promise_unref(p);
  gst_object_unref(webrtc);
}

void GstPeer::setAnnouncedMaxMessageSize(uint64_t bytes) { core_->maxMessageSize = bytes; }

void GstPeer::onRemoteChannel(std::function<ChannelEvents(const DataChannelPtr&)> handler) {
  // Stored before negotiation starts, while no handler reads it.
  core_->remoteChannel = std::move(handler);
}

GstPeerFactory::GstPeerFactory() {
  static std::once_flag once;
  std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

PeerConnectionPtr GstPeerFactory::create(const PeerConfig& config, PeerEvents events) {
  return createPeer(config, std::move(events));
}

std::shared_ptr<GstPeer> GstPeerFactory::createPeer(const PeerConfig& config, PeerEvents events) {
  GstElement* webrtc = gst_element_factory_make("webrtcbin", nullptr);
  if (!webrtc) return nullptr;
  auto core = std::make_shared<PeerCore>();
  core->events = std::move(events);
  core->maxMessageSize = GstPeer::kAnnouncedMaxMessageSize;
  core->pipeline = gst_pipeline_new(nullptr);
  gst_bin_add(GST_BIN(core->pipeline), webrtc);
  core->webrtc = webrtc;
  // Nobody reads the pipeline's bus; flushing keeps messages from piling up.
  GstBus* bus = gst_element_get_bus(core->pipeline);
  gst_bus_set_flushing(bus, TRUE);
  gst_object_unref(bus);

  g_object_set(webrtc, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, nullptr);
  applyIceServers(webrtc, config);
  auto box = [&] { return new PeerBox{core}; };
  core->connect(webrtc, "on-ice-candidate", G_CALLBACK(onIceCandidate), box());
  core->connect(webrtc, "on-data-channel", G_CALLBACK(onDataChannel), box());
  for (const char* prop : {"notify::ice-connection-state", "notify::connection-state", "notify::signaling-state",
                           "notify::ice-gathering-state"})
    core->connect(webrtc, prop, G_CALLBACK(onStateNotify), box());

  if (onlyLoopback()) {
    // Only then: once given an address libnice stops looking for its own.
    GstWebRTCICE* ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    if (ice) {
      gboolean ok = FALSE;
      g_signal_emit_by_name(ice, "add-local-ip-address", "127.0.0.1", &ok);
      gst_object_unref(ice);
    }
  }
  if (gst_element_set_state(core->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    core->close();
    return nullptr;
  }
  return std::make_shared<GstPeer>(core);
}

}  // namespace rtc
