#pragma once
// The transport-neutral session coordinator: greets clients, keeps the media
// pipeline running exactly while someone watches, answers control messages
// and routes input to the input queue.
#include "app/SerialQueue.h"
#include "extras/Requester.h"
#include "media/Frame.h"
#include "session/Transport.h"
#include "session/ViewerPace.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct RunningApp {
  std::string name;
  bool regular = true;
};

class Extras;
class FrontAppWatcher;
class H264Encoder;
class InputInjector;
class InputTracker;
class ScreenCapture;
class TestPattern;
class ViewManager;

class Host : public std::enable_shared_from_this<Host> {
public:
  static std::shared_ptr<Host> create();
  ~Host();

  void onOpen(const std::shared_ptr<Transport>& transport, const ConnPtr& conn);
  void onText(const std::shared_ptr<Transport>& transport, const ConnPtr& conn, const std::string& text);
  void onClose();
  // A connection closed: its side features end, and they all stop once no
  // connection is left on any transport.
  void onClose(const std::shared_ptr<Transport>& transport, const ConnPtr& conn);
  void ensurePipeline(const std::shared_ptr<Transport>& transport, const ConnPtr& conn);
  void send(const ConnPtr& conn, const std::string& text);
  void broadcast(const std::string& text);
  std::string noteApp(const std::optional<RunningApp>& app);
  // The workspace's application-activated notification.
  void appActivated(const std::optional<RunningApp>& app);
  void requestKeyframe();
  // Stops what must not outlive the process (capture, held input); bounded.
  void shutdown();

  // Runs on the input queue: journal, then the test pattern's pointer or the
  // desktop's input, then the latency mark.
  void handleInput(const std::shared_ptr<Transport>& transport, const ConnPtr& conn,
                   const std::string& kind, const nlohmann::json& message, uint32_t id);
  // Waits until the input queue has handled everything posted so far.
  void drainInput() { inputQ_.sync([] {}); }

  // Set at start-up, before any connection; read-only afterwards.
  std::vector<std::shared_ptr<Transport>> servers;
  std::string logPath;

  const std::shared_ptr<InputTracker> tracker;
  // The video track's ids: every input is marked in both trackers, and a
  // frame that one path does not carry gives up that path's ids (routeFrame),
  // so each path reports the ids its own pictures show, both at once while
  // the track and a LAN viewer run side by side.
  const std::shared_ptr<InputTracker> trackTracker;
  const std::unique_ptr<ScreenCapture> capture;
  const std::unique_ptr<TestPattern> test;
  const std::unique_ptr<H264Encoder> encoder;

  // The internet transport's video track, when there is one: push offers a
  // frame and answers whether the track took it; owner is that transport,
  // whose connections the track serves. Any thread.
  void setTrackRoute(std::function<bool(const FramePtr&)> push, std::weak_ptr<Transport> owner);

  // Starts following the desktop's active application (not in test mode).
  void watchApps();

  // Side features (HostExtras.cpp).
  const std::shared_ptr<Extras> extras;
  // The internet transport's pause for the pause watch, then the watch
  // itself; once at start-up on the main thread.
  void startPauseWatch(std::function<bool()> paused, std::function<void(bool)> setPaused);
  // Who sent a side-feature message, as the extras reply to it.
  RequesterPtr requesterFor(const std::shared_ptr<Transport>& transport, const ConnPtr& conn);

private:
  Host();
  void wire();
  void handleStats(const nlohmann::json& m);
  // A viewer's "rep": its queue delay may cap the encoder's frame rate.
  void handleReport(const ConnPtr& conn, const nlohmann::json& m);
  void applyCap(std::optional<int64_t> cap, double qd);
  void routeFrame(const std::shared_ptr<const struct Frame>& frame);
  void sendPacket(const std::vector<uint8_t>& frame, bool key, double captureMs,
                  const std::vector<uint32_t>& ids);
  void startCapture(const std::shared_ptr<Transport>& transport);
  void captureStopped(const std::string& error);
  void inject(const std::string& kind, const nlohmann::json& m);
  void wireExtras();
  void extrasOpened();
  // Hands a side-feature message to the extras; false for other kinds.
  bool handOver(const std::shared_ptr<Transport>& transport, const ConnPtr& conn, const std::string& kind,
                nlohmann::json& m, size_t bytes);
  void noteInput();
  void markInput(uint32_t id);
  std::mutex extrasLock_;  // first open and last close tell the extras in order
  std::mutex routeLock_;   // guards the two below, read by every frame
  std::function<bool(const FramePtr&)> trackPush_;
  std::weak_ptr<Transport> trackOwner_;

  // The view manager (HostView.cpp), made on first use and kept.
  std::shared_ptr<ViewManager> view();
  std::shared_ptr<ViewManager> viewIfMade() const;
  void wireView();
  void viewRequest(const nlohmann::json& m);
  void testSizeChanged(int w, int h);
  void resetView();     // the last client has gone
  void shutdownView();  // bounded: the process is ending
  void viewTyping();
  std::string journalLine(const std::string& kind, const nlohmann::json& m);
  mutable std::mutex viewLock_;
  std::shared_ptr<ViewManager> view_;  // guarded by viewLock_

  SerialQueue inputQ_{"input"};
  std::unique_ptr<InputInjector> injector_;  // used on inputQ_ only
  std::unique_ptr<FrontAppWatcher> apps_;
  // Both LAN servers call in from their own queues; the pipeline state is
  // shared between them.
  std::mutex pipeLock_;
  bool running_ = false;
  bool starting_ = false;
  // Reports come from every transport's queue, the expiry check from the
  // encoder's.
  std::mutex paceLock_;
  ViewerPace pace_;
  std::string lastRegularApp_;
  double relX_ = 0.5, relY_ = 0.5;  // input queue only
  bool axWarned_ = false;           // input queue only
};

// An input id: the number's integer part cut to its low 32 bits, 0 when
// missing, not a number or out of range.
uint32_t inputId(const nlohmann::json& message);
