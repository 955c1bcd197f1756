#pragma once
// The frame-rate cap that keeps every viewer's picture current. Each viewer
// reports, four times a second, how much later than it could its picture
// showed at worst (its queue delay: decoding, drawing and transit beyond the
// quickest seen). Only a delay that lasts counts: the smallest of a viewer's
// reports over the last second. A stall of the phone or of the scheduler
// shows in one or two reports and passes by itself; a phone that cannot keep
// up with the frame rate stays behind in all of them, and that lowers the
// rate at once. The rate climbs back only after the viewers have been calm
// for a while, and the cap ends when no viewer reports any more. One encoder
// feeds every viewer, so the slowest one sets the pace. Times are
// milliseconds on a monotonic clock, passed in so that the rule runs on any.
#include <cstdint>
#include <deque>
#include <map>
#include <optional>

class ViewerPace {
public:
  explicit ViewerPace(int64_t fullFps) : full_(fullFps) {}

  // A report of `qdMs` from `viewer` at `now`. Returns the new cap when it
  // changes: frames per second, or 0 for none. Reports that are not a finite
  // number are ignored; negative ones count as 0.
  std::optional<int64_t> report(const void* viewer, double qdMs, double now);
  // Ends the cap once no viewer has reported for kStaleMs; returns 0 then.
  std::optional<int64_t> expire(double now);
  // Everyone left: no cap, nothing remembered.
  void reset();
  // Frames per second now, or 0 for none.
  int64_t cap() const { return cap_; }

  static constexpr double kBehindMs = 100;     // a lasting delay above this lowers the rate
  static constexpr double kCalmMs = 50;        // lasting delays below this let it climb back
  static constexpr double kLastingMs = 900;    // a delay lasts when every report this long shows it
  static constexpr size_t kLastingReports = 3; // and there are at least this many
  static constexpr double kDownEveryMs = 700;  // a lower rate needs this long to show its effect
  static constexpr double kCalmForMs = 2000;   // calm this long before each step up
  static constexpr double kUpAfterDownMs = 5000;
  static constexpr double kStaleMs = 3000;
  static constexpr double kDownFactor = 0.7;
  static constexpr double kUpFactor = 1.2;
  // Below this the time between pictures alone nears what reads as a freeze.
  static constexpr int64_t kMinFps = 10;

private:
  struct Seen {
    double qd;
    double at;
  };
  // The viewer's lasting delay, or nothing while too few reports are in.
  static std::optional<double> lasting(const std::deque<Seen>& reports);
  std::optional<int64_t> set(int64_t fps, double now);

  const int64_t full_;
  std::map<const void*, std::deque<Seen>> viewers_;  // recent reports, oldest first
  int64_t cap_ = 0;
  double lastChange_ = -1e300;
  double lastDown_ = -1e300;
  double calmSince_ = -1e300;  // every viewer has been calm since then
};
