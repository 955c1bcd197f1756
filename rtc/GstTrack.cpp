// The video track on webrtcbin: appsrc (whole H.264 access units) ->
// rtph264pay with transport-wide sequence numbers -> a send-only
// transceiver; key-frame requests from the payloader's upstream events;
// congestion feedback read from the RTP session. And the receiving end that
// test peers use.
#include "rtc/GstCore.h"
#include "rtc/GstPeer.h"
#include "rtc/TrackSdp.h"

#include <gst/rtp/rtp.h>

#include <cstring>

namespace rtc {

using gst::Gate;
using gst::PeerCore;

namespace gst {

struct TrackCore {
  ~TrackCore() {
    for (GstElement* e : {src, pay, session})
      if (e) gst_object_unref(e);
  }

  std::weak_ptr<PeerCore> peer;
  GstElement* src = nullptr;      // appsrc, referenced
  GstElement* pay = nullptr;      // rtph264pay, referenced
  std::vector<H264Variant> offered;

  std::mutex m;  // guards everything below
  VideoTrackEvents events;
  bool detached = false;
  bool configured = false;
  bool waitKey = false;
  std::optional<H264Variant> chosen;
  GstElement* session = nullptr;  // the RTP session, found on first need; referenced
  std::string lastTwcc;
  uint64_t lastRbSeq = 0, lastRbLsr = 0;
};

}  // namespace gst

namespace {

using gst::TrackCore;

constexpr const char* kTwccUri = "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01";
constexpr int kTwccId = 1;
// Access units waiting in appsrc beyond this mean the path below is stuck;
// the track refuses more until a key frame instead of building a backlog.
constexpr guint64 kMaxQueued = 6;

struct TrackBox {
  std::weak_ptr<TrackCore> track;
};

GstPadProbeReturn onUpstream(GstPad*, GstPadProbeInfo* info, gpointer data) {
  GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
  if (!ev || !gst_event_has_name(ev, "GstForceKeyUnit")) return GST_PAD_PROBE_OK;
  auto t = static_cast<TrackBox*>(data)->track.lock();
  if (!t) return GST_PAD_PROBE_OK;
  std::function<void()> cb;
  {
    std::lock_guard<std::mutex> l(t->m);
    if (!t->detached) cb = t->events.onKeyRequest;
  }
  if (cb) cb();
  return GST_PAD_PROBE_OK;
}

// One structure per variant, told apart by payload type. The profile stays
// out of the caps: the payloader names the profile and level of the stream
// it carries (level 3.0 for 640x480, 4.0 for 1080p...), and webrtcbin would
// refuse that against any fixed level here. It goes into the offer's text.
GstCaps* preferenceCaps(const std::vector<H264Variant>& codecs) {
  GstCaps* caps = gst_caps_new_empty();
  std::string ext = "extmap-" + std::to_string(kTwccId);
  for (const H264Variant& v : codecs) {
    GstStructure* s = gst_structure_new(
        "application/x-rtp", "media", G_TYPE_STRING, "video", "encoding-name", G_TYPE_STRING, "H264",
        "clock-rate", G_TYPE_INT, 90000, "payload", G_TYPE_INT, v.payloadType, "packetization-mode", G_TYPE_STRING,
        std::to_string(v.packetizationMode).c_str(), "level-asymmetry-allowed", G_TYPE_STRING, "1", "rtcp-fb-nack-pli", G_TYPE_BOOLEAN, TRUE,
        "rtcp-fb-ccm-fir", G_TYPE_BOOLEAN, TRUE, "rtcp-fb-transport-cc", G_TYPE_BOOLEAN, TRUE, ext.c_str(),
        G_TYPE_STRING, kTwccUri, nullptr);
    gst_caps_append_structure(caps, s);
  }
  return caps;
}

GstElement* findSession(GstElement* webrtc) {
  GstElement* rtpbin = gst_bin_get_by_name(GST_BIN(webrtc), "rtpbin");
  if (!rtpbin) return nullptr;
  GstElement* sess = nullptr;
  for (guint id = 0; id < 8 && !sess; ++id) g_signal_emit_by_name(rtpbin, "get-session", id, &sess);
  gst_object_unref(rtpbin);
  return sess;  // referenced by the signal's return
}

template <class T>
std::optional<T> field(const GstStructure* s, const char* name);
template <>
std::optional<double> field(const GstStructure* s, const char* name) {
  const GValue* v = gst_structure_get_value(s, name);
  if (!v) return std::nullopt;
  switch (G_VALUE_TYPE(v)) {
    case G_TYPE_DOUBLE: return g_value_get_double(v);
    case G_TYPE_UINT: return g_value_get_uint(v);
    case G_TYPE_INT: return g_value_get_int(v);
    case G_TYPE_UINT64: return static_cast<double>(g_value_get_uint64(v));
    case G_TYPE_INT64: return static_cast<double>(g_value_get_int64(v));
    default: return std::nullopt;
  }
}

class GstVideoTrack : public VideoTrack {
public:
  explicit GstVideoTrack(std::shared_ptr<TrackCore> t) : t_(std::move(t)) {}
  ~GstVideoTrack() override { detach(); }

