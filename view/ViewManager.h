#pragma once
// Decides what part of the desktop the phone sees: the whole main display
// ("fit"), a crop of it in the phone's shape that follows the pointer and the
// caret ("zoom"), or a virtual display in the phone's shape that the front
// window is moved onto ("virtual"). It steers the screen capture, reports the
// geometry as a "view" status and tells input mapping what is shared.
//
// Everything runs on the "viewmgr" queue; only the mode and rectangles read
// by input mapping are shared, under `lock_`.
#include "app/SerialQueue.h"
#include "session/Geometry.h"
#include "view/FrontWindow.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class ScreenCapture;
class CaretFinder;
class DemoWindow;
typedef struct _XDisplay Display;

struct ViewOptions {
  bool testMode = false;    // simulated 1512x982 display, frames from the test pattern
  bool demoWindow = false;  // draw a demo desktop on the virtual display instead of moving a window
};

// A requested size is taken only within these limits: below the smaller side
// the request is ignored (a hidden or collapsing page), above the larger one
// too (no phone is that large; keeps every size conversion sound). The shape
// is clamped to the aspect range, which keeps frames and virtual displays
// within what the encoder and the X server accept.
constexpr double kViewMinSide = 50;
constexpr double kViewMaxSide = 100000;
constexpr double kViewMinAspect = 0.25;
constexpr double kViewMaxAspect = 4.0;

struct VirtualSize {
  int width = 0, height = 0;
};
// The virtual display for a width/height ratio: about 1.3 million pixels, the
// smaller side at least 640, both sides even.
VirtualSize virtualSizeFor(double aspect);
// The zoom crop of display d for the phone's aspect at zoom z, centred on
// focus as far as the display allows.
Rect zoomCrop(const Rect& d, double aspect, double z, Point focus);
// Test-mode frame size for a crop or virtual display of that aspect.
VirtualSize testFrameSize(double aspect);

class ViewManager {
public:
  ViewManager(ScreenCapture& cap, ViewOptions options);
  ~ViewManager();
  ViewManager(const ViewManager&) = delete;
  ViewManager& operator=(const ViewManager&) = delete;

  // Set by the owner before the first request. Called on the view queue.
  std::function<void(const std::string&)> onStatus;
  std::function<void(int w, int h)> onTestSize;

  // The phone's "view" message: viewport size in points, mode ("auto",
  // "fit", "zoom", "virtual"), zoom level. Any thread; debounced.
  void request(double w, double h, const std::string& mode, double zoom);
  // Keyboard or text input happened: follow the caret for a while.
  void noteTyping();
  // The last client has gone: back to "fit" with nothing made left behind.
  // Queued after an apply under way, which then ends early.
  void reset();
  // The same, waiting at most `limit` (shutdown).
  bool resetAndWait(std::chrono::milliseconds limit);
  // Returns once everything queued so far has run (tests).
  void waitIdle();

  // For input mapping, any thread. Region: what the phone sees; display: the
  // display it lies on. Nothing means the main display.
  std::string mode() const;
  std::optional<Rect> region() const;
  std::optional<Rect> display() const;

  // A crashed run may have left a virtual display and a moved window behind
  // on the X server: remove the one and put the other back.
  static void cleanUpAfterCrash();

private:
  using Done = std::function<void()>;
  void kick();
  void runApply(uint64_t gen);
  void applyNow(uint64_t gen, Done done);
  void applyTest(const std::string& mode, double aspect);
  void applyMain(const std::string& mode, double aspect, uint64_t gen, Done done);
  void applyFailed(const std::string& error);
  void reapplyCapture(uint64_t gen, Done done);
  void ensureVirtual(double aspect, uint64_t gen, std::function<void(std::optional<std::string>)> cb);
  void awaitBounds(int tries, uint64_t gen, std::function<void(std::optional<std::string>)> cb);
  void destroyVirtual();
  void restoreWindow();
  void startFollower();
  void stopFollower();
  void followTick();
  void applyCrop();
  void sendStatus();
  void doReset();
  std::string chooseMode(const std::string& mode);
  Rect mainBounds();
  std::optional<Point> pointer();
  Display* x();

  ScreenCapture& cap_;
  const ViewOptions opt_;
  SerialQueue vq_{"viewmgr"};

  mutable std::mutex lock_;
  std::string mode_ = "fit";
  std::optional<Rect> rect_;
  std::optional<Rect> display_;

  // On the view queue only.
  Display* dpy_ = nullptr;
  double reqW_ = 0, reqH_ = 0;
  std::string reqMode_ = "auto";
  double reqZoom_ = 1;
  std::shared_ptr<QueueTimer> pending_;
  std::shared_ptr<QueueTimer> reapplyLimit_;  // a capture that never answers ends the run
  bool vd_ = false;
  uint32_t vdID_ = 0;
  VirtualSize vdLogical_;
  Rect vdBounds_;
  std::optional<MovedWindow> movedWin_;
  std::unique_ptr<DemoWindow> demoWin_;
  Rect cropSize_;  // only w and h are used
  Point cropOrigin_;
  std::shared_ptr<QueueTimer> follower_;
  std::shared_ptr<QueueTimer> flush_;  // applies a crop the 30 ms rule held back
  double lastApply_ = 0;
  bool cropDirty_ = false;
  std::optional<Point> focusPoint_;
  double focusUntil_ = 0;
  bool busy_ = false;
  bool again_ = false;
  uint64_t gen_ = 0;  // bumped by reset; an apply of an older generation stops
  std::unique_ptr<CaretFinder> caret_;
};
