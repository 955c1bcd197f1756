#include "session/Host.h"

#include "app/Log.h"
#include "app/Settings.h"
#include "session/Messages.h"
#include "session/Permissions.h"
#include "app/Loc.h"
#include "extras/Extras.h"
#include "extras/Paths.h"
#include "media/H264Encoder.h"
#include "media/ScreenCapture.h"
#include "session/FrontApp.h"
#include "session/InputInjector.h"
#include "media/TestPattern.h"
#include "session/InputTracker.h"

#include <chrono>
#include <cmath>

using nlohmann::json;

namespace {
const char* kScreenNotPermitted =
    "Please allow Screen Recording on your Mac.\nOpen System Settings → Privacy & Security → Screen & System "
    "Audio Recording, turn on “Tolvane Host”, restart the host, then press Retry.";
const char* kCaptureStartFailed = "Could not start screen capture. Please allow Screen Recording on your Mac. (%@)";
const char* kCaptureStopped = "Screen capture stopped: %@";

double steadyMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

std::shared_ptr<Host> Host::create() {
  std::shared_ptr<Host> h(new Host());
  h->wire();
  h->wireExtras();
  return h;
}

Host::Host()
    : logPath(settings().dataDir + "/latency_log.jsonl"),
      tracker(std::make_shared<InputTracker>()),
      trackTracker(std::make_shared<InputTracker>()),
      capture(std::make_unique<ScreenCapture>()),
      test(std::make_unique<TestPattern>()),
      encoder(std::make_unique<H264Encoder>(tracker)),
      extras(Extras::create(userHome(), settings().dataDir, settings().testMode)),
      injector_(std::make_unique<InputInjector>(&inputQ_)),
      pace_(settings().fps) {}

Host::~Host() {
  if (apps_) apps_->stop();
  test->stop();
  capture->stop();
  inputQ_.sync([this] { injector_->releaseAll(); });
  inputQ_.shutdown();
}

void Host::watchApps() {
  if (settings().testMode || apps_) return;
  apps_ = std::make_unique<FrontAppWatcher>();
  apps_->onActivated = [w = weak_from_this()](const std::string& name) {
    if (auto h = w.lock()) h->appActivated(RunningApp{name, true});
  };
  apps_->start();
}

void Host::wire() {
  std::weak_ptr<Host> w = weak_from_this();
  encoder->setLatestOnly(true);
  encoder->onConfig = [w](const std::string& codec, const std::vector<uint8_t>& desc, int width, int height) {
    if (auto h = w.lock()) h->broadcast(configMessage(codec, desc, width, height));
  };
  encoder->onFrame = [w](std::vector<uint8_t> frame, bool key, double captureMs, std::vector<uint32_t> ids) {
    if (auto h = w.lock()) h->sendPacket(frame, key, captureMs, ids);
  };
  test->onFrame = [w](FramePtr f) {
    if (auto h = w.lock()) h->routeFrame(f);
  };
  capture->onFrame = [w](FramePtr f) {
    if (auto h = w.lock()) h->routeFrame(f);
  };
  capture->onStopped = [w](const std::string& error) {
    if (auto h = w.lock()) h->captureStopped(error);
  };

  wireView();

  const auto& st = settings();
  if (st.testMode) {
    if (auto image = st.opt("--image")) {
      if (!test->loadImage(*image)) logf("[host] 画像を読み込めません: " + *image);
    }
  }
  test->scrollMode = st.flag("--test-scroll") || st.flag("--test-scroll-noise");
  test->noisePhotos = st.flag("--test-scroll-noise");
  if (auto size = st.opt("--test-size")) {
    std::vector<int64_t> parts;
    bool ok = true;
    size_t from = 0;
    while (from <= size->size()) {
      size_t x = size->find('x', from);
      std::string piece = size->substr(from, x == std::string::npos ? std::string::npos : x - from);
      if (!piece.empty()) {
        auto v = parseInt(piece);
        if (!v) ok = false;
        else parts.push_back(*v);
      }
      if (x == std::string::npos) break;
      from = x + 1;
    }
    if (ok && parts.size() == 2 && parts[0] >= 2 && parts[1] >= 2 && parts[0] <= 16384 && parts[1] <= 16384) {
      test->width = static_cast<int>(parts[0] / 2 * 2);
      test->height = static_cast<int>(parts[1] / 2 * 2);
    } else {
      logf("[host] --test-size が不正です (例: 1280x720): " + *size);
    }
  }
}

namespace {
// Ids handled before a frame that a path does not carry: that path will
// never show them, so they must not ride on its next, later picture.
void giveUpIds(InputTracker& t, double beforeMs) {
  while (!t.take(beforeMs).empty()) {
  }
}
}  // namespace

void Host::markInput(uint32_t id) {
  tracker->mark(id);
  trackTracker->mark(id);
}

void Host::setTrackRoute(std::function<bool(const FramePtr&)> push, std::weak_ptr<Transport> owner) {
  std::lock_guard<std::mutex> l(routeLock_);
  trackPush_ = std::move(push);
  trackOwner_ = std::move(owner);
}

void Host::routeFrame(const std::shared_ptr<const Frame>& frame) {
  std::function<bool(const FramePtr&)> push;
  std::shared_ptr<Transport> owner;
  {
    std::lock_guard<std::mutex> l(routeLock_);
    push = trackPush_;
    owner = trackOwner_.lock();
  }
  if (!push || !push(frame)) {
    giveUpIds(*trackTracker, frame->captureMs);
    encoder->encode(frame);
    return;
  }
  // The track has the internet phone; a LAN viewer still needs the encoder.
  int64_t others = 0;
  for (auto& t : servers)
    if (t != owner) others += t->wsCount();
  if (others > 0) encoder->encode(frame);
  else giveUpIds(*tracker, frame->captureMs);
}

void Host::sendPacket(const std::vector<uint8_t>& frame, bool key, double captureMs,
                      const std::vector<uint32_t>& ids) {
  {
    std::lock_guard<std::mutex> l(paceLock_);
    applyCap(pace_.expire(steadyMs()), 0);
  }
  // Built once; every transport and connection shares the same bytes.
  auto packet = std::make_shared<const Bytes>(videoPacket(frame, key, captureMs, ids));
  for (auto& t : servers) t->sendVideo(packet, key);
}

void Host::onOpen(const std::shared_ptr<Transport>& transport, const ConnPtr& conn) {
  const auto& s = settings();
  std::string hello;
  if (s.testMode) {
    hello = helloMessage(true, true, true, "Mac");
  } else {
    std::string name = computerName();
    hello = helloMessage(false, injectionTrusted(), !s.fakeNoScreen && screenCapturePermitted(),
                         name.empty() ? "Mac" : name);
  }
  transport->sendText(conn, hello);
  extrasOpened();
  std::string app = "Safari";
  if (!s.testMode) {
    std::string front = FrontAppWatcher::currentName();
    app = noteApp(front.empty() ? std::nullopt : std::optional<RunningApp>(RunningApp{front, true}));
  }
  transport->sendText(conn, appMessage(app));
  ensurePipeline(transport, conn);
}

void Host::onText(const std::shared_ptr<Transport>& transport, const ConnPtr& conn, const std::string& text) {
  auto msg = parseControl(text);
  if (!msg) return;
  std::string kind = (*msg)["t"].get<std::string>();
  if (handOver(transport, conn, kind, *msg, text.size())) return;
  const json& m = *msg;
  if (kind == "ping") {
    json c = 0;
    if (auto it = m.find("c"); it != m.end() && it->is_number()) c = *it;
    transport->sendText(conn, jsonText({{"t", "pong"}, {"c", c}, {"h", epochMs()}}));
  } else if (kind == "retry") {
    ensurePipeline(transport, conn);
  } else if (kind == "stats") {
    handleStats(m);
  } else if (kind == "rep") {
    handleReport(conn, m);
  } else if (kind == "view") {
    viewRequest(m);
  } else if (kind == "mv" || kind == "md" || kind == "mu" || kind == "sc" || kind == "key" ||
             kind == "text" || kind == "rel" || kind == "rb") {
    uint32_t id = inputId(m);
    inputQ_.post([w = weak_from_this(), transport, conn, kind, m, id] {
      if (auto h = w.lock()) h->handleInput(transport, conn, kind, m, id);
    });
  }
  // Kinds without a handler are dropped without a reply, like unknown ones.
}

void Host::handleStats(const json& m) {
  json rec = m;
  rec.erase("t");
  rec["host_time"] = isoNowUTC();
  rec["mode"] = settings().testMode ? "test-pattern" : "screen";
  std::string line = jsonText(rec);
  journalAppend(logPath, line + "\n");
  logf("[stats] " + line);
}

void Host::handleReport(const ConnPtr& conn, const json& m) {
  auto it = m.find("qd");
  if (it == m.end() || !it->is_number()) return;
  const double qd = it->get<double>();
  std::lock_guard<std::mutex> l(paceLock_);
  applyCap(pace_.report(conn.get(), qd, steadyMs()), qd);
}

void Host::applyCap(std::optional<int64_t> cap, double qd) {
  if (!cap) return;
  encoder->setFpsCap(*cap);
  if (*cap)
    logf("[host] 表示が遅れています (" + std::to_string(std::lround(qd)) + " ms): 映像を " +
         std::to_string(*cap) + " fps に");
  else
    logf("[host] 映像のフレームレートを元に戻します");
}

void Host::onClose() {
  int64_t open = 0;
  for (auto& t : servers) open += t->wsCount();
  if (open == 0) {
    std::lock_guard<std::mutex> l(paceLock_);
    if (pace_.cap()) encoder->setFpsCap(0);
    pace_.reset();
  }
  std::lock_guard<std::mutex> l(pipeLock_);
  if (open != 0 || !running_) return;
  running_ = false;
  resetView();
  if (settings().testMode) {
    test->stop();
  } else {
    capture->stop();
  }
  encoder->stop();
  // Nothing may stay pressed once nobody is watching.
  inputQ_.post([w = weak_from_this()] {
    if (auto h = w.lock()) h->injector_->releaseAll();
  });
  logf("[host] 接続0件。映像を停止");
}

void Host::ensurePipeline(const std::shared_ptr<Transport>& transport, const ConnPtr& conn) {
  const auto& st = settings();
  std::lock_guard<std::mutex> l(pipeLock_);
  if (running_) {
    conn->wantsVideo = true;
    encoder->requestKeyframe();
    return;
  }
  if (st.testMode) {
    try {
      encoder->start(test->width, test->height, st.fps, st.bitrate);
    } catch (const std::exception& e) {
      logf(std::string("[enc] ") + e.what());
      transport->sendText(conn, errorMessage("encoder", e.what()));
      return;
    }
    running_ = true;
    conn->wantsVideo = true;
    test->start(static_cast<int>(st.fps));
    return;
  }
  if (st.fakeNoScreen || !screenCapturePermitted()) {
    logf("[cap] 画面収録の権限がありません");
    transport->sendText(conn, errorMessage("screen", Loc::tr(kScreenNotPermitted)));
    return;
  }
  conn->wantsVideo = true;
  if (starting_) return;  // it gets video once the start completes
  starting_ = true;
  startCapture(transport);
}

void Host::startCapture(const std::shared_ptr<Transport>& transport) {
  const auto& st = settings();
  std::weak_ptr<Host> w = weak_from_this();
  std::weak_ptr<Transport> wt = transport;
  auto onReady = [w, st](int width, int height) {
    auto h = w.lock();
    if (!h) return;
    try {
      h->encoder->start(width, height, st.fps, st.bitrate);
    } catch (const std::exception& e) {
      logf(std::string("[enc] ") + e.what());
    }
  };
  capture->start(static_cast<int>(st.fps), 1920, onReady, [w, wt](std::optional<std::string> error) {
    auto h = w.lock();
    auto t = wt.lock();
    if (!h || !t) return;
    if (!error) {
      // A view chosen meanwhile is applied to the fresh capture.
      h->capture->reapply([](std::optional<std::string>) {});
      t->queue().post([w] {
        auto h = w.lock();
        if (!h) return;
        {
          std::lock_guard<std::mutex> l(h->pipeLock_);
          h->running_ = true;
          h->starting_ = false;
        }
        h->encoder->requestKeyframe();
        // Everyone may have left while the capture was starting.
        h->onClose();
      });
      return;
    }
    logf("[cap] 開始失敗: " + *error);
    t->queue().post([w, msg = *error] {
      auto h = w.lock();
      if (!h) return;
      {
        std::lock_guard<std::mutex> l(h->pipeLock_);
        h->starting_ = false;
      }
      h->broadcast(errorMessage("screen", Loc::fill(Loc::tr(kCaptureStartFailed), msg)));
    });
  });
}

void Host::captureStopped(const std::string& error) {
  logf("[cap] 取り込みが止まりました: " + error);
  broadcast(errorMessage("capture", Loc::fill(Loc::tr(kCaptureStopped), error)));
  std::lock_guard<std::mutex> l(pipeLock_);
  running_ = false;
}

void Host::send(const ConnPtr& conn, const std::string& text) {
  // conns() is exact only on the transport's own queue, so look there.
  for (auto& t : servers) {
    t->queue().post([t, conn, text] {
      auto it = t->conns().find(conn->id);
      if (it != t->conns().end() && it->second == conn) t->sendText(conn, text);
    });
  }
}

void Host::broadcast(const std::string& text) {
  for (auto& t : servers) t->sendTextAll(text);
}

std::string Host::noteApp(const std::optional<RunningApp>& app) {
  if (app && app->regular && !app->name.empty()) lastRegularApp_ = app->name;
  return lastRegularApp_;
}

void Host::appActivated(const std::optional<RunningApp>& app) {
  if (settings().testMode) return;
  std::string before = lastRegularApp_;
  std::string name = noteApp(app);
  if (name != before || (name.empty() && before.empty())) broadcast(appMessage(name));
}

void Host::requestKeyframe() { encoder->requestKeyframe(); }

void Host::shutdown() {
  shutdownView();
  extras->shutdown();
  capture->stopAndWait();
  inputQ_.sync([this] { injector_->releaseAll(); });
}
