#pragma once
// State shared between a GstPeer, its channels and the signal handlers
// connected on their GStreamer objects. Handlers hold it through boxes that
// GLib frees with the handler, so it lives as long as anything can call in.
#include "rtc/DtlsFingerprint.h"
#include "rtc/GstGate.h"
#include "rtc/PeerApi.h"
#include "rtc/RemoteCandidates.h"

#ifndef GST_USE_UNSTABLE_API
#define GST_USE_UNSTABLE_API  // the WebRTC library's API is marked unstable
#endif
#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rtc::gst {

struct PeerCore : std::enable_shared_from_this<PeerCore> {
  ~PeerCore();

  Gate gate;
  PeerEvents events;  // cleared once the gate is shut
  std::function<ChannelEvents(const DataChannelPtr&)> remoteChannel;
  std::atomic<uint64_t> maxMessageSize{0};  // announced in offers; 0 none
  std::atomic<bool> iceHooked{false};  // following the data channels' ICE transport
  std::mutex iceMu;  // held while an ICE state is reported, so they stay in order
  std::optional<IceState> lastIce;  // under iceMu
  std::atomic<bool> dtlsHooked{false};  // following the data channels' DTLS transport
  // The remote certificate against the remote description's fingerprints:
  // until it is known to match, nothing of the session is reported as up.
  enum DtlsCheck { kUnchecked = 0, kMatches, kRefused };
  std::atomic<int> dtlsCheck{kUnchecked};
  GstElement* pipeline = nullptr;  // owned; holds webrtc
  GstElement* webrtc = nullptr;

  std::mutex m;  // guards the fields below
  std::vector<std::string> localMids;
  std::vector<Fingerprint> remoteFingerprints;
  RemoteCandidates remoteCandidates;
  GObject* dtls = nullptr;  // referenced once hooked
  std::vector<std::pair<GObject*, gulong>> handlers;  // each object referenced
  std::vector<std::weak_ptr<struct ChannelCore>> channels;  // their events go at close
  std::vector<std::weak_ptr<struct TrackCore>> tracks;       // detached at close
  GstElement* videoSink = nullptr;  // the receiving side's depayloaded end (test peers), referenced
  std::function<void(std::vector<uint8_t>)> onVideoUnit;  // set before negotiating
  bool tornDown = false;

  // Connects `cb` with `box` as its data; GLib deletes the box with the
  // handler. False (box deleted) once the peer is closed.
  template <class Box>
  bool connect(gpointer obj, const char* signal, GCallback cb, Box* box) {
    std::lock_guard<std::mutex> l(m);
    if (tornDown) {
      delete box;
      return false;
    }
    gulong id = g_signal_connect_data(obj, signal, cb, box,
                                      [](gpointer d, GClosure*) { delete static_cast<Box*>(d); },
                                      GConnectFlags(0));
    handlers.emplace_back(G_OBJECT(g_object_ref(obj)), id);
    return true;
  }

  // webrtcbin with a reference of the caller's, or nullptr once closed.
  GstElement* acquire();
  // Shuts the gate, then disconnects every handler and stops the pipeline.
  void close();
  void teardown();

  // Compares the remote certificate with the remote description, once the
  // DTLS transport has one; a refusal reports the peer failed. Inside a
  // passage of the gate. True while the session may go on.
  bool checkDtls();
  bool dtlsRefused() const { return dtlsCheck.load() == kRefused; }
};

// What a channel's handlers and its DataChannel object share.
struct ChannelCore {
  ~ChannelCore();

  std::shared_ptr<PeerCore> peer;
  GstWebRTCDataChannel* dc = nullptr;  // referenced
  std::string label;
  ChannelEvents events;  // guarded by the peer's gate: cleared once detached
  bool detached = false;  // written under the gate's lock
  std::mutex m;
  std::optional<ChannelState> last;  // last state reported, under m

  ChannelState readState() const;
  // Reports the current state unless it is the one reported last.
  void reportState();
};

// Video tracks (GstTrack.cpp): the answer's choice of payload applied to
// every track of the peer; tracks detached at close; the receiving end of
// test peers.
void chooseTrackCodecs(PeerCore& core, const std::string& answerSdp);
void detachTracks(PeerCore& core);
std::vector<H264Variant> offeredVariants(PeerCore& core);
// The offer as webrtcbin made it, completed: "a=msid:s screen" in every
// video section that names no stream, and each offered payload's
// "profile-level-id" in its fmtp line.
std::string withTrackCodecs(const std::string& sdp, const std::vector<H264Variant>& offered);
void hookVideoReceiver(const std::shared_ptr<PeerCore>& core, GstElement* webrtc);

// Wires the handlers of a channel and wraps it; nullptr when the peer is closed.
// makeEvents gives the events for the new channel (it may keep the channel).
DataChannelPtr wrapChannel(const std::shared_ptr<PeerCore>& peer, GstWebRTCDataChannel* dc,
                           const std::function<ChannelEvents(const DataChannelPtr&)>& makeEvents,
                           bool reportInitial);

}  // namespace rtc::gst
