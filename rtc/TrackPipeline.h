#pragma once
// Video-track delivery. Each captured frame gets a 32-row strip below the
// picture that carries its frame number in 24 black or white cells, so the
// phone can tie every drawn picture to the inputs it shows; the result is
// encoded by a track encoder of its own (the main encoder stays with the data
// channel and the LAN) and handed on as whole H.264 access units for the RTP
// payloader. All work runs on the "trk" queue, one frame after another.
#include "media/Frame.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class InputTracker;
class H264Encoder;
class SerialQueue;

class TrackPipeline : public std::enable_shared_from_this<TrackPipeline> {
public:
  static constexpr int kStrip = 32;     // rows below the picture
  static constexpr int kCell = 16;      // pixels per cell
  static constexpr int kCells = 26;     // start cell, a black gap, 24 bits
  static constexpr int kMinWidth = kCell * kCells;  // 416
  static constexpr uint32_t kCounterMask = (1u << 24) - 1;
  // Frames waiting or in work beyond this are refused and counted in dropped().
  static constexpr int kMaxBacklog = 2;

  explicit TrackPipeline(std::shared_ptr<InputTracker> tracker);
  ~TrackPipeline();
  TrackPipeline(const TrackPipeline&) = delete;
  TrackPipeline& operator=(const TrackPipeline&) = delete;

  // Any thread. Frames narrower than 416 or of odd height are dropped
  // without counting; frames beyond the backlog are counted in dropped().
  void push(FramePtr frame);
  // The next frame carries a "vcfg" again.
  void resendConfig();
  // The next frame is encoded as a key frame (a switch to the track, PLI, FIR).
  void requestKey();
  // From the track's rate controller: bits per second, frames per second, and
  // the share of the picture's width and height to encode (1 = full size;
  // never below 416 pixels of width). The picture is scaled before the strip
  // is drawn, so the strip keeps its 32 rows and 16-pixel cells; a new scale
  // is a new size: the encoder restarts with a key frame and "vcfg" reports
  // the encoded picture's width and height.
  void setRate(int64_t bps, int64_t fps, double scale = 1.0);
  // The H.264 profile-level-id the answer chose ("42e01f", ...), for the next
  // encoder start; empty = the encoder's own.
  void setProfile(const std::string& profileLevelId);
  // The number the last frame carried; the next one gets value + 1 (tests and
  // tools that need the wrap-around).
  void setCounter(uint32_t value);
  // Returns once everything queued before the call has run (tests, shutdown).
  void waitIdle();

  int64_t pushed() const { return pushed_.load(); }
  int64_t dropped() const { return dropped_.load(); }

  // All called on the "trk" queue (or the track encoder's). onMeta gets the
  // "vcfg" and "fm" texts; onConfig comes before every key frame's onSample
  // with the AVC decoder configuration record; onSample gets each access unit
  // with 4-byte length prefixes, its capture time (ms since 1970) and whether
  // it is a key frame.
  std::function<void(const std::string& text)> onMeta;
  std::function<void(const std::vector<uint8_t>& avcC, int w, int h)> onConfig;
  std::function<void(std::vector<uint8_t> au, bool key, double captureMs)> onSample;
  // Wall clock in ms since 1970 for the ids' cut-off and "cap", and the time
  // the frame rate is paced by; the monotonic clock paces when unset. Tests
  // set it before the first frame.
  std::function<double()> clockMs;

  // The strip as the phone reads it, for tests and tools: the frame's picture
  // height is frame.height - kStrip.
  static void drawStrip(Frame& frame, uint32_t counter);
  // -1 when the start cell is not lit.
  static int64_t readStrip(const Frame& frame);
  // x264's profile name for an SDP profile-level-id ("42e01f" -> "baseline",
  // "4d..." -> "main", "64..." -> "high"); empty for anything else.
  static std::string x264Profile(const std::string& profileLevelId);
  // The encoded picture size for a w x h capture at a scale: even sides, the
  // aspect kept, never narrower than 416 (nor wider than the capture).
  static void outputSize(int w, int h, double scale, int& ow, int& oh);

private:
  void process(const FramePtr& frame);
  bool ensureEncoder(int w, int h);
  double paceSeconds();

  std::shared_ptr<SerialQueue> q_;
  std::shared_ptr<InputTracker> tracker_;
  std::unique_ptr<H264Encoder> enc_;
  std::atomic<int> inflight_{0};
  std::atomic<int64_t> pushed_{0}, dropped_{0};
  // On q_ only.
  uint32_t counter_ = 0;
  bool cfgSent_ = false;
  int lastW_ = 0, lastH_ = 0;
  int encW_ = 0, encH_ = 0;  // the running encoder's size; 0 = restart it
  int64_t bps_ = 3000000, fps_ = 60;
  double scale_ = 1.0;
  std::string profile_;
  double lastEncAt_ = -1e9;  // pacing seconds of the last frame encoded
  double encClock_ = 0;      // the encoder's clock, set before each frame
  double lastRaw_ = 0, paceShift_ = 0;
  int failedW_ = 0, failedH_ = 0;  // a size the encoder refused
};
