#include "media/X11Grabber.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <libyuv/scale_argb.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "app/Log.h"
#include "app/XConn.h"

struct X11Grabber::Shm {
  XShmSegmentInfo info{};
  XImage* image = nullptr;
  bool attached = false;
};

namespace {
constexpr size_t kPoolSize = 4;

bool overlaps(int ax, int ay, int aw, int ah, int bx, int by, int bw, int bh) {
  return ax < bx + bw && bx < ax + aw && ay < by + bh && by < ay + ah;
}

// X leaves the pad byte of 24-bit pixels undefined; frames are opaque.
void copyOpaque(const uint8_t* src, int srcStride, uint8_t* dst, int dstStride, int w, int h) {
  for (int y = 0; y < h; ++y) {
    const uint32_t* s = reinterpret_cast<const uint32_t*>(src + size_t(y) * srcStride);
    uint32_t* d = reinterpret_cast<uint32_t*>(dst + size_t(y) * dstStride);
    for (int x = 0; x < w; ++x) d[x] = s[x] | 0xff000000u;
  }
}
}  // namespace

X11Grabber::X11Grabber(Display* dpy) : dpy_(dpy) {}

X11Grabber::~X11Grabber() {
  freeImage();
  if (!xconn::lost(dpy_)) {
    if (damage_) XDamageDestroy(dpy_, damage_);
    if (region_) XFixesDestroyRegion(dpy_, region_);
    if (fixesBase_ >= 0) XFixesSelectCursorInput(dpy_, DefaultRootWindow(dpy_), 0);
    if (rrBase_ >= 0) XRRSelectInput(dpy_, DefaultRootWindow(dpy_), 0);
    XSync(dpy_, False);
  }
}

