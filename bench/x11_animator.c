/* Keeps a whole X screen changing, for capture benchmarks: a desktop-like
 * picture twice the screen's size lives in a server-side pixmap and pans
 * across a full-screen window (every pixel moves every frame, as in a scroll
 * or a window drag), and a small "video" plays in one corner.
 * Most of the work is copies inside the X server, so this process itself stays
 * light; the server's share is visible as the X server's own CPU time.
 *
 * Build: cc -O2 -o x11_animator x11_animator.c -lX11 -lm
 * Usage: x11_animator [FPS]   (DISPLAY from the environment; SIGTERM ends it)
 */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static volatile sig_atomic_t stopping = 0;
static void onTerm(int sig) { (void)sig; stopping = 1; }

static uint32_t rng = 0x12345678u;
static uint32_t next(void) {
  rng ^= rng << 13;
  rng ^= rng >> 17;
  rng ^= rng << 5;
  return rng;
}

static void fillRect(uint32_t* px, int stride, int x, int y, int w, int h, uint32_t c) {
  for (int j = y; j < y + h; ++j)
    for (int i = x; i < x + w; ++i) px[(size_t)j * stride + i] = c;
}

/* Windows with title bars and lines of "text" over a gradient, and a few
 * photo-like patches: what a busy desktop looks like to an encoder. */
static void paintDesktop(uint32_t* px, int w, int h) {
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint32_t r = (uint32_t)(x * 255 / w), g = (uint32_t)(y * 255 / h), b = (uint32_t)((x + y) * 127 / (w + h)) + 64;
      px[(size_t)y * w + x] = (r << 16) | (g << 8) | b;
    }
  for (int k = 0; k < 40; ++k) {
    int ww = 300 + (int)(next() % 700), wh = 200 + (int)(next() % 500);
    int wx = (int)(next() % (uint32_t)(w - ww)), wy = (int)(next() % (uint32_t)(h - wh));
    uint32_t bg = 0xe0e0e0u + (next() % 0x1f1f1fu), title = next() & 0x7f7f7fu;
    fillRect(px, w, wx, wy, ww, wh, bg);
    fillRect(px, w, wx, wy, ww, 24, title);
    if (k % 5 == 0) {  /* a photo: smooth noise */
      for (int y = wy + 30; y < wy + wh - 6; ++y)
        for (int x = wx + 6; x < wx + ww - 6; ++x) {
          uint32_t v = (uint32_t)((x * 7 + y * 3) & 0xff) ^ (next() & 0x1f);
          px[(size_t)y * w + x] = (v << 16) | ((v * 3 / 4) << 8) | (255 - v);
        }
      continue;
    }
    for (int line = wy + 34; line + 10 < wy + wh; line += 16)
      for (int x = wx + 8; x + 8 < wx + ww - 8;) {
        int word = 2 + (int)(next() % 8);
        for (int c = 0; c < word && x + 8 < wx + ww - 8; ++c, x += 7)
          if (next() % 4) fillRect(px, w, x, line + (int)(next() % 3), 5, 8 - (int)(next() % 3), 0x202020u);
        x += 7;
      }
  }
}

