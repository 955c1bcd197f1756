#include "media/TestPattern.h"

#include "app/Log.h"
#include "session/Geometry.h"

#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cmath>
#include <cstring>
#include <random>

// The pattern's geometry is described with the origin at the bottom-left and
// y growing upwards; cairo's origin is the top-left. flipY turns the bottom
// edge of a rectangle of height h at y into cairo's top edge.
namespace {

// Beyond this the encoder refuses the frame anyway, and cairo's limit is near.
constexpr int kMaxSide = 16384;

double flipY(double H, double y, double h) { return H - y - h; }

void fillRect(cairo_t* cr, double H, double x, double y, double w, double h, double r,
              double g, double b) {
  cairo_set_source_rgb(cr, r, g, b);
  cairo_rectangle(cr, x, flipY(H, y, h), w, h);
  cairo_fill(cr);
}

std::shared_ptr<cairo_surface_t> wrap(cairo_surface_t* s) {
  if (!s || cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    if (s) cairo_surface_destroy(s);
    return nullptr;
  }
  return {s, cairo_surface_destroy};
}

// gdk-pixbuf hands out straight RGB(A) bytes; cairo wants premultiplied
// native-endian ARGB.
std::shared_ptr<cairo_surface_t> surfaceFromPixbuf(GdkPixbuf* pb) {
  int w = gdk_pixbuf_get_width(pb), h = gdk_pixbuf_get_height(pb);
  int n = gdk_pixbuf_get_n_channels(pb), srcStride = gdk_pixbuf_get_rowstride(pb);
  bool alpha = gdk_pixbuf_get_has_alpha(pb);
  if (gdk_pixbuf_get_bits_per_sample(pb) != 8 || n < (alpha ? 4 : 3)) return nullptr;
  auto s = wrap(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
  if (!s) return nullptr;
  cairo_surface_flush(s.get());
  const guchar* src = gdk_pixbuf_read_pixels(pb);
  unsigned char* dst = cairo_image_surface_get_data(s.get());
  int dstStride = cairo_image_surface_get_stride(s.get());
  for (int y = 0; y < h; ++y) {
    const guchar* p = src + static_cast<size_t>(y) * srcStride;
    auto* d = reinterpret_cast<uint32_t*>(dst + static_cast<size_t>(y) * dstStride);
    for (int x = 0; x < w; ++x, p += n) {
      uint32_t a = alpha ? p[3] : 255;
      auto pre = [a](uint32_t c) { return (c * a + 127) / 255; };
      d[x] = (a << 24) | (pre(p[0]) << 16) | (pre(p[1]) << 8) | pre(p[2]);
    }
  }
  cairo_surface_mark_dirty(s.get());
  return s;
}

}  // namespace

TestPattern::TestPattern() = default;

TestPattern::~TestPattern() {
  // A pending timer keeps the queue's thread alive; end it before joining.
  stop();
  q.shutdown();
}

bool TestPattern::loadImage(const std::string& path) {
  GError* err = nullptr;
  GdkPixbuf* pb = gdk_pixbuf_new_from_file(path.c_str(), &err);
  if (!pb) {
    logf("[host] 画像を読めません: " + path + (err ? std::string(" (") + err->message + ")" : ""));
    if (err) g_error_free(err);
    return false;
  }
  int w = gdk_pixbuf_get_width(pb) & ~1, h = gdk_pixbuf_get_height(pb) & ~1;
  Surface s;
  if (w >= 2 && h >= 2 && w <= kMaxSide && h <= kMaxSide) s = surfaceFromPixbuf(pb);
  g_object_unref(pb);
  if (!s) {
    logf("[host] 画像を使えません: " + path);
    return false;
  }
  {
    std::lock_guard<std::mutex> l(lock);
    stillImage = s;
  }
  width = w;
  height = h;
  return true;
}

void TestPattern::start(int fps) {
  if (fps < 1) return;
  auto every = std::chrono::nanoseconds(1000000000LL / fps);
  auto t = QueueTimer::repeating(q, std::chrono::nanoseconds(0), every, [this] { tick(); });
  std::lock_guard<std::mutex> l(timerLock);
  if (timer) timer->cancel();
  timer = std::move(t);
}

void TestPattern::stop() {
  {
    std::lock_guard<std::mutex> l(timerLock);
    if (timer) timer->cancel();
    timer.reset();
  }
  // Let a frame being drawn finish, so the owner may drop its callback or
  // state right after stop(). From the queue itself nothing is in flight.
  q.sync([] {});
}

bool TestPattern::running() const {
  std::lock_guard<std::mutex> l(timerLock);
  return timer != nullptr;
}

void TestPattern::tick() {
  const int W = width, H = height;
  if (W < 1 || H < 1 || W > kMaxSide || H > kMaxSide) return;
  auto frame = Frame::make(W, H);
  auto target = wrap(cairo_image_surface_create_for_data(frame->pixels.data(), CAIRO_FORMAT_ARGB32,
                                                         W, H, frame->stride));
  if (!target) return;
  const uint32_t F = ++frameNo;

  Surface image;
  double cx, cy;
  {
    std::lock_guard<std::mutex> l(lock);
    image = stillImage;
    cx = clamp01(px) * W;
    cy = clamp01(py) * H;
  }
  if (image) {
    drawStill(frame->pixels.data(), W, H, image);
    target.reset();
    frame->captureMs = epochMs();
    if (onFrame) onFrame(frame);
    return;
  }

  cairo_t* cr = cairo_create(target.get());
  fillRect(cr, H, 0, 0, W, H, 0.08, 0.10, 0.16);

  if (scrollMode) {
    drawDocument(cr, W, H);
  } else {
    const double unit = W / 1280.0;
    for (int i = 0; i < 16; ++i) {
      double k = std::sin(F / 20.0 + i);
      double x = std::fmod(6.0 * F + unit * 80 * i, W);
      fillRect(cr, H, x, 0.14 * H, unit * 60, 0.72 * H, 0.5 + 0.5 * k, 0.4, 0.5 - 0.5 * k);
    }
  }

  const bool mark = viewMark;
  const double o = mark ? 90 : 20;
  for (int j = 0; j < 16; ++j)
    if (F & (1u << j)) fillRect(cr, H, o + 30 * j, o, 24, 24, 1, 1, 1);

  if (mark) {
    cairo_set_source_rgb(cr, 1, 0.1, 0.1);
    cairo_set_line_width(cr, 10);
    cairo_rectangle(cr, 5, 5, W - 10, H - 10);
    cairo_stroke(cr);
    fillRect(cr, H, 0, 0, 60, 60, 0.2, 0.2, 0.2);
    fillRect(cr, H, W - 60, 0, 60, 60, 0.5, 0.5, 0.5);
    fillRect(cr, H, 0, H - 60, 60, 60, 0.8, 0.8, 0.8);
    fillRect(cr, H, W - 60, H - 60, 60, 60, 1, 1, 1);
  }

  // px/py count from the top-left, which is cairo's own orientation.
  cairo_set_source_rgb(cr, 1, 1, 0);
  cairo_set_line_width(cr, 4);
  cairo_move_to(cr, cx - 30, cy);
  cairo_line_to(cr, cx + 30, cy);
  cairo_move_to(cr, cx, cy - 30);
  cairo_line_to(cr, cx, cy + 30);
  cairo_stroke(cr);

  cairo_destroy(cr);
  target.reset();  // flushes cairo's writes into the frame's memory
  frame->captureMs = epochMs();
  if (onFrame) onFrame(frame);
}

void TestPattern::drawStill(uint8_t* pixels, int W, int H, const Surface& image) {
  // Scaling a large photo with a good filter costs far more than a frame's
  // budget; the picture only changes with the frame size, so draw it once.
  if (!stillScaled || stillScaledOf != image || cairo_image_surface_get_width(stillScaled.get()) != W ||
      cairo_image_surface_get_height(stillScaled.get()) != H) {
    stillScaled = wrap(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, W, H));
    stillScaledOf = image;
    if (!stillScaled) return;
    double iw = cairo_image_surface_get_width(image.get());
    double ih = cairo_image_surface_get_height(image.get());
    double s = std::max(W / iw, H / ih);  // cover the frame
    cairo_t* cr = cairo_create(stillScaled.get());
    fillRect(cr, H, 0, 0, W, H, 1, 1, 1);
    // Centred horizontally, top edges aligned.
    cairo_translate(cr, (W - s * iw) / 2, 0);
    cairo_scale(cr, s, s);
    cairo_set_source_surface(cr, image.get(), 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BEST);
    // Padding, not transparency, beyond the image's edges: otherwise the filter
    // fades the outermost rows and columns into the white behind.
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
    cairo_rectangle(cr, 0, 0, iw, ih);
    cairo_fill(cr);
    cairo_destroy(cr);
    cairo_surface_flush(stillScaled.get());
  }
  const uint8_t* src = cairo_image_surface_get_data(stillScaled.get());
  int srcStride = cairo_image_surface_get_stride(stillScaled.get());
  for (int y = 0; y < H; ++y)
    std::memcpy(pixels + static_cast<size_t>(y) * W * 4, src + static_cast<size_t>(y) * srcStride,
                static_cast<size_t>(W) * 4);
}

