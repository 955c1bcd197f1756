// A webrtcbin data channel behind rtc::DataChannel.
#include "rtc/GstConvert.h"
#include "rtc/GstCore.h"

namespace rtc::gst {

namespace {

class GstChannel : public DataChannel {
public:
  explicit GstChannel(std::shared_ptr<ChannelCore> c) : c_(std::move(c)) {}

  const std::string& label() const override { return c_->label; }
  ChannelState state() const override { return c_->readState(); }

  uint64_t bufferedAmount() const override {
    guint64 n = 0;
    g_object_get(c_->dc, "buffered-amount", &n, nullptr);
    return n;
  }

  bool send(const std::string& data, bool binary) override {
    // Passing the gate makes close() wait for a send under way, so no send
    // runs into a pipeline being torn down. Detaching does not stop sends.
    Gate::Pass pass(c_->peer->gate);
    if (!pass || c_->readState() != ChannelState::Open || !c_->peer->checkDtls()) return false;
    GError* err = nullptr;
    gboolean ok;
    if (binary) {
      GBytes* b = g_bytes_new(data.data(), data.size());
      ok = gst_webrtc_data_channel_send_data_full(c_->dc, b, &err);
      g_bytes_unref(b);
    } else {
      ok = gst_webrtc_data_channel_send_string_full(c_->dc, data.c_str(), &err);
    }
    if (err) g_error_free(err);
    return ok;
  }

  void detach() override {
    c_->peer->gate.block(&c_->detached);
    c_->events = ChannelEvents{};
  }

private:
  std::shared_ptr<ChannelCore> c_;
};

struct ChannelBox {
  std::shared_ptr<ChannelCore> c;
};

// A channel of a session whose DTLS certificate is not (yet) the one the
// remote description named carries nothing to its owner.
bool trusted(ChannelCore& c) { return c.peer->checkDtls(); }

void onStateSignal(GstWebRTCDataChannel*, ChannelBox* b) {
  Gate::Pass pass(b->c->peer->gate, &b->c->detached);
  if (pass && trusted(*b->c)) b->c->reportState();
}

void onErrorSignal(GstWebRTCDataChannel* dc, GError*, ChannelBox* b) { onStateSignal(dc, b); }

void onNotifyState(GObject* dc, GParamSpec*, ChannelBox* b) { onStateSignal(GST_WEBRTC_DATA_CHANNEL(dc), b); }

void onString(GstWebRTCDataChannel*, gchar* str, ChannelBox* b) {
  Gate::Pass pass(b->c->peer->gate, &b->c->detached);
  if (pass && b->c->events.onMessage && trusted(*b->c))
    b->c->events.onMessage(str ? std::string(str) : std::string(), false);
}

void onData(GstWebRTCDataChannel*, GBytes* bytes, ChannelBox* b) {
  Gate::Pass pass(b->c->peer->gate, &b->c->detached);
  if (!pass || !b->c->events.onMessage || !trusted(*b->c)) return;
  gsize n = 0;
  const char* p = bytes ? static_cast<const char*>(g_bytes_get_data(bytes, &n)) : nullptr;
  b->c->events.onMessage(p ? std::string(p, n) : std::string(), true);
}

}  // namespace

ChannelCore::~ChannelCore() {
  if (dc) g_object_unref(dc);
}

ChannelState ChannelCore::readState() const {
  gint v = 0;
  g_object_get(dc, "ready-state", &v, nullptr);
  // webrtcbin's numbering starts at 1 and may move: go by the value's name.
  GEnumClass* k = static_cast<GEnumClass*>(g_type_class_ref(GST_TYPE_WEBRTC_DATA_CHANNEL_STATE));
  GEnumValue* e = g_enum_get_value(k, v);
  std::optional<ChannelState> s = e ? channelStateFromNick(e->value_nick) : std::nullopt;
  g_type_class_unref(k);
  // Before negotiation the field holds 0, which names no state.
  return s.value_or(ChannelState::Connecting);
}

void ChannelCore::reportState() {
  // Held while reporting, so that states from two threads arrive in order.
  std::lock_guard<std::mutex> l(m);
  ChannelState s = readState();
  if (last == s) return;
  last = s;
  if (events.onState) events.onState(s);
}

DataChannelPtr wrapChannel(const std::shared_ptr<PeerCore>& peer, GstWebRTCDataChannel* dc,
                           const std::function<ChannelEvents(const DataChannelPtr&)>& makeEvents,
                           bool reportInitial) {
  auto c = std::make_shared<ChannelCore>();
  c->peer = peer;
  c->dc = GST_WEBRTC_DATA_CHANNEL(g_object_ref(dc));
  gchar* label = nullptr;
  g_object_get(dc, "label", &label, nullptr);
  c->label = label ? label : "";
  g_free(label);
  auto ch = std::make_shared<GstChannel>(c);
  {
    std::lock_guard<std::mutex> l(peer->m);
    peer->channels.push_back(c);
  }
  c->events = makeEvents(ch);
  if (!reportInitial) c->last = c->readState();

  auto box = [&] { return new ChannelBox{c}; };
  bool ok = peer->connect(dc, "on-open", G_CALLBACK(onStateSignal), box()) &&
            peer->connect(dc, "on-close", G_CALLBACK(onStateSignal), box()) &&
            peer->connect(dc, "on-error", G_CALLBACK(onErrorSignal), box()) &&
            peer->connect(dc, "notify::ready-state", G_CALLBACK(onNotifyState), box()) &&
            peer->connect(dc, "on-message-string", G_CALLBACK(onString), box()) &&
            peer->connect(dc, "on-message-data", G_CALLBACK(onData), box());
  if (!ok) return nullptr;
  if (reportInitial) {
    // A channel announced by the other side may be open already.
    Gate::Pass pass(peer->gate, &c->detached);
    if (pass && peer->checkDtls()) c->reportState();
  }
  return ch;
}

}  // namespace rtc::gst
