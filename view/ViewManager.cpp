#include "view/ViewManager.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <future>

#include "app/Loc.h"
#include "app/Log.h"
#include "app/XConn.h"
#include "media/Displays.h"
#include "media/ScreenCapture.h"
#include "view/Caret.h"
#include "view/DemoWindow.h"
#include "view/VirtualDisplay.h"

using namespace std::chrono_literals;
using nlohmann::json;

namespace {
const Rect kSimulated{0, 0, 1512, 982};
constexpr int kSimulatedMenuBar = 33;
constexpr double kTargetArea = 1300000;
constexpr double kSmallestSide = 640;
constexpr double kReuseTolerance = 0.01;
constexpr auto kDebounce = 300ms;
constexpr auto kFollowFirst = 50ms;
constexpr auto kFollowEvery = 33ms;
constexpr double kMargin = 0.15;
constexpr double kEase = 0.4;
constexpr double kMinApplyGap = 0.03;  // seconds between follower re-applies
constexpr auto kCaretDelay = 120ms;
constexpr double kFocusHold = 1.5;
constexpr int kBoundsTries = 30;
constexpr auto kBoundsWait = 100ms;
constexpr auto kReapplyLimit = 10s;

const char* kApplyFailed = "Could not adjust the screen shape: %@";
const char* kNoVirtual = "Could not create the virtual display (it may not be available on this macOS)";
const char* kDemoLabel = "Virtual display %d×%dpt (redrawn in portrait)";

double nowSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// 1 -> "1.0", 2.5 -> "2.5": a number as a decimal, never in whole-number form.
std::string decimal(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, r.ptr);
  if (s.find_first_of(".en") == std::string::npos) s += ".0";
  return s;
}

std::string fillSize(std::string text, int w, int h) {
  for (int v : {w, h}) {
    size_t at = text.find("%d");
    if (at == std::string::npos) break;
    text.replace(at, 2, std::to_string(v));
  }
  return text;
}

std::string rectText(const Rect& r) {
  auto n = [](double v) { return std::to_string(std::lround(v)); };
  return "(" + n(r.x) + ", " + n(r.y) + ", " + n(r.w) + ", " + n(r.h) + ")";
}

double clampAspect(double a) {
  if (!(a > 0)) return 1;  // NaN and nonsense: square
  return std::clamp(a, kViewMinAspect, kViewMaxAspect);
}
}  // namespace

VirtualSize virtualSizeFor(double aspect) {
  aspect = clampAspect(aspect);
  double w = std::sqrt(aspect * kTargetArea), h = w / aspect;
  if (std::min(w, h) < kSmallestSide) {
    if (w < h) {
      w = kSmallestSide;
      h = kSmallestSide / aspect;
    } else {
      h = kSmallestSide;
      w = kSmallestSide * aspect;
    }
  }
  return {2 * static_cast<int>(std::round(w / 2)), 2 * static_cast<int>(std::round(h / 2))};
}

Rect zoomCrop(const Rect& d, double aspect, double z, Point focus) {
  aspect = clampAspect(aspect);
  bool wide = aspect >= d.w / d.h;
  double w = (wide ? d.w : aspect * d.h) / z;
  double h = (wide ? d.w / aspect : d.h) / z;
  // A crop taller than the display (a very wide phone on a tall display) is
  // cut to it; the clamp below then keeps it inside.
  w = std::min(w, d.w);
  h = std::min(h, d.h);
  double x = std::min(d.maxX() - w, std::max(d.x, focus.x - w / 2));
  double y = std::min(d.maxY() - h, std::max(d.y, focus.y - h / 2));
  return Rect{x, y, w, h};
}

VirtualSize testFrameSize(double aspect) {
  aspect = clampAspect(aspect);
  double w = aspect >= 1 ? 1280 : aspect * 1280;
  double h = aspect >= 1 ? 1280 / aspect : 1280;
  int iw = static_cast<int>(w), ih = static_cast<int>(h);
  return {iw - iw % 2, ih - ih % 2};
}

ViewManager::ViewManager(ScreenCapture& cap, ViewOptions options) : cap_(cap), opt_(std::move(options)) {
  if (!opt_.testMode) caret_ = std::make_unique<CaretFinder>();
}

ViewManager::~ViewManager() {
  caret_.reset();  // its thread's last answer still finds the queue
  vq_.sync([this] {
    if (pending_) pending_->cancel();
    if (reapplyLimit_) reapplyLimit_->cancel();
    stopFollower();
    demoWin_.reset();
    if (dpy_) xconn::close(dpy_);
    dpy_ = nullptr;
  });
  vq_.shutdown();
}

