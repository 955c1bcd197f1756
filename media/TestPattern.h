#pragma once
// A synthetic frame source for test mode: moving colour bars (or a scrolling
// document, or a still image), the frame number as binary squares, a crosshair
// at the phone's pointer and, on request, a border with grey corner markers.
// It makes latency, motion, scaling and cropping visible without a desktop.
#include "app/SerialQueue.h"
#include "media/Frame.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

typedef struct _cairo_surface cairo_surface_t;

class TestPattern {
public:
  TestPattern();
  ~TestPattern();
  TestPattern(const TestPattern&) = delete;
  TestPattern& operator=(const TestPattern&) = delete;

  // Picture settings. Usually set before start; the view manager may change
  // them while frames are being drawn, so each is read once per frame.
  std::atomic<int> width{1280};
  std::atomic<int> height{720};
  std::atomic<bool> viewMark{false};     // border, corner markers, shifted counter
  std::atomic<bool> scrollMode{false};   // scrolling document instead of bars
  std::atomic<bool> noisePhotos{false};  // document pictures are noise, not gradients

  // Shared with input handling; touch only under `lock`.
  std::mutex lock;
  double px = 0.5;  // pointer, 0 = left edge of the picture, 1 = right edge
  double py = 0.5;  // pointer, 0 = top edge, 1 = bottom edge
  double userScroll = 0;  // pixels the phone scrolled since the last frame

  // Called on the pattern's queue with every frame drawn.
  std::function<void(FramePtr)> onFrame;

  // Shows only this image from now on and sizes the frame to it (rounded down
  // to even). False, with nothing changed, when the file is not a readable
  // image or too large to encode.
  bool loadImage(const std::string& path);

  // Draws a frame at once and then every 1e9/fps ns, replacing any running
  // timer. fps below 1 is refused.
  void start(int fps);
  // Ends the timer; when it returns, no onFrame call is running or will come.
  void stop();
  bool running() const;

private:
  using Surface = std::shared_ptr<cairo_surface_t>;
  void tick();
  void drawStill(uint8_t* pixels, int w, int h, const Surface& image);
  void drawDocument(void* cr, int w, int h);
  Surface makePage(int w);

  SerialQueue q{"testpattern"};
  mutable std::mutex timerLock;
  std::shared_ptr<QueueTimer> timer;  // guarded by timerLock

  Surface stillImage;     // guarded by lock
  Surface stillScaled;    // on q: stillImage drawn at the last frame size
  Surface stillScaledOf;  // on q: which image stillScaled shows
  Surface page;           // on q: the document, drawn on first use
  double scrollOff = 0;   // guarded by lock
  static constexpr int pageH = 3000;
  uint32_t frameNo = 0;  // on q
};
