#pragma once
// The internet transport: registers with the rendezvous server under the room
// derived from the connect key, and serves one phone at a time over a WebRTC
// peer connection whose control channel carries the same session protocol as
// the LAN WebSocket. All state lives on the "rtc" queue.
#include "rtc/PeerApi.h"
#include "rtc/RateControl.h"
#include "rtc/SimLink.h"
#include "rtc/TrackRate.h"
#include "media/Frame.h"
#include "session/Transport.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class SignalSocket;
class QueueTimer;
class InputTracker;
class TrackPipeline;

class RTCTransport : public Transport, public std::enable_shared_from_this<RTCTransport> {
public:
  // Throws std::invalid_argument when the signalling URL gives no ws/wss endpoint.
  RTCTransport(const std::string& signalBase, const std::string& key, const std::string& stun,
               double iceTimeout, std::shared_ptr<rtc::PeerFactory> factory);
  ~RTCTransport() override;

  // Connects the signalling socket and starts the keep-alive.
  void start();
  // Ends everything without further callbacks (process exit, tests).
  void stop();

  // Transport
  SerialQueue& queue() override { return *q_; }
  const std::map<int64_t, ConnPtr>& conns() const override { return conns_; }
  int64_t wsCount() const override { return open_.load(); }
  void sendText(const ConnPtr& conn, const std::string& text) override;
  void sendTextAll(const std::string& text) override;
  // Cut into chunks on the "video" channel, or dropped while it backs up.
  void sendVideo(std::shared_ptr<const Bytes> data, bool key) override;

  void setPaused(bool p);
  // Synchronous on the queue; never call these from it.
  bool isLive();
  bool paused();
  bool sendBulk(const std::string& text);
  int64_t bulkBuffered();
  void sendAudio(std::vector<uint8_t> bytes);

  const std::string& wsURL() const { return wsURL_; }
  const std::string& rid() const { return rid_; }

  std::function<void(const ConnPtr&)> onWSOpen;
  std::function<void(const ConnPtr&, const std::string&)> onText;
  std::function<void(const ConnPtr&)> onClose;
  std::function<void()> onNeedKey;
  // none = back to the configured rate.
  std::function<void(std::optional<std::pair<int64_t, int64_t>>)> onRate = [](auto) {};

  // Video track, set before start(): "auto", "dc" or "track"; bounds in
  // bits per second (app/RtcOptions.h corrects bad ones). The track is only
  // offered with a tracker.
  std::string videoMode = "auto";
  std::string degradation = "balanced";
  bool screencastHint = true;
  int64_t trackMaxBps = 8000000, trackStartBps = 3000000, trackMinBps = 300000;
  int64_t trackFps = 60;
  std::shared_ptr<InputTracker> tracker;

  // Any thread: while video goes through the track, hands it the frame and
  // answers true; false leaves the frame to the encoder.
  bool pushTrack(const FramePtr& frame);
  bool trackActive();
  // The track pipeline once a session made it (tests), else nullptr.
  std::shared_ptr<TrackPipeline> trackPipeline();

  // Data-channel video, set before start(). Rates of 0 or below mean the
  // defaults (3000000 to start, 8000000 at most).
  int64_t rateStart = rtc::RateController::kDefaultStart;
  int64_t rateMax = rtc::RateController::kDefaultMax;
  bool adaptive = true;
  bool legacySend = false;
  // Simulated bottleneck on our own sends: kbit/s, round-trip ms, percent of
  // binary messages lost, outage (start, duration) in seconds from the first
  // session's opening.
  double simKbps = 0, simDelayMs = 0, simLossPct = 0;
  std::optional<std::pair<double, double>> simBlackout;

  // Address kinds and the route, pure functions of the report.
  static std::string ipKind(const std::string& address);
  static std::optional<bool> sameLan(const std::string& localKind, const std::string& remoteKind);

  // Test seams. Every duration of the signalling and session timers is
  // multiplied by timeScale, so tests can run the 2..30 s back-off and the
  // 50 s silence rule in a fraction of the time; sigTap sees every text sent
  // to the rendezvous server, also when no socket is open.
  double timeScale = 1.0;
  std::function<void(const std::string&)> sigTap;
  // Feeds one text as if it came from the rendezvous server.
  void injectSignal(const std::string& text);
  // Wall clock (ms since 1970) of the session tick, the rate control, the
  // watchdog and the simulated link; tests drive it and call runTick().
  std::function<double()> clockMs;
  // One session tick, now, on the queue (returns once it ran).
  void runTick();
  // Loss decisions of the simulated link (uniform in [0, 100)).
  void setSimDraw(std::function<double()> draw);

  // Bounds against a hostile or broken phone: candidates kept before the
  // answer, candidates added per session, and bytes queued on the control
  // channel before the session counts as lost.
  static constexpr size_t kMaxPendingIce = 64;
  static constexpr size_t kMaxRemoteIce = 256;
  static constexpr uint64_t kMaxCtlBuffered = 16u << 20;

private:
  using Clock = std::chrono::steady_clock;
  std::chrono::nanoseconds scaled(double seconds) const;
  void after(double seconds, std::function<void()> fn);

  // signalling
  void connectSignal();
  void sendSig(const nlohmann::json& dict);
  void onSignal(const std::string& text);
  void signalLost(const std::string& reason);
  void keepAlive();
  void takeTurn(const nlohmann::json& peer);