int main(int argc, char** argv) {
  double fps = argc > 1 ? atof(argv[1]) : 60.0;
  if (fps <= 0) fps = 60.0;
  signal(SIGTERM, onTerm);
  signal(SIGINT, onTerm);
  Display* dpy = XOpenDisplay(NULL);
  if (!dpy) {
    fprintf(stderr, "x11_animator: cannot open display\n");
    return 1;
  }
  int scr = DefaultScreen(dpy);
  int sw = DisplayWidth(dpy, scr), sh = DisplayHeight(dpy, scr);
  Visual* vis = DefaultVisual(dpy, scr);
  int depth = DefaultDepth(dpy, scr);
  if (depth != 24 && depth != 32) {
    fprintf(stderr, "x11_animator: depth %d not handled\n", depth);
    return 1;
  }
  Window root = RootWindow(dpy, scr);
  XSetWindowAttributes wa;
  memset(&wa, 0, sizeof wa);
  wa.override_redirect = True;
  wa.background_pixel = 0;
  Window win = XCreateWindow(dpy, root, 0, 0, (unsigned)sw, (unsigned)sh, 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWOverrideRedirect | CWBackPixel, &wa);
  GC gc = XCreateGC(dpy, win, 0, NULL);

  int pw = sw * 2, ph = sh * 2;
  uint32_t* desk = malloc((size_t)pw * ph * 4);
  if (!desk) return 1;
  paintDesktop(desk, pw, ph);
  Pixmap pix = XCreatePixmap(dpy, win, (unsigned)pw, (unsigned)ph, (unsigned)depth);
  XImage* img = XCreateImage(dpy, vis, (unsigned)depth, ZPixmap, 0, (char*)desk, (unsigned)pw, (unsigned)ph, 32, pw * 4);
  XPutImage(dpy, pix, gc, img, 0, 0, 0, 0, (unsigned)pw, (unsigned)ph); /* Xlib splits big requests */
  XSync(dpy, False);

  /* The "video": a plasma, new every frame but smooth, so it costs an
   * encoder what real footage does rather than the bits of pure noise. */
  int vw = sw / 4 & ~1, vh = sh / 4 & ~1;
  uint8_t wave[256];
  uint32_t palette[256];
  for (int i = 0; i < 256; ++i) {
    wave[i] = (uint8_t)(127.5 + 127.5 * sin(i * 2 * M_PI / 256));
    palette[i] = ((uint32_t)(127.5 + 127.5 * sin(i * 2 * M_PI / 256)) << 16) |
                 ((uint32_t)(127.5 + 127.5 * sin(i * 2 * M_PI / 256 + 2.1)) << 8) |
                 (uint32_t)(127.5 + 127.5 * sin(i * 2 * M_PI / 256 + 4.2));
  }
  uint32_t* video = malloc((size_t)vw * vh * 4);
  if (!video) return 1;
  XImage* vimg = XCreateImage(dpy, vis, (unsigned)depth, ZPixmap, 0, (char*)video, (unsigned)vw, (unsigned)vh, 32, vw * 4);

  XMapRaised(dpy, win);
  XSync(dpy, False);

  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  long period = (long)(1e9 / fps);
  /* Pans on a closed path so the picture never runs out. */
  int dx = 5, dy = 3, ox = 0, oy = 0;
  for (unsigned long n = 0; !stopping; ++n) {
    ox += dx;
    oy += dy;
    if (ox < 0 || ox > pw - sw) { dx = -dx; ox += 2 * dx; }
    if (oy < 0 || oy > ph - sh) { dy = -dy; oy += 2 * dy; }
    XCopyArea(dpy, pix, win, gc, ox, oy, (unsigned)sw, (unsigned)sh, 0, 0);
    for (int y = 0; y < vh; ++y) {
      unsigned wy = wave[(y * 2 + n * 3) & 255];
      for (int x = 0; x < vw; ++x) {
        unsigned v = wave[(x * 3 + n * 2) & 255] + wy + wave[(x + y + n * 5) & 255];
        video[(size_t)y * vw + x] = palette[(v / 3 + n) & 255];
      }
    }
    XPutImage(dpy, win, gc, vimg, 0, 0, sw - vw - 40, sh - vh - 40, (unsigned)vw, (unsigned)vh);
    XSync(dpy, False);
    t.tv_nsec += period;
    while (t.tv_nsec >= 1000000000L) {
      t.tv_nsec -= 1000000000L;
      t.tv_sec += 1;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > t.tv_sec + 1) t = now; /* after a stop (SIGSTOP) do not race to catch up */
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL);
  }
  vimg->data = NULL;
  XDestroyImage(vimg);
  free(video);
  img->data = NULL;
  XDestroyImage(img);
  free(desk);
  XFreePixmap(dpy, pix);
  XCloseDisplay(dpy);
  return 0;
}