  void setConfig(const std::vector<uint8_t>& avcC, int width, int height) override {
    if (avcC.empty() || width <= 0 || height <= 0) return;
    GstBuffer* cd = gst_buffer_new_memdup(avcC.data(), avcC.size());
    GstCaps* caps = gst_caps_new_simple("video/x-h264", "stream-format", G_TYPE_STRING, "avc", "alignment",
                                        G_TYPE_STRING, "au", "codec_data", GST_TYPE_BUFFER, cd, "width", G_TYPE_INT,
                                        width, "height", G_TYPE_INT, height, "framerate", GST_TYPE_FRACTION, 0, 1,
                                        nullptr);
    gst_buffer_unref(cd);
    bool first = false;
    {
      std::lock_guard<std::mutex> l(t_->m);
      if (t_->detached) {
        gst_caps_unref(caps);
        return;
      }
      first = !t_->configured;
      t_->configured = true;
    }
    g_object_set(t_->src, "caps", caps, nullptr);
    gst_caps_unref(caps);
    // The elements joined a playing pipeline: without a latency the RTP
    // session cannot time its packets (nor the transport-wide feedback).
    if (auto peer = first ? t_->peer.lock() : nullptr) {
      GstElement* pipeline = nullptr;
      {
        std::lock_guard<std::mutex> l(peer->m);
        if (peer->pipeline && !peer->tornDown) pipeline = GST_ELEMENT(gst_object_ref(peer->pipeline));
      }
      if (pipeline) {
        gst_bin_recalculate_latency(GST_BIN(pipeline));
        gst_object_unref(pipeline);
      }
    }
  }

  bool push(const std::vector<uint8_t>& au, bool key) override {
    if (au.empty()) return false;
    guint64 queued = 0;
    g_object_get(t_->src, "current-level-buffers", &queued, nullptr);
    {
      std::lock_guard<std::mutex> l(t_->m);
      if (t_->detached || !t_->configured) return false;
      if (queued >= kMaxQueued) {
        t_->waitKey = true;
        return false;
      }
      if (t_->waitKey && !key) return false;
      if (key) t_->waitKey = false;
    }
    GstBuffer* buf = gst_buffer_new_memdup(au.data(), au.size());
    if (!key) GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DELTA_UNIT);
    GstFlowReturn ret = GST_FLOW_OK;
    g_signal_emit_by_name(t_->src, "push-buffer", buf, &ret);
    gst_buffer_unref(buf);
    return ret == GST_FLOW_OK;
  }