std::optional<std::string> X11Grabber::init() {
  Window root = DefaultRootWindow(dpy_);
  Visual* v = DefaultVisual(dpy_, DefaultScreen(dpy_));
  int depth = DefaultDepth(dpy_, DefaultScreen(dpy_));
  if ((depth != 24 && depth != 32) || v->red_mask != 0xff0000 || v->green_mask != 0xff00 ||
      v->blue_mask != 0xff || ImageByteOrder(dpy_) != LSBFirst)
    return "Unsupported screen format (depth " + std::to_string(depth) + ")";

  int err;
  if (XDamageQueryExtension(dpy_, &damageBase_, &err)) {
    int major = 1, minor = 1;
    XDamageQueryVersion(dpy_, &major, &minor);
    damage_ = XDamageCreate(dpy_, root, XDamageReportNonEmpty);
  } else {
    damageBase_ = -1;  // without it every tick counts as changed
  }
  if (XFixesQueryExtension(dpy_, &fixesBase_, &err)) {
    int major = 4, minor = 0;
    XFixesQueryVersion(dpy_, &major, &minor);
    region_ = XFixesCreateRegion(dpy_, nullptr, 0);
    XFixesSelectCursorInput(dpy_, root, XFixesDisplayCursorNotifyMask);
  } else {
    fixesBase_ = -1;
  }
  if (XRRQueryExtension(dpy_, &rrBase_, &err)) {
    XRRSelectInput(dpy_, root, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
  } else {
    rrBase_ = -1;
  }
  XSync(dpy_, False);
  if (xconn::lost(dpy_)) return std::string("X server connection lost");
  xconn::takeError(dpy_);
  return std::nullopt;
}

Rect X11Grabber::area() const { return Rect{double(ax_), double(ay_), double(aw_), double(ah_)}; }

std::optional<std::string> X11Grabber::setTarget(Rect area, int outW, int outH) {
  XWindowAttributes ra;
  if (!XGetWindowAttributes(dpy_, DefaultRootWindow(dpy_), &ra)) return std::string("X server connection lost");
  auto ix = [](double v) { return std::isfinite(v) ? int(std::lround(std::clamp(v, -1e6, 1e6))) : 0; };
  int x0 = std::clamp(ix(area.x), 0, ra.width - 1), y0 = std::clamp(ix(area.y), 0, ra.height - 1);
  int x1 = std::clamp(ix(area.x + area.w), x0 + 1, ra.width);
  int y1 = std::clamp(ix(area.y + area.h), y0 + 1, ra.height);
  int w = x1 - x0, h = y1 - y0;
  outW = std::max(2, outW);
  outH = std::max(2, outH);
  if (w != aw_ || h != ah_ || !pix_) {
    std::string error;
    if (!makeImage(w, h, &error)) return error;
  }
  ax_ = x0;
  ay_ = y0;
  aw_ = w;
  ah_ = h;
  outW_ = outW;
  outH_ = outH;
  needFull_ = true;
  haveClean_ = false;
  return std::nullopt;
}

bool X11Grabber::makeImage(int w, int h, std::string* error) {
  freeImage();
  if (XShmQueryExtension(dpy_)) {
    auto s = std::make_unique<Shm>();
    s->image = XShmCreateImage(dpy_, DefaultVisual(dpy_, DefaultScreen(dpy_)),
                               DefaultDepth(dpy_, DefaultScreen(dpy_)), ZPixmap, nullptr, &s->info, w, h);
    if (s->image && s->image->bits_per_pixel == 32) {
      s->info.shmid = shmget(IPC_PRIVATE, size_t(s->image->bytes_per_line) * h, IPC_CREAT | 0600);
      if (s->info.shmid >= 0) {
        s->info.shmaddr = s->image->data = static_cast<char*>(shmat(s->info.shmid, nullptr, 0));
        if (s->info.shmaddr == reinterpret_cast<char*>(-1)) s->info.shmaddr = s->image->data = nullptr;
        s->info.readOnly = False;
        if (s->info.shmaddr && XShmAttach(dpy_, &s->info)) {
          XSync(dpy_, False);
          s->attached = xconn::takeError(dpy_) == 0 && !xconn::lost(dpy_);
        }
        // Removal takes effect once the last attachment goes, so a crash
        // cannot leave the segment behind.
        shmctl(s->info.shmid, IPC_RMID, nullptr);
      }
    }
    if (s->attached) {
      pix_ = reinterpret_cast<uint8_t*>(s->image->data);
      stride_ = s->image->bytes_per_line;
      shm_ = std::move(s);
      return true;
    }
    // Release what was made; fall back to plain reads (a remote server).
    shm_ = std::move(s);
    freeImage();
  }
  if (xconn::lost(dpy_)) {
    *error = "X server connection lost";
    return false;
  }
  stride_ = w * 4;
  plain_.assign(size_t(stride_) * h, 0);
  pix_ = plain_.data();
  return true;
}

void X11Grabber::freeImage() {
  if (shm_) {
    if (shm_->attached && !xconn::lost(dpy_)) {
      XShmDetach(dpy_, &shm_->info);
      XSync(dpy_, False);
    }
    if (shm_->image) {
      shm_->image->data = nullptr;
      XDestroyImage(shm_->image);
    }
    if (shm_->info.shmaddr) shmdt(shm_->info.shmaddr);
    shm_.reset();
  }
  plain_.clear();
  plain_.shrink_to_fit();
  pix_ = nullptr;
  haveClean_ = false;
}

bool X11Grabber::pollEvents() {
  bool layout = false;
  while (!xconn::lost(dpy_) && XPending(dpy_) > 0) {
    XEvent ev;
    XNextEvent(dpy_, &ev);
    if (damageBase_ >= 0 && ev.type == damageBase_ + XDamageNotify) {
      damageSeen_ = true;
    } else if (fixesBase_ >= 0 && ev.type == fixesBase_ + XFixesCursorNotify) {
      cursorStale_ = true;
    } else if (rrBase_ >= 0 && ev.type == rrBase_ + RRScreenChangeNotify) {
      XRRUpdateConfiguration(&ev);
      layout = true;
    } else if (rrBase_ >= 0 && ev.type == rrBase_ + RRNotify) {
      layout = true;
    }
  }
  return layout;
}

bool X11Grabber::contentDamaged() {
  if (damageBase_ < 0 || fixesBase_ < 0) return true;
  if (!damageSeen_) return false;
  damageSeen_ = false;
  // Take the damage away before reading, so drawing that lands during the
  // grab raises a new notification and is read next time.
  XDamageSubtract(dpy_, damage_, None, region_);
  int n = 0;
  XRectangle* rects = XFixesFetchRegion(dpy_, region_, &n);
  bool hit = false;
  for (int i = 0; rects && i < n && !hit; ++i)
    hit = overlaps(rects[i].x, rects[i].y, rects[i].width, rects[i].height, ax_, ay_, aw_, ah_);
  if (rects) XFree(rects);
  return hit;
}

bool X11Grabber::refreshCursor(bool* changed) {
  *changed = false;
  if (fixesBase_ < 0) return false;
  Window rootRet, childRet;
  int rx = 0, ry = 0, wx, wy;
  unsigned int mask;
  bool onScreen = XQueryPointer(dpy_, DefaultRootWindow(dpy_), &rootRet, &childRet, &rx, &ry, &wx, &wy, &mask);
  if (cursorStale_ || !cursor_.valid) {
    cursorStale_ = false;
    XFixesCursorImage* img = XFixesGetCursorImage(dpy_);
    if (img) {
      cursor_.w = img->width;
      cursor_.h = img->height;
      cursor_.xhot = img->xhot;
      cursor_.yhot = img->yhot;
      cursor_.serial = img->cursor_serial;
      cursor_.argb.resize(size_t(img->width) * img->height);
      for (size_t i = 0; i < cursor_.argb.size(); ++i) cursor_.argb[i] = uint32_t(img->pixels[i]);
      cursor_.valid = true;
      XFree(img);
    }
  }
  if (onScreen) {  // on another X screen the last place stands
    cursor_.x = rx;
    cursor_.y = ry;
  }
  if (!cursor_.valid) return false;
  if (cursor_.x != lastCursorX_ || cursor_.y != lastCursorY_ || cursor_.serial != lastCursorSerial_) {
    int nx = cursor_.x - cursor_.xhot, ny = cursor_.y - cursor_.yhot;
    int ox = lastCursorX_ - cursor_.xhot, oy = lastCursorY_ - cursor_.yhot;
    *changed = overlaps(nx, ny, cursor_.w, cursor_.h, ax_, ay_, aw_, ah_) ||
               (lastCursorX_ >= 0 && overlaps(ox, oy, cursor_.w, cursor_.h, ax_, ay_, aw_, ah_));
    lastCursorX_ = cursor_.x;
    lastCursorY_ = cursor_.y;
    lastCursorSerial_ = cursor_.serial;
  }
  return true;
}

bool X11Grabber::readArea(std::string* error) {
  if (shm_) {
    if (!XShmGetImage(dpy_, DefaultRootWindow(dpy_), shm_->image, ax_, ay_, AllPlanes)) {
      XSync(dpy_, False);
      xconn::takeError(dpy_);
      *error = xconn::lost(dpy_) ? "X server connection lost" : "Screen read failed";
      return false;
    }
    return true;
  }
  XImage* img = XGetImage(dpy_, DefaultRootWindow(dpy_), ax_, ay_, aw_, ah_, AllPlanes, ZPixmap);
  if (!img) {
    XSync(dpy_, False);
    xconn::takeError(dpy_);
    *error = xconn::lost(dpy_) ? "X server connection lost" : "Screen read failed";
    return false;
  }
  if (img->bits_per_pixel == 32) {
    for (int y = 0; y < ah_; ++y)
      std::memcpy(pix_ + size_t(y) * stride_, img->data + size_t(y) * img->bytes_per_line, size_t(aw_) * 4);
  }
  XDestroyImage(img);
  return true;
}

void X11Grabber::compositeCursor(std::vector<uint32_t>& saved, int& sx, int& sy, int& sw, int& sh) {
  sw = sh = 0;
  if (!cursor_.valid || cursor_.w <= 0 || cursor_.h <= 0) return;
  int cx = cursor_.x - cursor_.xhot - ax_, cy = cursor_.y - cursor_.yhot - ay_;
  int x0 = std::max(cx, 0), y0 = std::max(cy, 0);
  int x1 = std::min(cx + cursor_.w, aw_), y1 = std::min(cy + cursor_.h, ah_);
  if (x0 >= x1 || y0 >= y1) return;
  sx = x0;
  sy = y0;
  sw = x1 - x0;
  sh = y1 - y0;
  saved.resize(size_t(sw) * sh);
  for (int y = y0; y < y1; ++y) {
    uint32_t* row = reinterpret_cast<uint32_t*>(pix_ + size_t(y) * stride_);
    std::memcpy(&saved[size_t(y - y0) * sw], row + x0, size_t(sw) * 4);
    const uint32_t* c = &cursor_.argb[size_t(y - cy) * cursor_.w];
    for (int x = x0; x < x1; ++x) {
      uint32_t s = c[x - cx];
      uint32_t a = s >> 24;
      if (a == 0) continue;
      if (a == 255) {
        row[x] = s;
        continue;
      }
      // Premultiplied "over": dst = src + dst * (1 - alpha).
      uint32_t d = row[x], out = 0xff000000u;
      for (int sh8 = 0; sh8 < 24; sh8 += 8) {
        uint32_t v = ((s >> sh8) & 0xff) + (((d >> sh8) & 0xff) * (255 - a) + 127) / 255;
        out |= std::min<uint32_t>(v, 255) << sh8;
      }
      row[x] = out;
    }
  }
}

void X11Grabber::restoreUnder(const std::vector<uint32_t>& saved, int sx, int sy, int sw, int sh) {
  for (int y = 0; y < sh; ++y)
    std::memcpy(pix_ + size_t(sy + y) * stride_ + size_t(sx) * 4, &saved[size_t(y) * sw], size_t(sw) * 4);
}

std::shared_ptr<Frame> X11Grabber::takeFrame(int w, int h) {
  // A frame only this pool still holds has been dropped by the encoder and
  // can be filled again; that saves mapping fresh pages for every frame.
  for (auto& f : pool_)
    if (f.use_count() == 1 && f->width == w && f->height == h) {
      // Pairs with the release of the last other owner's reference.
      std::atomic_thread_fence(std::memory_order_acquire);
      return f;
    }
  auto f = Frame::make(w, h);
  if (pool_.size() < kPoolSize) {
    pool_.push_back(f);
  } else {
    for (auto& p : pool_)
      if (p.use_count() == 1) {
        p = f;
        break;
      }
  }
  return f;
}

FramePtr X11Grabber::grab(bool force, std::string* error) {
  if (!pix_) {
    *error = "No capture area";
    return nullptr;
  }
  if (xconn::lost(dpy_)) {
    *error = "X server connection lost";
    return nullptr;
  }
  bool content = contentDamaged() || needFull_ || !haveClean_ || force;
  bool cursorMoved = false;
  refreshCursor(&cursorMoved);
  if (!content && !cursorMoved) return nullptr;

  double captureMs = epochMs();
  if (content) {
    if (!readArea(error)) {
      haveClean_ = false;
      return nullptr;
    }
    haveClean_ = true;
    needFull_ = false;
  }

  std::vector<uint32_t> saved;
  int sx = 0, sy = 0, sw = 0, sh = 0;
  compositeCursor(saved, sx, sy, sw, sh);
  auto f = takeFrame(outW_, outH_);
  if (outW_ == aw_ && outH_ == ah_) {
    copyOpaque(pix_, stride_, f->pixels.data(), f->stride, aw_, ah_);
  } else {
    libyuv::ARGBScale(pix_, stride_, aw_, ah_, f->pixels.data(), f->stride, outW_, outH_, libyuv::kFilterBox);
    copyOpaque(f->pixels.data(), f->stride, f->pixels.data(), f->stride, outW_, outH_);
  }
  if (sw > 0) restoreUnder(saved, sx, sy, sw, sh);
  f->captureMs = captureMs;
  return f;
}
