#pragma once
// Reads one area of the X root window into BGRA frames: MIT-SHM grabs (plain
// XGetImage where shared memory cannot be used), the cursor composited from
// XFixes, XDamage to tell whether anything changed, libyuv to scale. Owned and
// called by ScreenCapture on its queue only.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/Frame.h"
#include "session/Geometry.h"

typedef struct _XDisplay Display;

class X11Grabber {
public:
  // dpy stays the caller's and must outlive this object.
  explicit X11Grabber(Display* dpy);
  ~X11Grabber();
  X11Grabber(const X11Grabber&) = delete;
  X11Grabber& operator=(const X11Grabber&) = delete;

  // Checks the screen format and subscribes to damage, cursor and RandR events.
  std::optional<std::string> init();
  // Root-window area to read (clipped to the root) and the frame size to scale
  // it to. The next grab delivers a frame whatever changed.
  std::optional<std::string> setTarget(Rect area, int outW, int outH);
  // Reads queued X events; true when the screen layout changed.
  bool pollEvents();
  // A new frame when the area's content or the cursor over it changed since
  // the last frame (or always with force); nullptr when nothing changed or on
  // error (then *error says why).
  FramePtr grab(bool force, std::string* error);

  Rect area() const;
  int outWidth() const { return outW_; }
  int outHeight() const { return outH_; }

private:
  struct Shm;
  struct Cursor {
    int x = 0, y = 0, w = 0, h = 0, xhot = 0, yhot = 0;
    unsigned long serial = 0;
    std::vector<uint32_t> argb;  // premultiplied
    bool valid = false;
  };

  bool makeImage(int w, int h, std::string* error);
  void freeImage();
  bool readArea(std::string* error);
  bool contentDamaged();
  bool refreshCursor(bool* changed);
  void compositeCursor(std::vector<uint32_t>& saved, int& sx, int& sy, int& sw, int& sh);
  void restoreUnder(const std::vector<uint32_t>& saved, int sx, int sy, int sw, int sh);
  std::shared_ptr<Frame> takeFrame(int w, int h);

  Display* dpy_;
  int damageBase_ = -1, fixesBase_ = -1, rrBase_ = -1;
  unsigned long damage_ = 0, region_ = 0;
  bool damageSeen_ = true;
  bool cursorStale_ = true;
  Cursor cursor_;
  int lastCursorX_ = -1, lastCursorY_ = -1;
  unsigned long lastCursorSerial_ = 0;

  int ax_ = 0, ay_ = 0, aw_ = 0, ah_ = 0;  // area in root coordinates
  int outW_ = 0, outH_ = 0;
  bool needFull_ = true;
  bool haveClean_ = false;

  std::unique_ptr<Shm> shm_;
  std::vector<uint8_t> plain_;  // clean copy when grabbing without shared memory
  uint8_t* pix_ = nullptr;
  int stride_ = 0;

  std::vector<std::shared_ptr<Frame>> pool_;
};