std::string ViewManager::mode() const {
  std::lock_guard<std::mutex> l(lock_);
  return mode_;
}

std::optional<Rect> ViewManager::region() const {
  std::lock_guard<std::mutex> l(lock_);
  return rect_;
}

std::optional<Rect> ViewManager::display() const {
  std::lock_guard<std::mutex> l(lock_);
  return display_;
}

void ViewManager::waitIdle() { vq_.sync([] {}); }

Display* ViewManager::x() {
  if (opt_.testMode) return nullptr;
  if (dpy_ && xconn::lost(dpy_)) {
    // The server went away: whatever we made there went with it.
    demoWin_.reset();
    xconn::close(dpy_);
    dpy_ = nullptr;
  }
  if (!dpy_) dpy_ = xconn::open();
  return dpy_;
}

Rect ViewManager::mainBounds() {
  if (opt_.testMode) return kSimulated;
  if (Display* d = x())
    if (auto m = mainDisplay(listDisplays(d))) return m->bounds;
  return ScreenCapture::mainDisplayBounds();
}

std::optional<Point> ViewManager::pointer() {
  Display* d = x();
  if (!d) return std::nullopt;
  Window root, child;
  int rx, ry, wx, wy;
  unsigned int mask;
  if (!XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &mask)) return std::nullopt;
  return Point{double(rx), double(ry)};
}

void ViewManager::request(double w, double h, const std::string& mode, double zoom) {
  if (!std::isfinite(w) || !std::isfinite(h) || w < kViewMinSide || h < kViewMinSide) return;
  if (w > kViewMaxSide || h > kViewMaxSide) {
    logf("[view] 大きすぎる要求を無視しました");
    return;
  }
  // Anything else is "auto"; this also keeps odd texts out of the log.
  std::string m = (mode == "fit" || mode == "zoom" || mode == "virtual") ? mode : "auto";
  if (!std::isfinite(zoom)) zoom = 1;
  logf("[view] 要求 " + std::to_string(static_cast<long long>(w)) + "x" +
       std::to_string(static_cast<long long>(h)) + "pt 方式=" + m + " zoom=" + decimal(zoom));
  vq_.post([this, w, h, m, zoom] {
    if (pending_) pending_->cancel();
    pending_ = QueueTimer::once(vq_, kDebounce, [this, w, h, m, zoom] {
      pending_.reset();
      reqW_ = w;
      reqH_ = h;
      reqMode_ = m;
      reqZoom_ = std::clamp(zoom, 1.0, 4.0);
      kick();
    });
  });
}

void ViewManager::kick() {
  if (busy_) {
    again_ = true;
    return;
  }
  busy_ = true;
  again_ = false;
  runApply(gen_);
}

// One run at a time; a request during it gets exactly one more run.
void ViewManager::runApply(uint64_t gen) {
  applyNow(gen, [this, gen] {
    if (gen != gen_) return;  // reset meanwhile: busy_ belongs to later runs now
    if (again_) {
      again_ = false;
      vq_.post([this, gen] { runApply(gen); });
      return;
    }
    busy_ = false;
  });
}

std::string ViewManager::chooseMode(const std::string& mode) {
  if (mode == "zoom" || mode == "virtual" || mode == "fit") return mode;
  if (opt_.testMode) return "zoom";
  Display* d = x();
  if (!d) return "zoom";
  for (const auto& m : listDisplays(d))
    if (m.name != vdisplay::kMonitorName) return "zoom";
  return "virtual";
}

void ViewManager::applyNow(uint64_t gen, Done done) {
  std::string mode = chooseMode(reqMode_);
  double aspect = clampAspect(reqW_ / reqH_);
  if (opt_.testMode) {
    applyTest(mode, aspect);
    return done();
  }
  if (mode != "virtual") return applyMain(mode, aspect, gen, done);
  ensureVirtual(aspect, gen, [this, aspect, gen, done](std::optional<std::string> error) {
    if (gen != gen_) return done();
    if (error) {
      applyFailed(*error);
      // The old virtual display was removed to make room for the new one;
      // the picture must not stay on a display that is gone.
      if (this->mode() == "virtual") return applyMain("fit", aspect, gen, done);
      return done();
    }
    cap_.setDisplay(std::string(vdisplay::kMonitorName));
    cap_.setCrop(std::nullopt);
    {
      std::lock_guard<std::mutex> l(lock_);
      mode_ = "virtual";
      rect_ = display_ = vdBounds_;
    }
    stopFollower();
    reapplyCapture(gen, done);
  });
}

