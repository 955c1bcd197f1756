#include "support/PeerPair.h"

#include <future>
#include <thread>

namespace ts {

namespace {

template <class T>
std::optional<T> await(std::future<T>& f) {
  if (f.wait_for(kRtcDeadline) != std::future_status::ready) return std::nullopt;
  return f.get();
}

}  // namespace

bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
  auto end = std::chrono::steady_clock::now() + deadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

rtc::ChannelEvents ChannelLog::events() {
  rtc::ChannelEvents ev;
  ev.onState = [this](rtc::ChannelState s) {
    std::lock_guard<std::mutex> l(m);
    states.push_back(s);
    ++callbacks;
    cv.notify_all();
  };
  ev.onMessage = [this](std::string data, bool binary) {
    std::function<void(const std::string&, bool)> then;
    {
      std::lock_guard<std::mutex> l(m);
      messages.emplace_back(data, binary);
      ++callbacks;
      then = onMessage;
      cv.notify_all();
    }
    if (then) then(data, binary);
  };
  return ev;
}

bool ChannelLog::waitFor(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
  std::unique_lock<std::mutex> l(m);
  return cv.wait_for(l, deadline, pred);
}

bool ChannelLog::waitOpen(std::chrono::milliseconds deadline) {
  return waitFor([&] { return !states.empty() && states.back() == rtc::ChannelState::Open; }, deadline);
}

size_t ChannelLog::messageCount() {
  std::lock_guard<std::mutex> l(m);
  return messages.size();
}

size_t ChannelLog::callbackCount() {
  std::lock_guard<std::mutex> l(m);
  return callbacks;
}

bool PeerLog::waitFor(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
  std::unique_lock<std::mutex> l(m);
  return cv.wait_for(l, deadline, pred);
}

size_t PeerLog::callbackCount() {
  std::lock_guard<std::mutex> l(m);
  return callbacks;
}

rtc::DataChannelPtr PeerSide::channel(const std::string& label) {
  std::lock_guard<std::mutex> l(m);
  auto it = channels.find(label);
  return it == channels.end() ? nullptr : it->second;
}

std::shared_ptr<ChannelLog> PeerSide::chanLog(const std::string& label) {
  std::lock_guard<std::mutex> l(m);
  auto& log = chanLogs[label];
  if (!log) log = std::make_shared<ChannelLog>();
  return log;
}

struct PeerPair::Relay {
  std::mutex m;
  std::weak_ptr<rtc::GstPeer> target;
  bool open = false;
  std::vector<rtc::IceCandidate> pending;

