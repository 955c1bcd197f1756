#include "session/Host.h"

#include "app/Log.h"
#include "app/Settings.h"
#include "session/Messages.h"
#include "session/Permissions.h"

using nlohmann::json;

std::shared_ptr<Host> Host::create() {
  std::shared_ptr<Host> h(new Host());
  h->wire();
  return h;
}

Host::Host() : logPath(settings().dataDir + "/latency_log.jsonl") {}

Host::~Host() { inputQ_.shutdown(); }

void Host::wire() {}

void Host::onOpen(const std::shared_ptr<Transport>& transport, const ConnPtr& conn) {
  const auto& s = settings();
  std::string hello;
  if (s.testMode) {
    hello = helloMessage(true, true, true, "Mac");
  } else {
    std::string name = computerName();
    hello = helloMessage(false, injectionTrusted(), !s.fakeNoScreen && screenCapturePermitted(),
                         name.empty() ? "Mac" : name);
  }
  transport->sendText(conn, hello);
  transport->sendText(conn, appMessage(s.testMode ? "Safari" : noteApp(std::nullopt)));
  ensurePipeline(transport, conn);
}

void Host::onText(const std::shared_ptr<Transport>& transport, const ConnPtr& conn, const std::string& text) {
  auto msg = parseControl(text);
  if (!msg) return;
  const json& m = *msg;
  std::string kind = m["t"].get<std::string>();
  if (kind == "ping") {
    json c = 0;
    if (auto it = m.find("c"); it != m.end() && it->is_number()) c = *it;
    transport->sendText(conn, jsonText({{"t", "pong"}, {"c", c}, {"h", epochMs()}}));
  } else if (kind == "retry") {
    ensurePipeline(transport, conn);
  } else if (kind == "stats") {
    handleStats(m);
  }
  // Input, side-feature and view kinds have no handler yet; like unknown
  // kinds they are dropped without a reply.
}

void Host::handleStats(const json& m) {
  json rec = m;
  rec.erase("t");
  rec["host_time"] = isoNowUTC();
  rec["mode"] = settings().testMode ? "test-pattern" : "screen";
  std::string line = jsonText(rec);
  journalAppend(logPath, line + "\n");
  logf("[stats] " + line);
}

void Host::onClose() {
  int64_t open = 0;
  for (auto& t : servers) open += t->wsCount();
  if (open != 0 || !running_) return;
  running_ = false;
  logf("[host] 接続0件。映像を停止");
}

void Host::ensurePipeline(const std::shared_ptr<Transport>&, const ConnPtr& conn) { conn->wantsVideo = true; }

void Host::send(const ConnPtr& conn, const std::string& text) {
  // conns() is exact only on the transport's own queue, so look there.
  for (auto& t : servers) {
    t->queue().post([t, conn, text] {
      auto it = t->conns().find(conn->id);
      if (it != t->conns().end() && it->second == conn) t->sendText(conn, text);
    });
  }
}

void Host::broadcast(const std::string& text) {
  for (auto& t : servers) t->sendTextAll(text);
}

std::string Host::noteApp(const std::optional<RunningApp>& app) {
  if (app && app->regular && !app->name.empty()) lastRegularApp_ = app->name;
  return lastRegularApp_;
}

void Host::appActivated(const std::optional<RunningApp>& app) {
  if (settings().testMode) return;
  std::string before = lastRegularApp_;
  std::string name = noteApp(app);
  if (name != before || (name.empty() && before.empty())) broadcast(appMessage(name));
}

void Host::requestKeyframe() {}

void Host::shutdown() {}