  std::optional<TrackFeedback> feedback(double nowMs) override {
    GstElement* sess = session();
    if (!sess) return std::nullopt;
    TrackFeedback fb;
    fb.atMs = nowMs;
    bool fresh = false;
    GstStructure* twcc = nullptr;
    g_object_get(sess, "twcc-stats", &twcc, nullptr);
    if (twcc) {
      gchar* text = gst_structure_to_string(twcc);
      std::string now = text ? text : "";
      g_free(text);
      std::lock_guard<std::mutex> l(t_->m);
      if (now != t_->lastTwcc && field<double>(twcc, "packets-recv").value_or(0) > 0) {
        t_->lastTwcc = now;
        fresh = true;
        fb.twccRecvBps = field<double>(twcc, "bitrate-recv");
        fb.twccSentBps = field<double>(twcc, "bitrate-sent");
        if (auto p = field<double>(twcc, "packet-loss-pct")) fb.twccLoss = *p / 100.0;
        // How much the one-way delay grew over the interval, in ms.
        double got = field<double>(twcc, "packets-recv").value_or(0);
        if (auto d = field<double>(twcc, "avg-delta-of-delta"); d && got > 1) fb.twccDelayMs = *d * (got - 1) / 1e6;
      }
    }
    if (twcc) gst_structure_free(twcc);
    readReports(sess, fb, fresh);
    gst_object_unref(sess);
    return fresh ? std::optional<TrackFeedback>(fb) : std::nullopt;
  }

  std::optional<H264Variant> chosen() const override {
    std::lock_guard<std::mutex> l(t_->m);
    return t_->chosen;
  }

  void detach() override {
    std::lock_guard<std::mutex> l(t_->m);
    t_->detached = true;
    t_->events = VideoTrackEvents{};
  }

private:
  GstElement* session() {
    {
      std::lock_guard<std::mutex> l(t_->m);
      if (t_->detached) return nullptr;
      if (t_->session) return GST_ELEMENT(gst_object_ref(t_->session));
    }
    auto peer = t_->peer.lock();
    GstElement* webrtc = peer ? peer->acquire() : nullptr;
    if (!webrtc) return nullptr;
    GstElement* s = findSession(webrtc);
    gst_object_unref(webrtc);
    if (!s) return nullptr;
    std::lock_guard<std::mutex> l(t_->m);
    if (!t_->session) t_->session = GST_ELEMENT(gst_object_ref(s));
    return s;
  }

  // The phone's receiver reports about our stream: the report block kept on
  // the phone's (remote) source of the session's statistics.
  void readReports(GstElement* sess, TrackFeedback& fb, bool& fresh) {
    GstStructure* stats = nullptr;
    g_object_get(sess, "stats", &stats, nullptr);
    if (!stats) return;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    const GValue* list = gst_structure_get_value(stats, "source-stats");
    if (list && G_VALUE_HOLDS(list, g_value_array_get_type())) {
      auto* arr = static_cast<GValueArray*>(g_value_get_boxed(list));
      for (guint i = 0; arr && i < arr->n_values; ++i) {
        const GValue* v = &arr->values[i];
        if (!GST_VALUE_HOLDS_STRUCTURE(v)) continue;
        const GstStructure* s = gst_value_get_structure(v);
        gboolean internal = TRUE, haveRb = FALSE;
        gst_structure_get_boolean(s, "internal", &internal);
        gst_structure_get_boolean(s, "have-rb", &haveRb);
        if (internal || !haveRb) continue;
        auto seq = field<double>(s, "rb-exthighestseq").value_or(0);
        auto lsr = field<double>(s, "rb-lsr").value_or(0);
        std::lock_guard<std::mutex> l(t_->m);
        if (static_cast<uint64_t>(seq) == t_->lastRbSeq && static_cast<uint64_t>(lsr) == t_->lastRbLsr) break;
        t_->lastRbSeq = static_cast<uint64_t>(seq);
        t_->lastRbLsr = static_cast<uint64_t>(lsr);
        fresh = true;
        if (auto f = field<double>(s, "rb-fractionlost")) fb.rrLoss = *f / 256.0;
        // In 1/65536 s and in 90 kHz clock units.
        if (auto r = field<double>(s, "rb-round-trip"); r && *r > 0) fb.rttMs = *r * 1000.0 / 65536.0;
        if (auto j = field<double>(s, "rb-jitter")) fb.jitterMs = *j / 90.0;
        break;
      }
    }
    G_GNUC_END_IGNORE_DEPRECATIONS
    gst_structure_free(stats);
  }