  // peer session
  void startPeer(int64_t cid);
  void onPeerSig(const nlohmann::json& d);
  void onAnswer(const nlohmann::json& d);
  void onRemoteIce(const nlohmann::json& d);
  void onLocalCandidate(uint64_t gen, const rtc::IceCandidate& c);
  void onIceState(uint64_t gen, rtc::IceState s);
  void onPeerState(uint64_t gen, rtc::PeerState s);
  void onChannelState(uint64_t gen, const std::string& label, rtc::ChannelState s);
  void onChannelMessage(uint64_t gen, const std::string& label, const std::string& data, bool binary);
  void onClientText(uint64_t gen, const std::string& label, const std::string& data);
  void handleClientText(const std::string& text);
  void handleClientJournal(const std::string& text);
  void applyMode(const std::string& req);
  // video track (RTCTrack.cpp)
  void addTrack();
  void applySenderParams();
  void forgetTrack();
  bool setTrackActive(bool on);  // the flag before
  void trackFeedback(double now);
  std::string answerForTrack(const std::string& sdp);
  void trackAnswered();
  void onTrackConfig(const std::vector<uint8_t>& avcC, int w, int h);
  void onTrackSample(const std::vector<uint8_t>& au, bool key);
  nlohmann::json trackCounters() const;
  void onConnected();
  void finish(bool ok, const std::string& reason);
  void closePeer(const std::string& reason);
  void dropPeerAfterConnect(const std::string& reason);
  void removeConn();
  void ev(const std::string& name, nlohmann::json fields = nlohmann::json::object());
  bool sendOn(const rtc::DataChannelPtr& ch, const std::string& text, bool binary);

  // data-channel video
  double nowMs() const;
  int64_t queued() const;
  void emit(const std::string& data, bool binary, const rtc::DataChannelPtr& ch);
  void sendVideoNow(const Bytes& data, bool key);
  void rateOpen();
  void startTick();
  void cancelTick();
  void onTick();
  void adapt(double now);

  // statistics and route
  void snapshotStats(const std::string& tag);
  void onConnectedStats(nlohmann::json rec, const nlohmann::json& report);
  void setRoute(const std::optional<bool>& same, const std::string& localKind, const std::string& remoteKind,
                bool relayed);
  void flushRoute();
  rtc::ChannelEvents channelEvents(const std::string& label);
  static bool isOpen(const rtc::DataChannelPtr& ch);

  std::shared_ptr<SerialQueue> q_ = std::make_shared<SerialQueue>("rtc");

  // signalling fields
  std::string wsURL_;
  std::string key_;
  std::string rid_;
  std::string stun_;
  double iceTimeout_;
  // The relay servers and credentials that came with the latest "peer".
  std::vector<std::string> turnUrls_;
  std::string turnUser_, turnPassword_;
  std::shared_ptr<rtc::PeerFactory> factory_;
  std::shared_ptr<SignalSocket> task_;
  double backoff_ = 2.0;
  Clock::time_point lastPong_ = Clock::now();
  std::shared_ptr<QueueTimer> pingTimer_;
  // One-shot timers still pending, cancelled by stop() so the queue can end.
  std::vector<std::weak_ptr<QueueTimer>> timers_;
  bool paused_ = false;
  bool stopped_ = false;

  // session fields
  std::map<int64_t, ConnPtr> conns_;
  std::atomic<int64_t> open_{0};
  rtc::PeerConnectionPtr pc_;
  rtc::DataChannelPtr ctl_, vid_, fch_, ach_;
  int64_t curCid_ = 0;
  std::string sid_;
  Clock::time_point t0_ = Clock::now();
  bool connected_ = false;
  bool finished_ = false;
  bool remoteSet_ = false;
  // Only the first authenticated answer of a session is used: a replay of it
  // is indistinguishable by its code and must not disturb a working session.
  bool answered_ = false;
  size_t remoteIce_ = 0;
  std::vector<rtc::IceCandidate> pendingIce_;
  ConnPtr conn_;
  int64_t nextId_ = 1;
  Clock::time_point connectedAt_ = Clock::now();
  // Per session: a second phone's journal numbers start from 1 again.
  int64_t clientEvSeq_ = 0;
  double lastRxAt_ = 0;
  nlohmann::json rep_ = nlohmann::json::object();
  double repAt_ = 0;
  rtc::RateController rc_;
  rtc::SimLink sim_;
  uint32_t frameSeq_ = 0;
  double lastKeyReq_ = 0;
  std::shared_ptr<QueueTimer> tick_;
  int64_t tickN_ = 0;
  std::optional<std::string> routeMsg_;

  // video track
  std::mutex tlock_;  // guards the three below
  bool trackActive_ = false;
  std::shared_ptr<TrackPipeline> pipe_;  // made once, kept for the transport's life
  rtc::VideoTrackPtr sink_;              // the session's track as the pipeline's callbacks see it
  rtc::VideoTrackPtr trackSender_;       // the session's track, on the queue
  std::optional<rtc::TrackRate> trackRate_;
  std::atomic<int64_t> trackFrames_{0}, trackKeys_{0}, trackW_{0}, trackH_{0};
  int64_t trackTargetBps_ = 0, trackTargetFps_ = 0;
  // Bumped by every startPeer; library callbacks carry the value they were
  // made for and are dropped when it no longer matches.
  uint64_t gen_ = 0;
};
