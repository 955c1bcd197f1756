#pragma once
// Turns frames into a low-latency H.264 stream with libx264: one output frame
// per input frame, no reordering, a key frame at least every 2 s and on
// request, input paced down to the wanted frame rate. Output NAL units carry
// 4-byte big-endian length prefixes; the SPS and PPS travel separately in the
// decoder configuration handed out before every key frame.
#include "app/SerialQueue.h"
#include "media/FrameGate.h"
#include "media/Frame.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class InputTracker;

class H264Encoder {
public:
  // Measured on this kind of machine: see bench/encoder_bench.cpp.
  static constexpr const char* kDefaultPreset = "superfast";

  explicit H264Encoder(std::shared_ptr<InputTracker> tracker,
                       std::string preset = kDefaultPreset);
  ~H264Encoder();
  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;

  // x264 preset name ("ultrafast", "superfast", "veryfast", ...) for the next
  // start; a running encoder keeps its own.
  void setPreset(const std::string& preset);
  // x264 profile name ("baseline", "main", "high") for the next start, for a
  // peer that accepted only one; empty leaves the preset's choice.
  void setProfile(const std::string& profile);
  // With a live source, at most one frame should wait for the encoder: a
  // slower encoder then skips stale frames instead of building a backlog that
  // delays every input. Off by default so that every offered frame is encoded.
  void setLatestOnly(bool on) { latestOnly = on; }

  // Opens an encoder for width x height (replacing a running one). Waits for
  // work already queued (a stop() just before takes effect first). The rate
  // set through setRate, if any, wins over fps and bitrate (bits per second).
  // Throws std::runtime_error("Could not create the H.264 encoder (<status>)",
  // localised) with status -1 for an unknown preset, -2 for a size outside
  // 1..16384 or beyond H.264's largest level, -3 when x264 refuses the
  // parameters (odd sizes among them), -4 when it yields no SPS/PPS.
  void start(int width, int height, int64_t fps, int64_t bitrate);
  // Queued: hands out the frames x264 still holds, then closes the encoder and
  // forgets the last frame.
  void stop();
  // Queued: bits per second and frames per second (at least 1); kept across
  // stop and start.
  void setRate(int64_t bitrate, int64_t fps);
  // Queued: at most fps frames per second are encoded on average while a
  // viewer cannot keep up (0 lifts the cap). Apart from setRate, which the
  // network's budget sets: the stricter of the two applies.
  void setFpsCap(int64_t fps);
  // Queued: offers a frame. Frames closer than 0.9 / fps s to the last accepted
  // one are skipped but still remembered for requestKeyframe. Frames of
  // another size than the encoder's are scaled to it.
  void encode(FramePtr frame);
  // Queued: the next frame is a key frame; the last offered frame is encoded
  // again at once so the key frame does not wait for the next capture.
  void requestKeyframe();
  // Returns once everything queued before the call has run.
  void waitIdle();

  // Steady-clock seconds behind the pacing and the 2 s key-frame bound; the
  // monotonic clock when unset. Tests set it (before start) to run time
  // themselves. Read only on the encoder's queue.
  std::function<double()> clock;

  // Both are called on the encoder's queue; onConfig always right before the
  // onFrame of each key frame.
  std::function<void(const std::string& codec, const std::vector<uint8_t>& desc, int w, int h)>
      onConfig;
  std::function<void(std::vector<uint8_t> frame, bool key, double captureMs,
                     std::vector<uint32_t> ids)>
      onFrame;

private:
  struct Pending {
    double captureMs;
    std::vector<uint32_t> ids;
  };
  void offer(const FramePtr& frame);
  void encodeNow(const FramePtr& frame);
  struct Session;  // one open x264 encoder with its parameters and picture
  void handle(std::vector<uint8_t> bytes, int64_t pts, bool key);
  void applyRate();
  double now() const;
  void drain(Session& s);

  SerialQueue q{"enc"};
  const std::shared_ptr<InputTracker> tracker;
  // Everything below is touched only on q.
  std::string preset;
  std::string profile;
  std::unique_ptr<Session> session;
  std::vector<uint8_t> scaled;  // BGRA scratch for frames of another size
  bool forceKey = true;
  FramePtr lastBuffer;
  std::mutex nextLock;
  FramePtr nextFrame;  // guarded by nextLock
  std::atomic<bool> latestOnly{false};
  std::optional<int64_t> desiredBitrate;
  std::optional<int64_t> desiredFps;
  double minInterval = 0;   // seconds; 0 = no pacing
  double lastEncAt = -1e9;  // steady-clock seconds of the last accepted frame
  double lastKeyAt = -1e9;  // steady-clock seconds of the last forced key frame
  FrameGate capGate;        // setFpsCap
  static constexpr double kKeyInterval = 2.0;
  int width = 0;
  int height = 0;
  int64_t openedFps = 0;
  int64_t nextPts = 0;
  std::map<int64_t, Pending> pending;  // by pts, until x264 returns the frame
  std::string codec;
  std::vector<uint8_t> description;
};