  std::shared_ptr<TrackCore> t_;
};

// Receiving side (test peers).

GstFlowReturn onVideoSample(GstElement* sink, gpointer data) {
  auto* core = static_cast<PeerCore*>(data);
  GstSample* sample = nullptr;
  g_signal_emit_by_name(sink, "pull-sample", &sample);
  if (!sample) return GST_FLOW_OK;
  GstBuffer* buf = gst_sample_get_buffer(sample);
  GstMapInfo map;
  if (buf && gst_buffer_map(buf, &map, GST_MAP_READ)) {
    std::vector<uint8_t> au(map.data, map.data + map.size);
    gst_buffer_unmap(buf, &map);
    Gate::Pass pass(core->gate);
    if (pass && core->onVideoUnit) core->onVideoUnit(std::move(au));
  }
  gst_sample_unref(sample);
  return GST_FLOW_OK;
}

struct PadBox {
  std::shared_ptr<PeerCore> core;
};

void onPadAdded(GstElement*, GstPad* pad, PadBox* b) {
  if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
  PeerCore& c = *b->core;
  Gate::Pass pass(c.gate);
  if (!pass) return;
  GstElement* depay = gst_element_factory_make("rtph264depay", nullptr);
  GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
  GstElement* sink = gst_element_factory_make("appsink", nullptr);
  GstElement* pipeline = nullptr;
  {
    std::lock_guard<std::mutex> l(c.m);
    if (!c.tornDown && !c.videoSink) pipeline = GST_ELEMENT(gst_object_ref(c.pipeline));
  }
  if (!depay || !filter || !sink || !pipeline) {
    for (GstElement* e : {depay, filter, sink})
      if (e) gst_object_unref(e);
    if (pipeline) gst_object_unref(pipeline);
    return;
  }
  GstCaps* caps = gst_caps_from_string("video/x-h264,stream-format=byte-stream,alignment=au");
  g_object_set(filter, "caps", caps, nullptr);
  gst_caps_unref(caps);
  g_object_set(sink, "emit-signals", TRUE, "sync", FALSE, nullptr);
  g_signal_connect(sink, "new-sample", G_CALLBACK(onVideoSample), &c);
  gst_bin_add_many(GST_BIN(pipeline), depay, filter, sink, nullptr);
  gst_element_link_many(depay, filter, sink, nullptr);
  {
    std::lock_guard<std::mutex> l(c.m);
    c.videoSink = GST_ELEMENT(gst_object_ref(sink));
  }
  for (GstElement* e : {sink, filter, depay}) gst_element_sync_state_with_parent(e);
  GstPad* in = gst_element_get_static_pad(depay, "sink");
  gst_pad_link(pad, in);
  gst_object_unref(in);
  gst_object_unref(pipeline);
}

}  // namespace

