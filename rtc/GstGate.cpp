#include "rtc/GstGate.h"

#include <algorithm>
#include <vector>

namespace rtc::gst {

namespace {
// The gates this thread is inside of, innermost last.
thread_local std::vector<const Gate*> tlInside;
}  // namespace

Gate::Pass::Pass(Gate& g, const bool* blocked) : g_(g) {
  std::lock_guard<std::mutex> l(g_.m_);
  if (g_.shut_ || (blocked && *blocked)) return;
  ok_ = true;
  ++g_.inside_;
  tlInside.push_back(&g_);
}

Gate::Pass::~Pass() {
  if (!ok_) return;
  tlInside.pop_back();
  std::lock_guard<std::mutex> l(g_.m_);
  if (--g_.inside_ == 0) g_.idle_.notify_all();
}

void Gate::waitIdle(std::unique_lock<std::mutex>& l) {
  // Passages of this very thread cannot end while it waits here.
  int mine = static_cast<int>(std::count(tlInside.begin(), tlInside.end(), this));
  idle_.wait(l, [&] { return inside_ <= mine; });
}

bool Gate::shut() {
  std::unique_lock<std::mutex> l(m_);
  bool was = shut_;
  shut_ = true;
  waitIdle(l);
  return !was;
}

void Gate::block(bool* flag) {
  std::unique_lock<std::mutex> l(m_);
  *flag = true;
  waitIdle(l);
}

bool Gate::isShut() const {
  std::lock_guard<std::mutex> l(m_);
  return shut_;
}

bool Gate::inCallback() { return !tlInside.empty(); }

}  // namespace rtc::gst