void ViewManager::applyTest(const std::string& mode, double aspect) {
  Rect crop = kSimulated;
  if (mode == "zoom") crop = zoomCrop(kSimulated, aspect, reqZoom_, kSimulated.centre());
  VirtualSize size = mode == "fit" ? VirtualSize{1280, 720} : testFrameSize(aspect);
  {
    std::lock_guard<std::mutex> l(lock_);
    mode_ = mode;
    display_ = kSimulated;
    // "fit" shares the whole simulated display, so input maps onto it too.
    rect_ = crop;
  }
  if (mode == "zoom") {
    cropSize_ = Rect{0, 0, crop.w, crop.h};
    cropOrigin_ = Point{crop.x, crop.y};
  }
  if (onTestSize) onTestSize(size.width, size.height);
  sendStatus();
}

void ViewManager::applyMain(const std::string& mode, double aspect, uint64_t gen, Done done) {
  // The capture leaves the virtual display before it goes, so it never reads
  // an area the screen no longer has.
  if (vd_) {
    auto inner = done;
    done = [this, gen, inner] {
      if (gen == gen_) destroyVirtual();
      inner();
    };
  }
  cap_.setDisplay(std::nullopt);
  Rect d = mainBounds();
  if (d.empty()) d = Rect{0, 0, 1, 1};
  if (mode == "zoom") {
    Point focus = pointer().value_or(d.centre());
    Rect c = zoomCrop(d, aspect, reqZoom_, focus);
    cropSize_ = Rect{0, 0, c.w, c.h};
    cropOrigin_ = Point{c.x, c.y};
    cropDirty_ = false;
    cap_.setCrop(Rect{c.x - d.x, c.y - d.y, c.w, c.h});
    {
      std::lock_guard<std::mutex> l(lock_);
      mode_ = "zoom";
      rect_ = c;
      display_ = d;
    }
    startFollower();
  } else {
    cap_.setCrop(std::nullopt);
    {
      std::lock_guard<std::mutex> l(lock_);
      mode_ = "fit";
      rect_.reset();
      display_ = d;
    }
    stopFollower();
  }
  reapplyCapture(gen, done);
}

void ViewManager::reapplyCapture(uint64_t gen, Done done) {
  // The capture answers on its own queue; the answer comes back here, and
  // only once even if the capture never answers.
  auto once = std::make_shared<std::atomic<bool>>(false);
  auto finish = [this, gen, done, once](std::optional<std::string> error) {
    if (once->exchange(true)) return;
    vq_.post([this, gen, done, error] {
      if (gen == gen_) {
        if (error) applyFailed(*error);
        else sendStatus();
      }
      done();
    });
  };
  cap_.reapply(finish);
  if (reapplyLimit_) reapplyLimit_->cancel();
  reapplyLimit_ = QueueTimer::once(vq_, kReapplyLimit, [finish] { finish(std::string("Timed out")); });
}

void ViewManager::applyFailed(const std::string& error) {
  logf("[view] 適用失敗: " + error);
  if (onStatus)
    onStatus(jsonText({{"t", "warn"}, {"code", "view"}, {"msg", Loc::fill(Loc::tr(kApplyFailed), error)}}));
}

