#pragma once
// Two GstPeers in one process wired to each other: the offerer (as the host
// is) opens the four host channels, the answerer accepts them, descriptions
// and candidates are handed over directly. Everything a callback records is
// waited for with a deadline, never slept for.
#include "rtc/GstPeer.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ts {

using namespace std::chrono_literals;
inline constexpr std::chrono::seconds kRtcDeadline{60};

// Polls pred until it holds (true) or the deadline passes (false), for
// conditions no callback signals.
bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds deadline = kRtcDeadline);

// What one channel reported.
struct ChannelLog {
  std::mutex m;
  std::condition_variable cv;
  std::vector<rtc::ChannelState> states;
  std::vector<std::pair<std::string, bool>> messages;
  size_t callbacks = 0;
  // Runs (outside the lock) on each message, after it is recorded.
  std::function<void(const std::string&, bool)> onMessage;

  rtc::ChannelEvents events();
  bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds deadline = kRtcDeadline);
  bool waitOpen(std::chrono::milliseconds deadline = kRtcDeadline);
  size_t messageCount();
  size_t callbackCount();
};

// What one peer reported.
struct PeerLog {
  std::mutex m;
  std::condition_variable cv;
  std::vector<rtc::IceState> ice;
  std::vector<rtc::PeerState> pc;
  std::vector<rtc::GatheringState> gathering;
  std::vector<int> signaling;
  std::vector<rtc::IceCandidate> candidates;
  size_t callbacks = 0;

  bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds deadline = kRtcDeadline);
  size_t callbackCount();
};

struct PeerSide {
  std::shared_ptr<rtc::GstPeer> pc;
  std::shared_ptr<PeerLog> log = std::make_shared<PeerLog>();
  std::map<std::string, rtc::DataChannelPtr> channels;  // by label
  std::map<std::string, std::shared_ptr<ChannelLog>> chanLogs;
  std::mutex m;  // guards channels and chanLogs (the answerer fills them on library threads)

  rtc::DataChannelPtr channel(const std::string& label);
  std::shared_ptr<ChannelLog> chanLog(const std::string& label);
};

class PeerPair {
public:
  explicit PeerPair(const rtc::PeerConfig& config = {});
  ~PeerPair();

  // The offerer's four channels with the transport's settings.
  void createChannels();
  // Offer, answer, both descriptions set; false (with *error) when a step failed.
  bool negotiate(std::string* error = nullptr);
  // All four channels open on both sides.
  bool waitAllOpen();
  // createChannels + negotiate + waitAllOpen.
  bool connect();

  // Completion helpers: wait for a completion with the deadline.
  static std::optional<rtc::SessionDescription> offer(rtc::GstPeer& p);
  static std::optional<rtc::SessionDescription> answer(rtc::GstPeer& p);
  static std::optional<std::string> setLocal(rtc::GstPeer& p, const rtc::SessionDescription& d);
  static std::optional<std::string> setRemote(rtc::GstPeer& p, const rtc::SessionDescription& d);
  static std::optional<nlohmann::json> stats(rtc::GstPeer& p);

  // Applied to the answer before the offerer takes it (the host's rewrites).
  std::function<std::string(const std::string&)> rewriteAnswer;

  rtc::GstPeerFactory factory;
  PeerSide a;  // offerer
  PeerSide b;  // answerer
  std::string offerSdp, answerSdp;  // as negotiated

private:
  struct Relay;  // candidates held until the other side has its remote description
  rtc::PeerEvents eventsFor(PeerSide& side, const std::shared_ptr<Relay>& toOther);
  std::shared_ptr<Relay> toB_, toA_;
};

}  // namespace ts