void TestPattern::drawDocument(void* ctx, int W, int H) {
  auto* cr = static_cast<cairo_t*>(ctx);
  if (!page) page = makePage(W);
  double d;
  {
    std::lock_guard<std::mutex> l(lock);
    double add = std::isfinite(userScroll) ? userScroll : 0;
    // Kept within one page height: an ever-growing offset would lose precision,
    // and a negative remainder would leave an empty band under the page.
    scrollOff = std::fmod(scrollOff + add + 10, pageH);
    if (scrollOff < 0) scrollOff += pageH;
    userScroll = 0;
    d = scrollOff;
  }
  if (!page) return;
  // Copies of the page stacked at y = -d, pageH - d, ... until the frame is
  // covered (two for any frame lower than the page).
  for (double y = -d; y < H; y += pageH) {
    cairo_set_source_surface(cr, page.get(), 0, flipY(H, y, pageH));
    cairo_paint(cr);
  }
}

TestPattern::Surface TestPattern::makePage(int W) {
  auto s = wrap(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, W, pageH));
  if (!s) return nullptr;
  std::mt19937 rng(std::random_device{}());
  auto uni = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  auto uint = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
  const double H = pageH;
  const bool noise = noisePhotos;
  cairo_t* cr = cairo_create(s.get());
  fillRect(cr, H, 0, 0, W, H, 0.96, 0.96, 0.96);
  double y = 20;
  while (y < 2960) {
    int r = uint(0, 9);
    if (r == 0) {
      fillRect(cr, H, 40, y, W - 80, 36, uni(0.1, 0.9), uni(0.1, 0.9), uni(0.1, 0.9));
      y += 60;
    } else if (r == 1) {
      double ph = 120 + uint(0, 100);
      if (noise) {
        for (double x = 40; x < W - 40; x += 6)
          for (double cy = y; cy < y + ph; cy += 6)
            fillRect(cr, H, x, cy, 6, 6, uni(0, 1), uni(0, 1), uni(0, 1));
      } else {
        double b1 = uni(0, 1), b2 = uni(0, 1), b3 = uni(0, 1);
        auto c = [](double v) { return v < 0 ? 0 : (v > 1 ? 1 : v); };
        for (double x = 40; x < W - 40; x += 8)
          for (double cy = y; cy < y + ph; cy += 8) {
            double u = x / W, v = (cy - y) / ph;
            fillRect(cr, H, x, cy, 8, 8, c(b1 * (1 - u) + 0.6 * v + uni(-0.02, 0.02)),
                     c(b2 * u + 0.3 * v + uni(-0.02, 0.02)),
                     c(0.4 * u + b3 * (1 - v) + uni(-0.02, 0.02)));
          }
      }
      y += ph + 20;
    } else {
      for (double x = 40; x < W - 80;) {
        int m = uint(0, 56);
        fillRect(cr, H, x, y, m + 14, 11, 0.12, 0.12, 0.12);
        x += m + 22;
      }
      y += 26;
    }
  }
  cairo_destroy(cr);
  cairo_surface_flush(s.get());
  return s;
}
