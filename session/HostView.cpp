// The host's side of the view manager: made on first use, its status to
// everyone, test-mode frame sizes, input mapping onto the shared region and
// the journal's view fields.
#include "app/Log.h"
#include "app/Settings.h"
#include "media/H264Encoder.h"
#include "media/ScreenCapture.h"
#include "media/TestPattern.h"
#include "session/Host.h"
#include "session/InputInjector.h"
#include "session/Messages.h"
#include "view/ViewManager.h"

#include <cmath>

using nlohmann::json;

namespace {
double oneDecimal(double v) { return std::round(v * 10) / 10; }
}  // namespace

std::shared_ptr<ViewManager> Host::viewIfMade() const {
  std::lock_guard<std::mutex> l(viewLock_);
  return view_;
}

std::shared_ptr<ViewManager> Host::view() {
  std::lock_guard<std::mutex> l(viewLock_);
  if (view_) return view_;
  const auto& st = settings();
  ViewOptions o;
  o.testMode = st.testMode;
  o.demoWindow = st.flag("--demo-window");
  view_ = std::make_shared<ViewManager>(*capture, o);
  std::weak_ptr<Host> w = weak_from_this();
  view_->onStatus = [w](const std::string& text) {
    if (auto h = w.lock()) h->broadcast(text);
  };
  view_->onTestSize = [w](int width, int height) {
    if (auto h = w.lock()) h->testSizeChanged(width, height);
  };
  return view_;
}

void Host::wireView() {
  std::weak_ptr<Host> w = weak_from_this();
  injector_->mapRect = [w]() -> Rect {
    auto h = w.lock();
    auto v = h ? h->viewIfMade() : nullptr;
    if (auto r = v ? v->region() : std::nullopt) return *r;
    return ScreenCapture::mainDisplayBounds();
  };
  injector_->moveRect = [w]() -> Rect {
    auto h = w.lock();
    auto v = h ? h->viewIfMade() : nullptr;
    if (auto r = v ? v->display() : std::nullopt) return *r;
    return ScreenCapture::mainDisplayBounds();
  };
  // A new frame size gets an encoder of that size (a "config" and a key
  // frame) rather than a picture squeezed into the old one.
  capture->onResize = [w](int width, int height) {
    auto h = w.lock();
    if (!h) return;
    const auto& st = settings();
    try {
      h->encoder->start(width, height, st.fps, st.bitrate);
    } catch (const std::exception& e) {
      logf(std::string("[enc] ") + e.what());
    }
  };
  // What a crashed run left on the X server goes before anyone connects.
  if (!settings().testMode) ViewManager::cleanUpAfterCrash();
}

void Host::resetView() {
  if (auto v = viewIfMade()) v->reset();
}

void Host::shutdownView() {
  // The X server would keep a virtual display and a moved window.
  if (auto v = viewIfMade()) v->resetAndWait(std::chrono::milliseconds(900));
}

void Host::viewTyping() {
  if (auto v = viewIfMade()) v->noteTyping();
}

void Host::viewRequest(const json& m) {
  view()->request(numField(m, "w"), numField(m, "h"), strField(m, "m", "auto"), numField(m, "z", 1));
}

void Host::testSizeChanged(int width, int height) {
  width -= width % 2;
  height -= height % 2;
  if (width < 2 || height < 2) return;
  test->width = width;
  test->height = height;
  test->viewMark = true;
  const auto& st = settings();
  std::lock_guard<std::mutex> l(pipeLock_);
  if (!running_) return;  // the next start takes the pattern's size
  try {
    encoder->start(width, height, st.fps, st.bitrate);
  } catch (const std::exception& e) {
    logf(std::string("[enc] ") + e.what());
  }
}

std::string Host::journalLine(const std::string& kind, const json& m) {
  auto v = viewIfMade();
  if (!v || !(kind == "mv" || kind == "md" || kind == "mu")) return jsonText(m);
  std::string mode = v->mode();
  if (mode == "fit") return jsonText(m);
  Rect r = injector_->mapping();
  json rec = m;
  rec["gx"] = oneDecimal(r.x + clamp01(numField(m, "x")) * r.w);
  rec["gy"] = oneDecimal(r.y + clamp01(numField(m, "y")) * r.h);
  rec["rect"] = {oneDecimal(r.x), oneDecimal(r.y), oneDecimal(r.w), oneDecimal(r.h)};
  rec["vm"] = mode;
  return jsonText(rec);
}
