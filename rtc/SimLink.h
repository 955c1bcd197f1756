#pragma once
// A bottleneck the host imposes on its own sends, for trying the rate control
// over networks that are too good: a link rate, a delay (half each way), loss
// of binary messages and an outage window. Sends wait here in order and leave
// through release(); a new session starts an empty link, and what the old
// one still held is forgotten rather than counted against the new one.
// Times are seconds since 1970, passed in.
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <utility>

namespace rtc {

class SimLink {
public:
  double kbps = 0;
  double delayMs = 0;  // round trip
  double lossPct = 0;
  std::optional<std::pair<double, double>> blackout;  // start, duration (s) after t0
  std::optional<double> t0;  // first control-channel opening; never reset
  // Uniform in [0, 100); replaceable so tests decide which messages are lost.
  std::function<double()> draw;

  SimLink();
  SimLink(const SimLink&) = delete;  // draw refers to this one's generator
  SimLink& operator=(const SimLink&) = delete;
  // Rate, delay or loss configured (the outage works without them).
  bool shaping() const { return kbps > 0 || delayMs > 0 || lossPct > 0; }
  bool blackedOut(double now) const;
  double inboundDelay() const { return delayMs > 0 ? delayMs / 1000 * 0.5 : 0; }
  int64_t queueBytes() const { return queueBytes_; }

  struct Ticket {
    double after = 0;  // seconds from now until release
    uint64_t session = 0;
  };
  // Takes one message of bytes; deliver runs at its release unless lost.
  Ticket hold(size_t bytes, bool binary, double now, std::function<void()> deliver);
  // Lets the oldest held message of the ticket's session go; a ticket of an
  // earlier session does nothing.
  void release(const Ticket& t);
  // New session: empty queue, link free.
  void reset();

private:
  struct Held {
    int64_t bytes;
    bool lost;
    std::function<void()> deliver;
  };
  double free_ = 0;
  int64_t queueBytes_ = 0;
  uint64_t session_ = 0;
  std::deque<Held> held_;
  std::mt19937 rng_;
};

}  // namespace rtc
