#pragma once
// A scripted WebRTC stack for the transport's unit tests: records what the
// transport asks of it and lets the test raise the library's events.
#include "rtc/PeerApi.h"

#include <mutex>
#include <vector>

namespace ts {

class FakeChannel : public rtc::DataChannel {
public:
  FakeChannel(std::string label, bool ordered, std::optional<int> maxRetransmits, rtc::ChannelEvents ev)
      : ordered(ordered), maxRetransmits(maxRetransmits), label_(std::move(label)), ev_(std::move(ev)) {}
  const std::string& label() const override { return label_; }
  rtc::ChannelState state() const override;
  uint64_t bufferedAmount() const override;
  bool send(const std::string& data, bool binary) override;
  void detach() override;

  // Test side.
  void setState(rtc::ChannelState s);
  void deliver(const std::string& data, bool binary = false);
  void setBuffered(uint64_t n);
  std::vector<std::string> sentTexts() const;
  std::vector<std::string> sentBinary() const;

  const bool ordered;
  const std::optional<int> maxRetransmits;

private:
  std::string label_;
  mutable std::mutex m_;
  rtc::ChannelEvents ev_;
  rtc::ChannelState state_ = rtc::ChannelState::Connecting;
  uint64_t buffered_ = 0;
  bool detached_ = false;
  std::vector<std::pair<std::string, bool>> sent_;
};

class FakeTrack : public rtc::VideoTrack {
public:
  FakeTrack(std::vector<rtc::H264Variant> codecs, rtc::VideoTrackEvents ev)
      : codecs(std::move(codecs)), ev_(std::move(ev)) {}
  void setConfig(const std::vector<uint8_t>& avcC, int width, int height) override;
  bool push(const std::vector<uint8_t>& au, bool key) override;
  std::optional<rtc::TrackFeedback> feedback(double nowMs) override;
  std::optional<rtc::H264Variant> chosen() const override;
  void detach() override;

  // Test side.
  void requestKey();                        // as a PLI would
  void setFeedback(rtc::TrackFeedback fb);  // handed out once by feedback()
  void setChosen(std::optional<rtc::H264Variant> v);
  size_t pushedCount() const;
  size_t keyCount() const;
  std::vector<uint8_t> lastConfig() const;
  bool detached() const;
  bool refuse = false;  // push() says no

  const std::vector<rtc::H264Variant> codecs;

private:
  mutable std::mutex m_;
  rtc::VideoTrackEvents ev_;
  bool detached_ = false;
  std::vector<uint8_t> config_;
  size_t pushed_ = 0, keys_ = 0;
  std::optional<rtc::TrackFeedback> fb_;
  std::optional<rtc::H264Variant> chosen_;
};

class FakePeer : public rtc::PeerConnection {
public:
  FakePeer(rtc::PeerConfig config, rtc::PeerEvents ev) : config(std::move(config)), ev_(std::move(ev)) {}
  rtc::DataChannelPtr createDataChannel(const std::string& label, bool ordered, std::optional<int> maxRetransmits,
                                        rtc::ChannelEvents events) override;
  void createOffer(std::function<void(std::optional<rtc::SessionDescription>)> done) override;
  void setLocalDescription(const rtc::SessionDescription& d, std::function<void(rtc::DescriptionResult)> done) override;
  void setRemoteDescription(const rtc::SessionDescription& d,
                            std::function<void(rtc::DescriptionResult)> done) override;
  void addIceCandidate(const rtc::IceCandidate& c) override;
  // Answers at once with the report set by setStats (empty at first).
  void getStats(std::function<void(nlohmann::json)> done) override;
  void close() override;
  rtc::VideoTrackPtr addVideoTrack(const std::vector<rtc::H264Variant>& codecs, rtc::VideoTrackEvents events) override;

  // Test side.
  std::shared_ptr<FakeTrack> track() const;
  bool failTrack = false;
  void ice(rtc::IceState s);
  void peer(rtc::PeerState s);
  void candidate(const std::string& line);
  std::shared_ptr<FakeChannel> channel(const std::string& label) const;
  std::vector<std::string> addedCandidates() const;
  std::vector<std::string> remoteSdps() const;
  bool closed() const;
  void setStats(nlohmann::json report);
  int statsCalls() const;

  const rtc::PeerConfig config;
  bool failOffer = false;
  std::optional<std::string> remoteError;
  std::string offerSdp = "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n";

private:
  mutable std::mutex m_;
  rtc::PeerEvents ev_;
  bool closed_ = false;
  nlohmann::json stats_ = nlohmann::json::object();
  int statsCalls_ = 0;
  std::vector<std::shared_ptr<FakeChannel>> channels_;
  std::shared_ptr<FakeTrack> track_;
  std::vector<std::string> added_, remote_;
};

class FakeFactory : public rtc::PeerFactory {
public:
  rtc::PeerConnectionPtr create(const rtc::PeerConfig& config, rtc::PeerEvents events) override;
  std::shared_ptr<FakePeer> last() const;
  size_t count() const;
  bool fail = false;
  // Applied to every peer made from now on.
  bool failOffer = false;
  bool failTrack = false;
  std::optional<std::string> remoteError;

private:
  mutable std::mutex m_;
  std::vector<std::shared_ptr<FakePeer>> made_;
};

}  // namespace ts