void ViewManager::ensureVirtual(double aspect, uint64_t gen,
                                std::function<void(std::optional<std::string>)> cb) {
  VirtualSize size = virtualSizeFor(aspect);
  if (vd_ && vdLogical_.height > 0 &&
      std::fabs(double(vdLogical_.width) / vdLogical_.height - aspect) / aspect < kReuseTolerance)
    return cb(std::nullopt);
  destroyVirtual();
  Display* d = x();
  std::optional<MovedWindow> front;
  if (d && !opt_.demoWindow) front = frontwin::grab(d);
  std::string why;
  std::optional<vdisplay::Made> made;
  if (d) made = vdisplay::create(d, size.width, size.height, &why);
  else why = "no X display";
  if (!made) {
    logf("[view] 仮想ディスプレイを作れません: " + why);
    // A window taken out of its maximised state gets it back.
    if (d && front) frontwin::restore(d, *front);
    return cb(Loc::tr(kNoVirtual));
  }
  vd_ = true;
  vdID_ = made->id;
  vdLogical_ = size;
  vdBounds_ = made->bounds;
  if (front) movedWin_ = front;
  awaitBounds(0, gen, [this, size, cb](std::optional<std::string> e) {
    if (e) return cb(e);
    logf("[view] 仮想ディスプレイ作成 id=" + std::to_string(vdID_) + " 論理 " + std::to_string(size.width) + "x" +
         std::to_string(size.height) + " 位置 " + rectText(vdBounds_));
    Display* d = x();
    if (opt_.demoWindow) {
      if (d) demoWin_ = DemoWindow::show(d, vdBounds_, fillSize(Loc::tr(kDemoLabel), size.width, size.height));
    } else if (movedWin_ && d) {
      frontwin::save(d, *movedWin_);
      frontwin::moveInto(d, *movedWin_, vdBounds_);
      const Rect& f = movedWin_->frame;
      logf("[view] 前面のウィンドウを仮想ディスプレイへ移動（元 (" + std::to_string(std::lround(f.x)) + ", " +
           std::to_string(std::lround(f.y)) + ") (" + std::to_string(std::lround(f.w)) + ", " +
           std::to_string(std::lround(f.h)) + ")）");
    }
    cb(std::nullopt);
  });
}

void ViewManager::awaitBounds(int tries, uint64_t gen, std::function<void(std::optional<std::string>)> cb) {
  if (gen != gen_ || !vd_) return cb(std::string("Cancelled"));
  Display* d = x();
  if (auto b = d ? vdisplay::bounds(d) : std::nullopt; b && b->w > 1) {
    vdBounds_ = *b;
    return cb(std::nullopt);
  }
  if (tries >= kBoundsTries) return cb(std::nullopt);  // go on with what there is
  QueueTimer::once(vq_, kBoundsWait, [this, tries, gen, cb] { awaitBounds(tries + 1, gen, cb); });
}

void ViewManager::restoreWindow() {
  if (!movedWin_) return;
  MovedWindow w = *movedWin_;
  movedWin_.reset();
  if (Display* d = x()) {
    frontwin::restore(d, w);
    frontwin::forget(d);
  }
  logf("[view] ウィンドウを元の位置へ戻しました (" + std::to_string(std::lround(w.frame.x)) + ", " +
       std::to_string(std::lround(w.frame.y)) + ")");
}

void ViewManager::destroyVirtual() {
  if (!vd_) return;
  demoWin_.reset();
  if (Display* d = x()) vdisplay::removeAll(d);
  // The window goes back once the screen has its old size again, so the
  // window manager does not push it inside a screen about to shrink.
  restoreWindow();
  vd_ = false;
  logf("[view] 仮想ディスプレイを消しました id=" + std::to_string(vdID_));
  vdID_ = 0;
  vdLogical_ = {};
  vdBounds_ = {};
}

void ViewManager::startFollower() {
  if (follower_) return;
  follower_ = QueueTimer::repeating(vq_, kFollowFirst, kFollowEvery, [this] { followTick(); });
}

void ViewManager::stopFollower() {
  if (follower_) follower_->cancel();
  follower_.reset();
  if (flush_) flush_->cancel();
  flush_.reset();
  cropDirty_ = false;
}

void ViewManager::followTick() {
  Rect d;
  {
    std::lock_guard<std::mutex> l(lock_);
    if (mode_ != "zoom") return;
    d = display_.value_or(Rect{});
  }
  if (d.empty()) d = mainBounds();
  std::vector<Point> points;
  if (auto p = pointer()) points.push_back(*p);
  double now = nowSeconds();
  if (focusPoint_ && now < focusUntil_) points.push_back(*focusPoint_);
  double w = cropSize_.w, h = cropSize_.h;
  double mx = kMargin * w, my = kMargin * h;
  double x = cropOrigin_.x, y = cropOrigin_.y;
  // Last to first: the caret moves the crop, then the pointer has the last word.
  for (auto it = points.rbegin(); it != points.rend(); ++it) {
    if (it->x < x + mx) x = it->x - mx;
    else if (it->x > x + w - mx) x = it->x - w + mx;
    if (it->y < y + my) y = it->y - my;
    else if (it->y > y + h - my) y = it->y - h + my;
  }
  x = std::min(d.maxX() - w, std::max(d.x, x));
  y = std::min(d.maxY() - h, std::max(d.y, y));
  double cx = cropOrigin_.x, cy = cropOrigin_.y;
  double nx = cx + (x - cx) * kEase, ny = cy + (y - cy) * kEase;
  // Snap before the dead band: the other way round the eased steps shrink
  // below half a point while the crop is still up to 1.25 points short of
  // where it should rest, and it stays there.
  if (std::fabs(x - nx) < 1) nx = x;
  if (std::fabs(y - ny) < 1) ny = y;
  if (std::fabs(nx - cx) < 0.5 && std::fabs(ny - cy) < 0.5) return;
  // The shared region, the capture's crop and the stored origin are one and
  // the same eased rectangle.
  cropOrigin_ = Point{nx, ny};
  {
    std::lock_guard<std::mutex> l(lock_);
    rect_ = Rect{nx, ny, w, h};
  }
  cap_.setCrop(Rect{nx - d.x, ny - d.y, w, h});
  cropDirty_ = true;
  double since = now - lastApply_;
  if (since >= kMinApplyGap) return applyCrop();
  if (!flush_) {
    auto wait = std::chrono::duration<double>(kMinApplyGap - since);
    flush_ = QueueTimer::once(vq_, std::chrono::duration_cast<std::chrono::nanoseconds>(wait), [this] {
      flush_.reset();
      if (cropDirty_) applyCrop();
    });
  }
}