VideoTrackPtr GstPeer::addVideoTrack(const std::vector<H264Variant>& codecs, VideoTrackEvents events) {
  if (codecs.empty()) return nullptr;
  GstElement* webrtc = core_->acquire();
  if (!webrtc) return nullptr;
  GstElement* pipeline = nullptr;
  {
    std::lock_guard<std::mutex> l(core_->m);
    if (core_->pipeline) pipeline = GST_ELEMENT(gst_object_ref(core_->pipeline));
  }
  GstElement* src = gst_element_factory_make("appsrc", nullptr);
  // The parser names profile and level in the caps, which the payloader
  // checks against what webrtcbin accepts downstream.
  GstElement* parse = gst_element_factory_make("h264parse", nullptr);
  GstElement* pay = gst_element_factory_make("rtph264pay", nullptr);
  GstElement* twcc = gst_element_factory_make("rtphdrexttwcc", nullptr);
  GstPad* sinkPad = nullptr;
  GstPad* paySrc = nullptr;
  GObject* trans = nullptr;
  auto fail = [&]() -> VideoTrackPtr {
    for (GstElement* e : {src, parse, pay, twcc})
      if (e && !GST_OBJECT_PARENT(e)) gst_object_unref(e);
    if (sinkPad) gst_object_unref(sinkPad);
    if (paySrc) gst_object_unref(paySrc);
    if (trans) g_object_unref(trans);
    if (pipeline) gst_object_unref(pipeline);
    gst_object_unref(webrtc);
    return nullptr;
  };
  if (twcc) gst_object_ref_sink(twcc);
  if (!pipeline || !src || !parse || !pay || !twcc) return fail();

  g_object_set(src, "is-live", TRUE, "format", GST_FORMAT_TIME, "do-timestamp", TRUE, "block", FALSE, nullptr);
  gst_util_set_object_arg(G_OBJECT(pay), "aggregate-mode", "zero-latency");
  g_object_set(pay, "config-interval", -1, "pt", static_cast<guint>(codecs.front().payloadType), nullptr);
  gst_rtp_header_extension_set_id(GST_RTP_HEADER_EXTENSION(twcc), kTwccId);
  g_signal_emit_by_name(pay, "add-extension", twcc);
  gst_object_unref(twcc);  // the payloader keeps its own reference
  twcc = nullptr;

  gst_bin_add_many(GST_BIN(pipeline), GST_ELEMENT(gst_object_ref(src)), GST_ELEMENT(gst_object_ref(parse)),
                   GST_ELEMENT(gst_object_ref(pay)), nullptr);
  sinkPad = gst_element_request_pad_simple(webrtc, "sink_%u");
  paySrc = gst_element_get_static_pad(pay, "src");
  auto unwind = [&]() -> VideoTrackPtr {
    gst_bin_remove_many(GST_BIN(pipeline), src, parse, pay, nullptr);
    if (sinkPad) gst_element_release_request_pad(webrtc, sinkPad);
    return fail();
  };
  if (!sinkPad || !gst_element_link_many(src, parse, pay, nullptr) || gst_pad_link(paySrc, sinkPad) != GST_PAD_LINK_OK) return unwind();
  g_object_set(sinkPad, "msid", "s", nullptr);
  g_object_get(sinkPad, "transceiver", &trans, nullptr);
  if (!trans) return unwind();
  GstCaps* prefs = preferenceCaps(codecs);
  g_object_set(trans, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, "codec-preferences", prefs,
               "do-nack", TRUE, nullptr);
  gst_caps_unref(prefs);

  auto t = std::make_shared<TrackCore>();
  t->peer = core_;
  t->src = src;  // the references taken for the bin above stay with the bin;
  t->pay = pay;  // these are the ones made by the factory
  src = pay = nullptr;
  t->offered = codecs;
  t->events = std::move(events);
  gst_pad_add_probe(paySrc, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, onUpstream, new TrackBox{t},
                    [](gpointer d) { delete static_cast<TrackBox*>(d); });
  gst_element_sync_state_with_parent(t->pay);
  gst_element_sync_state_with_parent(parse);
  gst_element_sync_state_with_parent(t->src);
  gst_object_unref(parse);
  {
    std::lock_guard<std::mutex> l(core_->m);
    core_->tracks.push_back(t);
  }
  gst_object_unref(sinkPad);
  gst_object_unref(paySrc);
  g_object_unref(trans);
  gst_object_unref(pipeline);
  gst_object_unref(webrtc);
  return std::make_shared<GstVideoTrack>(t);
}

