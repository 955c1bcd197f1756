#pragma once
// The gate every webrtcbin callback of one peer passes before it reaches our
// code. Callbacks come on several library threads at once; closing the gate
// waits for those already through (except the caller's own, when it closes
// from inside a callback), and none passes afterwards. Callbacks do not
// serialise each other: one blocked in the receiver cannot stall another.
#include <condition_variable>
#include <mutex>

namespace rtc::gst {

class Gate {
public:
  // A callback's passage; `ok` is false when the gate (or the given flag,
  // read under the gate's lock) is closed.
  class Pass {
  public:
    Pass(Gate& g, const bool* blocked = nullptr);
    ~Pass();
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    explicit operator bool() const { return ok_; }

  private:
    Gate& g_;
    bool ok_ = false;
  };

  // Closes the gate; false when it was closed already.
  bool shut();
  // Sets *flag under the lock (a channel's own switch), then waits for passages.
  void block(bool* flag);
  bool isShut() const;
  // True while this thread is inside a callback of any gate.
  static bool inCallback();

private:
  void waitIdle(std::unique_lock<std::mutex>& l);
  mutable std::mutex m_;
  std::condition_variable idle_;
  bool shut_ = false;
  int inside_ = 0;
};

}  // namespace rtc::gst
