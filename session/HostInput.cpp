// Input messages on the input queue: journal, the test pattern's pointer or
// the desktop's input, then the latency mark.
#include "app/Log.h"
#include "app/Settings.h"
#include "media/TestPattern.h"
#include "session/Geometry.h"
#include "session/Host.h"
#include "app/Loc.h"
#include "session/InputInjector.h"
#include "session/InputTracker.h"
#include "session/Messages.h"

#include <cmath>
#include <optional>

using nlohmann::json;

uint32_t inputId(const json& message) {
  double v = numField(message, "id");
  if (!std::isfinite(v) || std::fabs(v) >= 9.2e18) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(v)));
}

namespace {
const char* kAxWarning =
    "Please allow Accessibility on your Mac.\nOpen System Settings → Privacy & Security → Accessibility, turn on "
    "“Tolvane Host”, then restart the host.";

// Button numbers and modifier masks as integers; nothing for values that are
// not finite or do not fit, and the message is then ignored.
std::optional<int64_t> intField(const json& m, const char* key) {
  double v = numField(m, key);
  if (!std::isfinite(v) || std::fabs(v) >= 9.2e18) return std::nullopt;
  return static_cast<int64_t>(v);
}
}  // namespace

void Host::inject(const std::string& kind, const json& m) {
  auto& in = *injector_;
  double x = numField(m, "x"), y = numField(m, "y");
  if (kind == "mv") {
    in.move(x, y);
  } else if (kind == "md" || kind == "mu") {
    auto b = intField(m, "b");
    if (!b) return;
    Rect r = in.mapping();
    in.button({r.x + clamp01(x) * r.w, r.y + clamp01(y) * r.h}, *b, kind == "md");
  } else if (kind == "sc") {
    in.scroll(numField(m, "dx"), numField(m, "dy"));
  } else if (kind == "key") {
    auto mods = intField(m, "m");
    if (mods) in.key(strField(m, "k"), *mods);
    viewTyping();
  } else if (kind == "text") {
    in.text(strField(m, "s"));
    viewTyping();
  } else if (kind == "rel") {
    in.moveRel(numField(m, "dx"), numField(m, "dy"));
  } else if (kind == "rb") {
    auto b = intField(m, "b");
    if (!b) return;
    Point p = in.pointer().value_or(in.moving().centre());
    in.button(p, *b, numField(m, "d") != 0);
  }
}

void Host::handleInput(const std::shared_ptr<Transport>& transport, const ConnPtr& conn, const std::string& kind,
                       const json& m, uint32_t id) {
  const auto& st = settings();
  if (st.inputLogPath) journalAppend(*st.inputLogPath, journalLine(kind, m) + "\n");
  if (!st.testMode && st.flag("--input-log-only")) {
    noteInput();
    markInput(id);
    return;
  }

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
  } else if (injector_->available()) {
    inject(kind, m);
  } else if (!axWarned_) {
    axWarned_ = true;
    // The warning goes to whichever transport holds this connection.
    (void)transport;
    send(conn, warnMessage("ax", Loc::tr(kAxWarning)));
  }
  noteInput();
  markInput(id);
}
