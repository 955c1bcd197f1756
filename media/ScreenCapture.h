#pragma once
// Screen capture of one X display (a RandR monitor) or a rectangle of it, as
// BGRA frames for the encoder. Frames are delivered on the "capture" queue,
// only when something changed, at most fpsNow a second.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/SerialQueue.h"
#include "media/Displays.h"
#include "media/Frame.h"
#include "media/OutSize.h"
#include "session/Geometry.h"

class X11Grabber;
class QueueTimer;

class ScreenCapture {
public:
  using Done = std::function<void(std::optional<std::string> error)>;

  ScreenCapture();
  ~ScreenCapture();
  ScreenCapture(const ScreenCapture&) = delete;
  ScreenCapture& operator=(const ScreenCapture&) = delete;

  // Called on the capture queue. Set them before start.
  std::function<void(FramePtr)> onFrame;
  std::function<void(const std::string& error)> onStopped;  // the capture ended by itself
  // A reapply changes the frame size: called with the new size before the
  // first frame of that size, so the encoder can follow instead of scaling.
  std::function<void(int w, int h)> onResize;

  // Finds the wanted display (waiting up to 3 s for it), computes the frame
  // size, calls onReady(width, height) and then starts delivering. onReady may
  // throw to refuse; its message becomes the error. done runs on the capture
  // queue with nothing or the error. A running capture is replaced.
  void start(int fps, int maxWidth, std::function<void(int w, int h)> onReady, Done done);
  // Applies the wanted display and crop to the running capture; frames then
  // come at the new size. Without a running capture it only calls done().
  void reapply(Done done);
  // Ends the capture; returns at once. A frame being delivered may still arrive.
  void stop();
  // The same, returning once the capture has ended or after `limit`;
  // false when the limit was reached.
  bool stopAndWait(std::chrono::milliseconds limit = std::chrono::milliseconds(1500));

  // What the view manager wants; used by the next start or reapply and kept
  // across stops. Display: a RandR monitor name, or its index in the monitor
  // list as a decimal number; nothing for the main display. Crop: in the
  // display's points from its top-left corner; nothing for the whole display.
  void setDisplay(std::optional<std::string> display);
  void setCrop(std::optional<Rect> crop);
  void setMaxLong(int pixels);
  std::optional<std::string> wantedDisplay() const;
  std::optional<Rect> wantedCrop() const;

  bool running() const;
  int fpsNow() const;
  // Name of the monitor being captured, empty when stopped.
  std::string currentDisplay() const;
  // The captured monitor's rectangle in root coordinates; the main display's
  // bounds when stopped.
  Rect displayRect() const;
  static Rect mainDisplayBounds();

  SerialQueue& queue() { return q_; }

private:
  struct Found {
    std::optional<DisplayInfo> display;
    std::optional<std::string> error;
  };
  bool openDisplay();
  void findDisplay(std::optional<std::string> want, uint64_t gen,
                   std::chrono::steady_clock::time_point began, std::function<void(Found)> cb);
  std::optional<std::string> retarget(const DisplayInfo& d, int outW, int outH);
  Rect cropArea(const DisplayInfo& d, const std::optional<Rect>& crop) const;
  // The wanted crop clamped to d (kept as curCrop_) and the output size for it.
  OutSize planTarget(const DisplayInfo& d, int maxWidth);
  void tick(uint64_t gen);
  bool followLayout();
  void endUnexpectedly(const std::string& error);
  void teardown();

  SerialQueue q_{"capture"};
  mutable std::mutex lock_;  // the wanted and current fields below, read by other queues
  std::optional<std::string> wantDisplay_;
  std::optional<Rect> wantCrop_;
  int maxLong_ = 1920;
  std::string curDisplay_;
  Rect curRect_;
  std::atomic<int> fpsNow_{60};
  std::atomic<uint64_t> gen_{0};  // bumped by start and stop; older work sees it is stale

  // On the queue only.
  Display* dpy_ = nullptr;
  std::unique_ptr<X11Grabber> grab_;
  std::shared_ptr<QueueTimer> tick_;
  std::optional<Rect> curCrop_;
  std::chrono::steady_clock::time_point lastLayoutCheck_{};
  std::optional<std::chrono::steady_clock::time_point> missingSince_;
};