void ViewManager::applyCrop() {
  cropDirty_ = false;
  lastApply_ = nowSeconds();
  cap_.reapply([](std::optional<std::string>) {});
}

void ViewManager::noteTyping() {
  if (mode() != "zoom" || !caret_) return;
  vq_.post([this] {
    QueueTimer::once(vq_, kCaretDelay, [this] {
      if (!caret_) return;
      caret_->find([this](std::optional<Point> p) {
        if (!p) return;
        vq_.post([this, p] {
          focusPoint_ = p;
          focusUntil_ = nowSeconds() + kFocusHold;
        });
      });
    });
  });
}

void ViewManager::sendStatus() {
  std::string mode;
  Rect r, d;
  Rect main = mainBounds();
  {
    std::lock_guard<std::mutex> l(lock_);
    mode = mode_;
    d = display_.value_or(main);
    r = rect_.value_or(d);
  }
  int mb = kSimulatedMenuBar;
  bool phys = true;
  if (!opt_.testMode) {
    mb = 0;
    phys = false;
    if (Display* dp = x()) {
      for (const auto& m : listDisplays(dp))
        if (m.name != vdisplay::kMonitorName) phys = true;
      if (auto top = workAreaTop(dp)) mb = std::max(0, static_cast<int>(*top - main.y));
    }
  }
  json s = {{"t", "view"}, {"mode", mode}, {"mb", mb}, {"phys", phys},
            {"rx", r.x - d.x}, {"ry", r.y - d.y}, {"rw", r.w}, {"rh", r.h}, {"dw", d.w}, {"dh", d.h}};
  if (onStatus) onStatus(jsonText(s));
}

void ViewManager::doReset() {
  ++gen_;
  if (pending_) pending_->cancel();
  pending_.reset();
  stopFollower();
  destroyVirtual();
  cap_.setDisplay(std::nullopt);
  cap_.setCrop(std::nullopt);
  {
    std::lock_guard<std::mutex> l(lock_);
    mode_ = "fit";
    rect_.reset();
    display_.reset();
  }
  lastApply_ = 0;
  focusPoint_.reset();
  // A run under way ends at its next step; the next request starts afresh.
  busy_ = false;
  again_ = false;
}

void ViewManager::reset() {
  vq_.post([this] { doReset(); });
}

bool ViewManager::resetAndWait(std::chrono::milliseconds limit) {
  if (vq_.isCurrent()) {
    doReset();
    return true;
  }
  auto done = std::make_shared<std::promise<void>>();
  auto fut = done->get_future();
  vq_.post([this, done] {
    doReset();
    done->set_value();
  });
  return fut.wait_for(limit) == std::future_status::ready;
}

void ViewManager::cleanUpAfterCrash() {
  Display* d = xconn::open();
  if (!d) return;
  if (vdisplay::removeAll(d)) logf("[view] 前回の仮想ディスプレイを消しました");
  if (auto w = frontwin::load(d)) {
    if (frontwin::restore(d, *w))
      logf("[view] ウィンドウを元の位置へ戻しました (" + std::to_string(std::lround(w->frame.x)) + ", " +
           std::to_string(std::lround(w->frame.y)) + ")");
    frontwin::forget(d);
  }
  xconn::close(d);
}
