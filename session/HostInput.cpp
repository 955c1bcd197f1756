// Input messages on the input queue: journal, the test pattern's pointer or
// the desktop's input, then the latency mark.
#include "app/Log.h"
#include "app/Settings.h"
#include "media/TestPattern.h"
#include "session/Geometry.h"
#include "session/Host.h"
#include "session/InputTracker.h"
#include "session/Messages.h"

#include <cmath>

using nlohmann::json;

uint32_t inputId(const json& message) {
  double v = numField(message, "id");
  if (!std::isfinite(v) || std::fabs(v) >= 9.2e18) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(v)));
}

void Host::handleInput(const std::shared_ptr<Transport>&, const ConnPtr&, const std::string& kind,
                       const json& m, uint32_t id) {
  const auto& st = settings();
  if (st.inputLogPath) journalAppend(*st.inputLogPath, jsonText(m) + "\n");

  if (st.testMode) {
    double x = clamp01(numField(m, "x")), y = clamp01(numField(m, "y"));
    if (kind == "mv" || kind == "md" || kind == "mu") {
      relX_ = x;
      relY_ = y;
      std::lock_guard<std::mutex> l(test->lock);
      test->px = x;
      test->py = y;
    } else if (kind == "rel") {
      double dx = numField(m, "dx"), dy = numField(m, "dy");
      double w = test->width, h = test->height;
      relX_ = clamp01(relX_ + dx / w);
      relY_ = clamp01(relY_ + dy / h);
      std::lock_guard<std::mutex> l(test->lock);
      test->px = relX_;
      test->py = relY_;
    } else if (kind == "sc") {
      double dy = numField(m, "dy");
      if (std::isfinite(dy)) {
        std::lock_guard<std::mutex> l(test->lock);
        test->userScroll += dy;
      }
    }
  }
  tracker->mark(id);
}
