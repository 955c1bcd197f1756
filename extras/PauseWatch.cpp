#include "extras/PauseWatch.h"

#include "app/Log.h"
#include "app/Settings.h"
#include "app/XConn.h"
#include "extras/AwakeHold.h"
#include "extras/Inhibitors.h"
#include "extras/OnMain.h"
#include "extras/PauseOptions.h"

#include <X11/extensions/scrnsaver.h>
#include <glib.h>

#include <atomic>
#include <chrono>
#include <cmath>

namespace {

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

struct PauseWatch::Impl {
  std::weak_ptr<PauseWatch> self;
  PauseOptions options;
  guint timer = 0;
  // Written by whichever thread handles input, read on the main loop.
  std::atomic<int64_t> lastInputNs{nowNs()};
  Display* idleX = nullptr;  // for the idle time; reopened when lost
  bool idleXUsable = false;
  std::shared_ptr<AwakeHold> hold = std::make_shared<AwakeHold>();
  std::shared_ptr<InhibitorCheck> video = std::make_shared<InhibitorCheck>();
  bool asking = false;  // a video check is in flight
};

PauseWatch::PauseWatch() : impl_(std::make_unique<Impl>()) {}

PauseWatch::~PauseWatch() {
  if (impl_->timer) g_source_remove(impl_->timer);
  if (impl_->idleX) xconn::close(impl_->idleX);
}

std::shared_ptr<PauseWatch> PauseWatch::create() {
  auto w = std::shared_ptr<PauseWatch>(new PauseWatch());
  w->impl_->self = w;
  return w;
}

void PauseWatch::start() {
  onMain([w = impl_->self] {
    if (auto self = w.lock()) self->startOnMain();
  });
}

void PauseWatch::startOnMain() {
  auto& im = *impl_;
  im.options = readPauseOptions(settings());
  im.lastInputNs = nowNs();
  if (im.timer) g_source_remove(im.timer);
  im.timer = g_timeout_add_full(
      G_PRIORITY_DEFAULT, static_cast<guint>(std::lround(im.options.watchEvery * 1000)),
      [](gpointer p) -> gboolean {
        if (auto self = static_cast<std::weak_ptr<PauseWatch>*>(p)->lock()) self->tick();
        return G_SOURCE_CONTINUE;
      },
      new std::weak_ptr<PauseWatch>(im.self), [](gpointer p) { delete static_cast<std::weak_ptr<PauseWatch>*>(p); });
}

void PauseWatch::holdAwake(bool on) {
  onMain([w = impl_->self, on] {
    auto self = w.lock();
    if (!self) return;
    if (on)
      self->impl_->hold->take();
    else
      self->impl_->hold->release();
  });
}

void PauseWatch::noteInput() { impl_->lastInputNs = nowNs(); }

void PauseWatch::tick() {
  auto& im = *impl_;
  if (!paused || !paused()) return;
  double idle = idleSeconds();
  if (idle < im.options.idleResumeSec) return;
  if (im.options.ignoreVideo) {
    resume(idle);
    return;
  }
  if (im.asking) return;
  im.asking = true;
  im.video->ask([w = im.self, idle](bool playing) {
    auto self = w.lock();
    if (!self) return;
    self->impl_->asking = false;
    // The pause may have been lifted some other way while logind answered.
    if (playing || !self->paused || !self->paused()) return;
    self->resume(idle);
  });
}

double PauseWatch::idleSeconds() {
  auto& im = *impl_;
  if (im.idleX && xconn::lost(im.idleX)) {
    xconn::close(im.idleX);
    im.idleX = nullptr;
  }
  if (!im.idleX) {
    im.idleX = xconn::open();
    int event = 0, error = 0;
    im.idleXUsable = im.idleX && XScreenSaverQueryExtension(im.idleX, &event, &error);
  }
  if (im.idleXUsable) {
    if (XScreenSaverInfo* info = XScreenSaverAllocInfo()) {
      Status ok = XScreenSaverQueryInfo(im.idleX, DefaultRootWindow(im.idleX), info);
      double idle = info->idle / 1000.0;
      XFree(info);
      if (ok) return idle;
    }
  }
  return static_cast<double>(nowNs() - im.lastInputNs.load()) / 1e9;
}

void PauseWatch::resume(double idle) {
  logf("[pause] Macが" + std::to_string(static_cast<long long>(idle)) +
       "秒操作されず動画も再生されていないため、一時停止を自動で解除");
  if (setPaused) setPaused(false);
}