namespace gst {

// Before the answer is applied: the payloader sends with the payload type
// the answer put first among ours.
void chooseTrackCodecs(PeerCore& core, const std::string& answerSdp) {
  auto v = answeredVariant(answerSdp);
  std::vector<std::shared_ptr<TrackCore>> tracks;
  {
    std::lock_guard<std::mutex> l(core.m);
    for (auto& w : core.tracks)
      if (auto t = w.lock()) tracks.push_back(std::move(t));
  }
  for (auto& t : tracks) {
    std::optional<H264Variant> pick;
    if (v)
      for (const auto& o : t->offered)
        if (o.payloadType == v->payloadType)
          // An answer without a profile (webrtcbin's own) accepted ours.
          pick = H264Variant{v->profileLevelId.empty() ? o.profileLevelId : v->profileLevelId, v->packetizationMode,
                             o.payloadType};
    if (!pick) continue;
    g_object_set(t->pay, "pt", static_cast<guint>(pick->payloadType), nullptr);
    std::lock_guard<std::mutex> l(t->m);
    t->chosen = pick;
  }
}

std::string withTrackCodecs(const std::string& sdp, const std::vector<H264Variant>& offered) {
  // webrtcbin names a stream only once media has flowed; ours is offered
  // before, so the phone would see a track of no stream.
  std::string out;
  bool video = false, named = false;
  size_t from = 0;
  while (from < sdp.size()) {
    size_t end = sdp.find('\n', from);
    std::string line = sdp.substr(from, end == std::string::npos ? std::string::npos : end - from + 1);
    from = end == std::string::npos ? sdp.size() : end + 1;
    std::string eol = line.size() >= 2 && line[line.size() - 2] == '\r' ? "\r\n" : "\n";
    if (line.rfind("m=", 0) == 0) {
      video = line.rfind("m=video ", 0) == 0;
      named = false;
    }
    if (video && line.rfind("a=msid:", 0) == 0) named = true;
    if (video && line.rfind("a=fmtp:", 0) == 0 && line.find("profile-level-id") == std::string::npos) {
      std::string pt = line.substr(7, line.find(' ') - 7);
      for (const H264Variant& v : offered)
        if (std::to_string(v.payloadType) == pt && !v.profileLevelId.empty()) {
          line = line.substr(0, line.size() - eol.size()) + ";profile-level-id=" + v.profileLevelId + eol;
          break;
        }
    }
    out += line;
    if (video && !named && line.rfind("a=mid:", 0) == 0) {
      out += "a=msid:s screen" + eol;
      named = true;
    }
  }
  return out;
}

std::vector<H264Variant> offeredVariants(PeerCore& core) {
  std::vector<H264Variant> out;
  std::lock_guard<std::mutex> l(core.m);
  for (auto& w : core.tracks)
    if (auto t = w.lock()) out.insert(out.end(), t->offered.begin(), t->offered.end());
  return out;
}

void detachTracks(PeerCore& core) {
  std::vector<std::weak_ptr<TrackCore>> tracks;
  {
    std::lock_guard<std::mutex> l(core.m);
    tracks.swap(core.tracks);
  }
  for (auto& w : tracks)
    if (auto t = w.lock()) {
      std::lock_guard<std::mutex> l(t->m);
      t->detached = true;
      t->events = VideoTrackEvents{};
    }
}

void hookVideoReceiver(const std::shared_ptr<PeerCore>& core, GstElement* webrtc) {
  core->connect(webrtc, "pad-added", G_CALLBACK(onPadAdded), new PadBox{core});
}

}  // namespace gst

void GstPeer::receiveVideo(std::function<void(std::vector<uint8_t>)> onUnit) {
  // Stored before negotiation starts, while no handler reads it.
  core_->onVideoUnit = std::move(onUnit);
  GstElement* webrtc = core_->acquire();
  if (!webrtc) return;
  gst::hookVideoReceiver(core_, webrtc);
  gst_object_unref(webrtc);
}

bool GstPeer::requestRemoteKeyFrame() {
  GstElement* sink = nullptr;
  {
    std::lock_guard<std::mutex> l(core_->m);
    if (core_->videoSink && !core_->tornDown) sink = GST_ELEMENT(gst_object_ref(core_->videoSink));
  }
  if (!sink) return false;
  GstPad* pad = gst_element_get_static_pad(sink, "sink");
  GstEvent* ev = gst_event_new_custom(GST_EVENT_CUSTOM_UPSTREAM,
                                      gst_structure_new("GstForceKeyUnit", "all-headers", G_TYPE_BOOLEAN, TRUE,
                                                        nullptr));
  bool ok = gst_pad_push_event(pad, ev);
  gst_object_unref(pad);
  gst_object_unref(sink);
  return ok;
}

}  // namespace rtc
