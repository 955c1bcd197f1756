#include "media/ScreenCapture.h"

#include <algorithm>
#include <cmath>
#include <future>

#include "app/Loc.h"
#include "app/Log.h"
#include "app/XConn.h"
#include "media/OutSize.h"
#include "media/X11Grabber.h"
#include "session/Permissions.h"

using namespace std::chrono_literals;

namespace {
constexpr auto kFindWait = 3s;
constexpr auto kFindRetry = 150ms;
// RandR sends events for screen, CRTC and output changes but none when a
// client redefines a monitor, so the list is also looked at now and then (a
// cheap request: the server does not probe outputs for it).
constexpr auto kLayoutRecheck = 500ms;
constexpr auto kMissingGrace = 1s;
const char* kCancelled = "Cancelled";

bool sameRect(const Rect& a, const Rect& b) {
  return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h;
}
}  // namespace

ScreenCapture::ScreenCapture() = default;

ScreenCapture::~ScreenCapture() {
  stop();
  // Runs the teardown and every retry still pending, which see they are stale.
  q_.shutdown();
}

void ScreenCapture::setDisplay(std::optional<std::string> display) {
  std::lock_guard<std::mutex> l(lock_);
  wantDisplay_ = std::move(display);
}

void ScreenCapture::setCrop(std::optional<Rect> crop) {
  std::lock_guard<std::mutex> l(lock_);
  wantCrop_ = crop;
}

void ScreenCapture::setMaxLong(int pixels) {
  std::lock_guard<std::mutex> l(lock_);
  maxLong_ = std::max(pixels, 2);
}

std::optional<std::string> ScreenCapture::wantedDisplay() const {
  std::lock_guard<std::mutex> l(lock_);
  return wantDisplay_;
}

std::optional<Rect> ScreenCapture::wantedCrop() const {
  std::lock_guard<std::mutex> l(lock_);
  return wantCrop_;
}

bool ScreenCapture::running() const {
  std::lock_guard<std::mutex> l(lock_);
  return !curDisplay_.empty();
}

int ScreenCapture::fpsNow() const { return fpsNow_.load(); }

std::string ScreenCapture::currentDisplay() const {
  std::lock_guard<std::mutex> l(lock_);
  return curDisplay_;
}

Rect ScreenCapture::displayRect() const {
  {
    std::lock_guard<std::mutex> l(lock_);
    if (!curDisplay_.empty()) return curRect_;
  }
  return ::mainDisplayBounds();
}

Rect ScreenCapture::mainDisplayBounds() { return ::mainDisplayBounds(); }

bool ScreenCapture::openDisplay() {
  if (dpy_ && xconn::lost(dpy_)) {
    grab_.reset();
    xconn::close(dpy_);
    dpy_ = nullptr;
  }
  if (!dpy_) dpy_ = xconn::open();
  return dpy_ != nullptr;
}

void ScreenCapture::findDisplay(std::optional<std::string> want, uint64_t gen,
                                std::chrono::steady_clock::time_point began,
                                std::function<void(Found)> cb) {
  if (gen != gen_.load()) return cb({std::nullopt, std::string(kCancelled)});
  if (!openDisplay()) return cb({std::nullopt, std::string("Cannot open the X display")});
  auto list = listDisplays(dpy_);
  if (auto d = findListed(list, want)) return cb({d, std::nullopt});
  if (std::chrono::steady_clock::now() - began > kFindWait) {
    std::string seen;
    for (const auto& d : list) seen += (seen.empty() ? "" : ",") + d.name;
    std::string target = want ? *want : "main";
    logf("[cap] ディスプレイ探索失敗 want=" + target + " 見えているもの=[" + seen + "] 画面収録権限=" +
         (screenCapturePermitted() ? "true" : "false"));
    return cb({std::nullopt, Loc::tr("Display not found")});
  }
  QueueTimer::once(q_, kFindRetry, [this, want, gen, began, cb] { findDisplay(want, gen, began, cb); });
}

