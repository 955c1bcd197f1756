#include "support/FakePeer.h"

namespace ts {

rtc::ChannelState FakeChannel::state() const {
  std::lock_guard<std::mutex> l(m_);
  return state_;
}
uint64_t FakeChannel::bufferedAmount() const {
  std::lock_guard<std::mutex> l(m_);
  return buffered_;
}
bool FakeChannel::send(const std::string& data, bool binary) {
  std::lock_guard<std::mutex> l(m_);
  if (state_ != rtc::ChannelState::Open) return false;
  sent_.emplace_back(data, binary);
  return true;
}
void FakeChannel::detach() {
  std::lock_guard<std::mutex> l(m_);
  detached_ = true;
}
void FakeChannel::setState(rtc::ChannelState s) {
  rtc::ChannelEvents ev;
  {
    std::lock_guard<std::mutex> l(m_);
    state_ = s;
    if (detached_) return;
    ev = ev_;
  }
  if (ev.onState) ev.onState(s);
}
void FakeChannel::deliver(const std::string& data, bool binary) {
  rtc::ChannelEvents ev;
  {
    std::lock_guard<std::mutex> l(m_);
    if (detached_) return;
    ev = ev_;
  }
  if (ev.onMessage) ev.onMessage(data, binary);
}
void FakeChannel::setBuffered(uint64_t n) {
  std::lock_guard<std::mutex> l(m_);
  buffered_ = n;
}
std::vector<std::string> FakeChannel::sentTexts() const {
  std::lock_guard<std::mutex> l(m_);
  std::vector<std::string> out;
  for (auto& [d, b] : sent_)
    if (!b) out.push_back(d);
  return out;
}

std::vector<std::string> FakeChannel::sentBinary() const {
  std::lock_guard<std::mutex> l(m_);
  std::vector<std::string> out;
  for (auto& [d, b] : sent_)
    if (b) out.push_back(d);
  return out;
}

void FakePeer::getStats(std::function<void(nlohmann::json)> done) {
  nlohmann::json report;
  {
    std::lock_guard<std::mutex> l(m_);
    ++statsCalls_;
    report = stats_;
  }
  done(std::move(report));
}
void FakePeer::setStats(nlohmann::json report) {
  std::lock_guard<std::mutex> l(m_);
  stats_ = std::move(report);
}
int FakePeer::statsCalls() const {
  std::lock_guard<std::mutex> l(m_);
  return statsCalls_;
}

rtc::DataChannelPtr FakePeer::createDataChannel(const std::string& label, bool ordered,
                                                std::optional<int> maxRetransmits, rtc::ChannelEvents events) {
  auto ch = std::make_shared<FakeChannel>(label, ordered, maxRetransmits, std::move(events));
  std::lock_guard<std::mutex> l(m_);
  channels_.push_back(ch);
  return ch;
}
void FakePeer::createOffer(std::function<void(std::optional<rtc::SessionDescription>)> done) {
  if (failOffer) return done(std::nullopt);
  done(rtc::SessionDescription{"offer", offerSdp});
}
void FakePeer::setLocalDescription(const rtc::SessionDescription&, std::function<void(rtc::DescriptionResult)> done) {
  done({});
}
void FakePeer::setRemoteDescription(const rtc::SessionDescription& d,
                                    std::function<void(rtc::DescriptionResult)> done) {
  {
    std::lock_guard<std::mutex> l(m_);
    remote_.push_back(d.sdp);
  }
  done({remoteError});
}
void FakePeer::addIceCandidate(const rtc::IceCandidate& c) {
  std::lock_guard<std::mutex> l(m_);
  added_.push_back(c.candidate + "|" + c.mid + "|" + std::to_string(c.mlineIndex));
}
void FakePeer::close() {
  std::lock_guard<std::mutex> l(m_);
  closed_ = true;
}
void FakePeer::ice(rtc::IceState s) {
  rtc::PeerEvents ev;
  {
    std::lock_guard<std::mutex> l(m_);
    if (closed_) return;
    ev = ev_;
  }
  ev.onIceState(s);
}
void FakePeer::peer(rtc::PeerState s) {
  rtc::PeerEvents ev;
  {
    std::lock_guard<std::mutex> l(m_);
    if (closed_) return;
    ev = ev_;
  }
  ev.onPeerState(s);
}
void FakePeer::candidate(const std::string& line) {
  rtc::PeerEvents ev;
  {
    std::lock_guard<std::mutex> l(m_);
    if (closed_) return;
    ev = ev_;
  }
  ev.onCandidate({line, "0", 0});
}
std::shared_ptr<FakeChannel> FakePeer::channel(const std::string& label) const {
  std::lock_guard<std::mutex> l(m_);
  for (auto& c : channels_)
    if (c->label() == label) return c;
  return nullptr;
}
std::vector<std::string> FakePeer::addedCandidates() const {
  std::lock_guard<std::mutex> l(m_);
  return added_;
}
std::vector<std::string> FakePeer::remoteSdps() const {
  std::lock_guard<std::mutex> l(m_);
  return remote_;
}
bool FakePeer::closed() const {
  std::lock_guard<std::mutex> l(m_);
  return closed_;
}

void FakeTrack::setConfig(const std::vector<uint8_t>& avcC, int, int) {
  std::lock_guard<std::mutex> l(m_);
  config_ = avcC;
}
bool FakeTrack::push(const std::vector<uint8_t>&, bool key) {
  std::lock_guard<std::mutex> l(m_);
  if (detached_ || refuse || config_.empty()) return false;
  ++pushed_;
  if (key) ++keys_;
  return true;
}
std::optional<rtc::TrackFeedback> FakeTrack::feedback(double) {
  std::lock_guard<std::mutex> l(m_);
  auto out = fb_;
  fb_.reset();
  return out;
}
std::optional<rtc::H264Variant> FakeTrack::chosen() const {
  std::lock_guard<std::mutex> l(m_);
  return chosen_;
}
void FakeTrack::detach() {
  std::lock_guard<std::mutex> l(m_);
  detached_ = true;
  ev_ = {};
}
void FakeTrack::requestKey() {
  rtc::VideoTrackEvents ev;
  {
    std::lock_guard<std::mutex> l(m_);
    ev = ev_;
  }
  if (ev.onKeyRequest) ev.onKeyRequest();
}
void FakeTrack::setFeedback(rtc::TrackFeedback fb) {
  std::lock_guard<std::mutex> l(m_);
  fb_ = fb;
}
void FakeTrack::setChosen(std::optional<rtc::H264Variant> v) {
  std::lock_guard<std::mutex> l(m_);
  chosen_ = std::move(v);
}
size_t FakeTrack::pushedCount() const {
  std::lock_guard<std::mutex> l(m_);
  return pushed_;
}
size_t FakeTrack::keyCount() const {
  std::lock_guard<std::mutex> l(m_);
  return keys_;
}
std::vector<uint8_t> FakeTrack::lastConfig() const {
  std::lock_guard<std::mutex> l(m_);
  return config_;
}
bool FakeTrack::detached() const {
  std::lock_guard<std::mutex> l(m_);
  return detached_;
}

rtc::VideoTrackPtr FakePeer::addVideoTrack(const std::vector<rtc::H264Variant>& codecs,
                                           rtc::VideoTrackEvents events) {
  std::lock_guard<std::mutex> l(m_);
  if (failTrack) return nullptr;
  track_ = std::make_shared<FakeTrack>(codecs, std::move(events));
  return track_;
}
std::shared_ptr<FakeTrack> FakePeer::track() const {
  std::lock_guard<std::mutex> l(m_);
  return track_;
}

rtc::PeerConnectionPtr FakeFactory::create(const rtc::PeerConfig& config, rtc::PeerEvents events) {
  std::lock_guard<std::mutex> l(m_);
  if (fail) return nullptr;
  auto p = std::make_shared<FakePeer>(config, std::move(events));
  p->failOffer = failOffer;
  p->failTrack = failTrack;
  p->remoteError = remoteError;
  made_.push_back(p);
  return p;
}
std::shared_ptr<FakePeer> FakeFactory::last() const {
  std::lock_guard<std::mutex> l(m_);
  return made_.empty() ? nullptr : made_.back();
}
size_t FakeFactory::count() const {
  std::lock_guard<std::mutex> l(m_);
  return made_.size();
}

}  // namespace ts
