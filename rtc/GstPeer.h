#pragma once
// The WebRTC stack on GStreamer's webrtcbin: one pipeline holding one
// webrtcbin per peer connection.
//
// Callbacks (PeerEvents, ChannelEvents, completions) run on webrtcbin's
// threads, completions even while webrtcbin holds its own lock: a receiver
// posts them to its own queue and returns. From inside a callback only
// channel sends and the negotiation calls (descriptions, candidates) may call
// back into the peer; createDataChannel and getStats would deadlock there.
#include "rtc/PeerApi.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace rtc {

namespace gst {
struct PeerCore;
}

class GstPeer : public PeerConnection {
public:
  explicit GstPeer(std::shared_ptr<gst::PeerCore> core);
  ~GstPeer() override;
  GstPeer(const GstPeer&) = delete;
  GstPeer& operator=(const GstPeer&) = delete;

  DataChannelPtr createDataChannel(const std::string& label, bool ordered, std::optional<int> maxRetransmits,
                                   ChannelEvents events) override;
  void createOffer(std::function<void(std::optional<SessionDescription>)> done) override;
  void setLocalDescription(const SessionDescription& d, std::function<void(DescriptionResult)> done) override;
  void setRemoteDescription(const SessionDescription& d, std::function<void(DescriptionResult)> done) override;
  void addIceCandidate(const IceCandidate& c) override;
  void getStats(std::function<void(nlohmann::json)> done) override;
  void close() override;
  // appsrc -> rtph264pay (with transport-wide sequence numbers) -> a
  // send-only transceiver of webrtcbin (GstTrack.cpp).
  VideoTrackPtr addVideoTrack(const std::vector<H264Variant>& codecs, VideoTrackEvents events) override;

  // The answering side, which the host never is but its test peers are.
  void createAnswer(std::function<void(std::optional<SessionDescription>)> done);
  // Channels the other side opens: the handler receives each one and returns
  // the events it wants for it. Set before negotiating.
  void onRemoteChannel(std::function<ChannelEvents(const DataChannelPtr&)> handler);

  // The receiving side of a video track, for test peers: each access unit
  // the other side sends, depayloaded (byte-stream, whole units), and a way
  // to ask the sender for a key frame as a decoder would (PLI).
  void receiveVideo(std::function<void(std::vector<uint8_t> au)> onUnit);
  bool requestRemoteKeyFrame();

  // The message size our offers announce (a=max-message-size); 0 announces
  // none. webrtcbin 1.22 receives a message of about 66 KB and more in
  // pieces (seen with Chromium: 67000 bytes arrived as 66120 + 880), so no
  // more than 64 KiB is announced and larger sends fail at the sender.
  static constexpr uint64_t kAnnouncedMaxMessageSize = 65536;
  void setAnnouncedMaxMessageSize(uint64_t bytes);

private:
  void createDescription(const char* signal, const char* field,
                         std::function<void(std::optional<SessionDescription>)> done);
  void setDescription(const char* signal, const SessionDescription& d, std::function<void(DescriptionResult)> done);

  std::shared_ptr<gst::PeerCore> core_;
};

class GstPeerFactory : public PeerFactory {
public:
  GstPeerFactory();  // initialises GStreamer once per process
  PeerConnectionPtr create(const PeerConfig& config, PeerEvents events) override;
  // The same with the GstPeer type, for the extras of the answering side.
  std::shared_ptr<GstPeer> createPeer(const PeerConfig& config, PeerEvents events);
};

}  // namespace rtc
