#pragma once
// What the internet transport needs of a WebRTC stack, and nothing more. The
// real stack is GStreamer's webrtcbin (GstPeer); unit tests use a scripted
// fake. Every callback here may arrive on a library thread: the receiver posts
// to its own queue and re-checks that the object still belongs to the current
// session before acting.
#include "rtc/TrackRate.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rtc {

// Numbering follows the W3C enums so journal names map by value.
enum class IceState { New = 0, Checking, Connected, Completed, Failed, Disconnected, Closed };
enum class PeerState { New = 0, Connecting, Connected, Disconnected, Failed, Closed };
enum class GatheringState { New = 0, Gathering, Complete };
enum class ChannelState { Connecting = 0, Open, Closing, Closed };

struct SessionDescription {
  std::string type;  // "offer" or "answer"
  std::string sdp;
};

struct IceCandidate {
  std::string candidate;  // the "candidate:..." line
  std::string mid;        // empty when unknown
  int32_t mlineIndex = 0;
};

struct ChannelEvents {
  std::function<void(ChannelState)> onState;
  // Text arrives with binary false and the bytes as received.
  std::function<void(std::string data, bool binary)> onMessage;
};

class DataChannel {
public:
  virtual ~DataChannel() = default;
  virtual const std::string& label() const = 0;
  virtual ChannelState state() const = 0;
  virtual uint64_t bufferedAmount() const = 0;
  // Sends one message; false when the channel is not open or the stack refused.
  virtual bool send(const std::string& data, bool binary) = 0;
  // After this no callback of this channel runs any more.
  virtual void detach() = 0;
};
using DataChannelPtr = std::shared_ptr<DataChannel>;

struct PeerEvents {
  std::function<void(const IceCandidate&)> onCandidate;
  std::function<void(IceState)> onIceState;
  std::function<void(PeerState)> onPeerState;
  std::function<void(int)> onSignalingState;  // the stack's own number
  std::function<void(GatheringState)> onGatheringState;
};

struct PeerConfig {
  // ICE server URLs as the spec writes them ("stun:host:port",
  // "turn:host:port" with user and password below).
  std::vector<std::string> iceServers;
  std::string turnUser, turnPassword;
};

// One H.264 variant a video track can offer: an RTP payload type with its
// "profile-level-id" (six hex digits) and "packetization-mode".
struct H264Variant {
  std::string profileLevelId;
  int packetizationMode = 1;
  int payloadType = 96;
  bool operator==(const H264Variant&) const = default;
};

struct VideoTrackEvents {
  // The phone asked for a key frame (PLI or FIR).
  std::function<void()> onKeyRequest;
};

// A send-only H.264 track (stream "s", track "screen") fed with whole access
// units. Any thread may call in; callbacks come on library threads.
class VideoTrack {
public:
  virtual ~VideoTrack() = default;
  // The AVC decoder configuration record and picture size of the access
  // units that follow, before the key frame that starts them.
  virtual void setConfig(const std::vector<uint8_t>& avcC, int width, int height) = 0;
  // One access unit with 4-byte length prefixes. False when the track
  // refused it: it is not configured yet, or its queue is full (then deltas
  // are refused until the next key frame, and the caller should ask for one).
  virtual bool push(const std::vector<uint8_t>& au, bool key) = 0;
  // Congestion feedback gathered since the last call (transport-wide
  // feedback and receiver reports), none when nothing new arrived.
  virtual std::optional<TrackFeedback> feedback(double nowMs) = 0;
  // The answer's choice among the offered variants, once it is applied.
  virtual std::optional<H264Variant> chosen() const = 0;
  // After this no callback of this track runs any more; pushes are refused.
  virtual void detach() = 0;
};
using VideoTrackPtr = std::shared_ptr<VideoTrack>;

struct DescriptionResult {
  std::optional<std::string> error;  // none on success
};

class PeerConnection {
public:
  virtual ~PeerConnection() = default;
  // maxRetransmits none = reliable.
  virtual DataChannelPtr createDataChannel(const std::string& label, bool ordered,
                                           std::optional<int> maxRetransmits, ChannelEvents events) = 0;
  // done gets none when no offer could be made.
  virtual void createOffer(std::function<void(std::optional<SessionDescription>)> done) = 0;
  virtual void setLocalDescription(const SessionDescription& d, std::function<void(DescriptionResult)> done) = 0;
  virtual void setRemoteDescription(const SessionDescription& d,
                                    std::function<void(DescriptionResult)> done) = 0;
  virtual void addIceCandidate(const IceCandidate& c) = 0;
  // Adds a send-only H.264 video transceiver offering exactly `codecs`, in
  // this order, with NACK, PLI, FIR and transport-wide congestion feedback.
  // Before the offer. nullptr when the stack cannot.
  virtual VideoTrackPtr addVideoTrack(const std::vector<H264Variant>& codecs, VideoTrackEvents events) = 0;
  // A map from statistics id to an object with "type" and camelCase values.
  virtual void getStats(std::function<void(nlohmann::json)> done) = 0;
  // Stops the connection; no PeerEvents callback runs afterwards.
  virtual void close() = 0;
};
using PeerConnectionPtr = std::shared_ptr<PeerConnection>;

class PeerFactory {
public:
  virtual ~PeerFactory() = default;
  // Nothing when the stack cannot make a connection.
  virtual PeerConnectionPtr create(const PeerConfig& config, PeerEvents events) = 0;
};

// Journal names of the states.
const char* iceStateName(IceState s);
const char* peerStateName(PeerState s);
const char* gatheringStateName(GatheringState s);
const char* channelStateName(ChannelState s);

}  // namespace rtc