  void add(const rtc::IceCandidate& c) {
    std::shared_ptr<rtc::GstPeer> t;
    {
      std::lock_guard<std::mutex> l(m);
      if (!open) {
        pending.push_back(c);
        return;
      }
      t = target.lock();
    }
    if (t) t->addIceCandidate(c);
  }
  // The target has its remote description: hand over what waited.
  void release() {
    std::vector<rtc::IceCandidate> now;
    std::shared_ptr<rtc::GstPeer> t;
    {
      std::lock_guard<std::mutex> l(m);
      open = true;
      now.swap(pending);
      t = target.lock();
    }
    if (t)
      for (auto& c : now) t->addIceCandidate(c);
  }
};

rtc::PeerEvents PeerPair::eventsFor(PeerSide& side, const std::shared_ptr<Relay>& toOther) {
  std::shared_ptr<PeerLog> log = side.log;
  auto record = [log](auto&& fn) {
    std::lock_guard<std::mutex> l(log->m);
    fn(*log);
    ++log->callbacks;
    log->cv.notify_all();
  };
  rtc::PeerEvents ev;
  ev.onCandidate = [record, toOther](const rtc::IceCandidate& c) {
    record([&](PeerLog& l) { l.candidates.push_back(c); });
    toOther->add(c);
  };
  ev.onIceState = [record](rtc::IceState s) { record([&](PeerLog& l) { l.ice.push_back(s); }); };
  ev.onPeerState = [record](rtc::PeerState s) { record([&](PeerLog& l) { l.pc.push_back(s); }); };
  ev.onGatheringState = [record](rtc::GatheringState s) { record([&](PeerLog& l) { l.gathering.push_back(s); }); };
  ev.onSignalingState = [record](int s) { record([&](PeerLog& l) { l.signaling.push_back(s); }); };
  return ev;
}

PeerPair::PeerPair(const rtc::PeerConfig& config)
    : toB_(std::make_shared<Relay>()), toA_(std::make_shared<Relay>()) {
  a.pc = factory.createPeer(config, eventsFor(a, toB_));
  b.pc = factory.createPeer(config, eventsFor(b, toA_));
  toB_->target = b.pc;
  toA_->target = a.pc;
  if (!b.pc) return;
  PeerSide* side = &b;
  b.pc->onRemoteChannel([side](const rtc::DataChannelPtr& ch) {
    auto log = side->chanLog(ch->label());
    {
      std::lock_guard<std::mutex> l(side->m);
      side->channels[ch->label()] = ch;
    }
    return log->events();
  });
}

PeerPair::~PeerPair() {
  if (a.pc) a.pc->close();
  if (b.pc) b.pc->close();
}

void PeerPair::createChannels() {
  struct Spec {
    const char* label;
    bool ordered;
    std::optional<int> rtx;
  };
  for (const Spec& s : {Spec{"ctl", true, std::nullopt}, Spec{"video", true, 0}, Spec{"file", true, std::nullopt},
                        Spec{"audio", false, 0}}) {
    auto log = a.chanLog(s.label);
    auto ch = a.pc->createDataChannel(s.label, s.ordered, s.rtx, log->events());
    std::lock_guard<std::mutex> l(a.m);
    a.channels[s.label] = ch;
  }
}

bool PeerPair::negotiate(std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what;
    return false;
  };
  auto o = offer(*a.pc);
  if (!o) return fail("no offer");
  offerSdp = o->sdp;
  if (auto e = setLocal(*a.pc, *o)) return fail("offerer local: " + *e);
  if (auto e = setRemote(*b.pc, *o)) return fail("answerer remote: " + *e);
  toB_->release();
  auto ans = answer(*b.pc);
  if (!ans) return fail("no answer");
  answerSdp = ans->sdp;
  if (auto e = setLocal(*b.pc, *ans)) return fail("answerer local: " + *e);
  rtc::SessionDescription taken = *ans;
  if (rewriteAnswer) taken.sdp = rewriteAnswer(taken.sdp);
  if (auto e = setRemote(*a.pc, taken)) return fail("offerer remote: " + *e);
  toA_->release();
  return true;
}

bool PeerPair::waitAllOpen() {
  for (const char* label : {"ctl", "video", "file", "audio"}) {
    if (!a.chanLog(label)->waitOpen()) return false;
    if (!b.chanLog(label)->waitOpen()) return false;
  }
  return true;
}

bool PeerPair::connect() {
  if (!a.pc || !b.pc) return false;
  createChannels();
  return negotiate() && waitAllOpen();
}

std::optional<rtc::SessionDescription> PeerPair::offer(rtc::GstPeer& p) {
  auto done = std::make_shared<std::promise<std::optional<rtc::SessionDescription>>>();
  auto f = done->get_future();
  p.createOffer([done](std::optional<rtc::SessionDescription> d) { done->set_value(std::move(d)); });
  auto r = await(f);
  return r ? *r : std::nullopt;
}

std::optional<rtc::SessionDescription> PeerPair::answer(rtc::GstPeer& p) {
  auto done = std::make_shared<std::promise<std::optional<rtc::SessionDescription>>>();
  auto f = done->get_future();
  p.createAnswer([done](std::optional<rtc::SessionDescription> d) { done->set_value(std::move(d)); });
  auto r = await(f);
  return r ? *r : std::nullopt;
}

static std::optional<std::string> setDesc(rtc::GstPeer& p, const rtc::SessionDescription& d, bool local) {
  auto done = std::make_shared<std::promise<rtc::DescriptionResult>>();
  auto f = done->get_future();
  auto cb = [done](rtc::DescriptionResult r) { done->set_value(std::move(r)); };
  if (local) {
    p.setLocalDescription(d, cb);
  } else {
    p.setRemoteDescription(d, cb);
  }
  auto r = await(f);
  if (!r) return std::string("no completion");
  return r->error;
}

std::optional<std::string> PeerPair::setLocal(rtc::GstPeer& p, const rtc::SessionDescription& d) {
  return setDesc(p, d, true);
}

std::optional<std::string> PeerPair::setRemote(rtc::GstPeer& p, const rtc::SessionDescription& d) {
  return setDesc(p, d, false);
}

std::optional<nlohmann::json> PeerPair::stats(rtc::GstPeer& p) {
  auto done = std::make_shared<std::promise<nlohmann::json>>();
  auto f = done->get_future();
  p.getStats([done](nlohmann::json j) { done->set_value(std::move(j)); });
  return await(f);
}

}  // namespace ts