Rect ScreenCapture::cropArea(const DisplayInfo& d, const std::optional<Rect>& crop) const {
  const Rect& b = d.bounds;
  if (!crop) return b;
  Rect c = *crop;
  if (!std::isfinite(c.x) || !std::isfinite(c.y) || !std::isfinite(c.w) || !std::isfinite(c.h)) return b;
  // A crop reaching past the display is moved back inside it, keeping its size
  // where the display is large enough.
  double w = std::clamp(c.w, 1.0, std::max(b.w, 1.0));
  double h = std::clamp(c.h, 1.0, std::max(b.h, 1.0));
  double x = std::clamp(b.x + c.x, b.x, b.maxX() - w);
  double y = std::clamp(b.y + c.y, b.y, b.maxY() - h);
  return Rect{x, y, w, h};
}

std::optional<std::string> ScreenCapture::retarget(const DisplayInfo& d, int outW, int outH) {
  Rect area = cropArea(d, curCrop_);
  if (auto e = grab_->setTarget(area, outW, outH)) return e;
  std::lock_guard<std::mutex> l(lock_);
  curDisplay_ = d.name;
  curRect_ = d.bounds;
  return std::nullopt;
}

void ScreenCapture::start(int fps, int maxWidth, std::function<void(int, int)> onReady, Done done) {
  uint64_t gen = ++gen_;
  q_.post([this, fps, maxWidth, onReady, done, gen] {
    if (grab_) teardown();
    fpsNow_ = std::clamp(fps, 1, 240);
    auto want = wantedDisplay();
    findDisplay(want, gen, std::chrono::steady_clock::now(), [this, maxWidth, onReady, done, gen](Found f) {
      auto fail = [&](const std::string& e) {
        if (gen == gen_.load()) teardown();
        done(e);
      };
      if (f.error) return fail(*f.error);
      const DisplayInfo& d = *f.display;
      auto g = std::make_unique<X11Grabber>(dpy_);
      if (auto e = g->init()) return fail(*e);
      grab_ = std::move(g);
      OutSize size = planTarget(d, maxWidth);
      if (auto e = retarget(d, size.width, size.height)) return fail(*e);
      try {
        if (onReady) onReady(size.width, size.height);
      } catch (const std::exception& e) {
        return fail(e.what());
      }
      if (gen != gen_.load()) return done(std::string(kCancelled));
      logf("[cap] 開始 " + d.name + " " + std::to_string(size.width) + "x" + std::to_string(size.height) +
           " " + std::to_string(fpsNow_.load()) + "fps");
      lastLayoutCheck_ = std::chrono::steady_clock::now();
      tick_ = QueueTimer::repeating(q_, 0ms, std::chrono::nanoseconds(1'000'000'000LL / fpsNow_.load()),
                                    [this, gen] { tick(gen); });
      done(std::nullopt);
    });
  });
}

OutSize ScreenCapture::planTarget(const DisplayInfo& d, int maxWidth) {
  std::optional<Rect> crop;
  int maxLong;
  {
    std::lock_guard<std::mutex> l(lock_);
    crop = wantCrop_;
    maxLong = maxLong_;
  }
  if (crop) crop = cropArea(d, crop);
  curCrop_ = crop ? std::optional<Rect>(Rect{crop->x - d.bounds.x, crop->y - d.bounds.y, crop->w, crop->h})
                  : std::nullopt;
  return outSize(d.bounds.w, d.bounds.h, d.bounds.w, d.bounds.h, crop, maxWidth, maxLong);
}

void ScreenCapture::reapply(Done done) {
  q_.post([this, done] {
    if (!grab_) return done(std::nullopt);
    uint64_t gen = gen_.load();
    findDisplay(wantedDisplay(), gen, std::chrono::steady_clock::now(), [this, done, gen](Found f) {
      if (f.error) return done(f.error);
      if (!grab_ || gen != gen_.load()) return done(std::string(kCancelled));
      const DisplayInfo& d = *f.display;
      OutSize size = planTarget(d, 1920);
      if ((size.width != grab_->outWidth() || size.height != grab_->outHeight()) && onResize)
        onResize(size.width, size.height);
      if (auto e = retarget(d, size.width, size.height)) {
        endUnexpectedly(*e);
        return done(e);
      }
      done(std::nullopt);
    });
  });
}

void ScreenCapture::tick(uint64_t gen) {
  if (gen != gen_.load() || !grab_) return;
  if (xconn::lost(dpy_)) return endUnexpectedly("X server connection lost");
  bool layout = grab_->pollEvents();
  auto now = std::chrono::steady_clock::now();
  if (layout || missingSince_ || now - lastLayoutCheck_ > kLayoutRecheck) {
    lastLayoutCheck_ = now;
    if (!followLayout()) return;
  }
  std::string error;
  FramePtr f = grab_->grab(false, &error);
  if (!f && !error.empty()) {
    // A read past the root after a resize fails; follow the new layout once.
    if (!followLayout()) return;
    // The display is away for a moment (replaced, or the screen is being
    // rearranged): wait for it rather than give up.
    if (missingSince_) return;
    error.clear();
    f = grab_->grab(true, &error);
    if (!f && !error.empty()) return endUnexpectedly(error);
  }
  if (f && onFrame && gen == gen_.load()) onFrame(f);
}

bool ScreenCapture::followLayout() {
  std::string name = currentDisplay();
  auto list = listDisplays(dpy_);
  if (xconn::lost(dpy_)) {
    endUnexpectedly("X server connection lost");
    return false;
  }
  auto it = std::find_if(list.begin(), list.end(), [&](const DisplayInfo& d) { return d.name == name; });
  auto now = std::chrono::steady_clock::now();
  if (it == list.end()) {
    // Desktops often take a monitor away and add it back while they
    // rearrange; only a lasting absence ends the capture.
    if (!missingSince_) missingSince_ = now;
    if (now - *missingSince_ < kMissingGrace) return true;
    endUnexpectedly("The captured display was disconnected");
    return false;
  }
  missingSince_.reset();
  Rect old;
  {
    std::lock_guard<std::mutex> l(lock_);
    old = curRect_;
  }
  if (sameRect(old, it->bounds) && sameRect(grab_->area(), cropArea(*it, curCrop_))) return true;
  logf("[cap] ディスプレイ変更 " + name + " " + std::to_string(int(it->bounds.w)) + "x" +
       std::to_string(int(it->bounds.h)));
  // The encoder keeps its size; the new area is scaled to it.
  if (auto e = retarget(*it, grab_->outWidth(), grab_->outHeight())) {
    endUnexpectedly(*e);
    return false;
  }
  return true;
}

void ScreenCapture::endUnexpectedly(const std::string& error) {
  logf("[cap] 取り込み停止: " + error);
  ++gen_;
  teardown();
  if (onStopped) onStopped(error);
}

void ScreenCapture::teardown() {
  if (tick_) tick_->cancel();
  tick_.reset();
  grab_.reset();
  if (dpy_) xconn::close(dpy_);
  dpy_ = nullptr;
  curCrop_.reset();
  missingSince_.reset();
  std::lock_guard<std::mutex> l(lock_);
  curDisplay_.clear();
  curRect_ = Rect{};
}

void ScreenCapture::stop() {
  ++gen_;
  q_.post([this] { teardown(); });
}

bool ScreenCapture::stopAndWait(std::chrono::milliseconds limit) {
  ++gen_;
  if (q_.isCurrent()) {
    teardown();
    return true;
  }
  auto done = std::make_shared<std::promise<void>>();
  auto fut = done->get_future();
  q_.post([this, done] {
    teardown();
    done->set_value();
  });
  return fut.wait_for(limit) == std::future_status::ready;
}
