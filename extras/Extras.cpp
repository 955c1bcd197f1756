#include "extras/Extras.h"

#include "extras/AppLauncher.h"
#include "extras/Clipboard.h"
#include "extras/FileTransfer.h"
#include "extras/PauseWatch.h"
#include "extras/SystemAudio.h"

#include <chrono>
#include <future>

using nlohmann::json;

namespace {
const std::string* textField(const json& m, const char* key) {
  auto it = m.find(key);
  if (it == m.end() || !it->is_string()) return nullptr;
  return &it->get_ref<const std::string&>();
}
std::string textOr(const json& m, const char* key, const std::string& dflt) {
  const std::string* s = textField(m, key);
  return s ? *s : dflt;
}
}  // namespace

bool isSideKind(const std::string& k) {
  return k == "setclip" || k == "fput" || k == "ls" || k == "fget" || k == "fcancel" || k == "apps" ||
         k == "open" || k == "audio";
}

std::shared_ptr<Extras> Extras::create(const std::string& home, const std::string& dataDir, bool testMode) {
  std::shared_ptr<Extras> e(new Extras(home, dataDir, testMode));
  std::weak_ptr<Extras> w = e;
  auto ctl = [w](const std::string& text) {
    if (auto self = w.lock()) self->sendCtl(text);
  };
  e->clip->sendCtl = ctl;
  e->audio->sendCtl = ctl;
  e->files_->onReceived = [w](const std::string& path, bool last) {
    auto self = w.lock();
    if (self && last) self->clip->offerFile(path);
  };
  return e;
}

Extras::Extras(const std::string& home, const std::string& dataDir, bool testMode)
    : clip(Clipboard::create()),
      pause(PauseWatch::create()),
      apps(AppLauncher::create()),
      audio(SystemAudio::create(testMode)),
      files_(std::make_unique<FileTransfer>(home, dataDir)) {}

Extras::~Extras() {
  q_.shutdown();
  files_.reset();
}

void Extras::connected() {
  clip->start();
  pause->holdAwake(true);
}

void Extras::disconnected() {
  clip->stop();
  pause->holdAwake(false);
  q_.post([w = weak_from_this()] {
    auto self = w.lock();
    if (!self) return;
    self->audio->stopAll();
    self->files_->abandonAll();
  });
}

void Extras::closed(int64_t key) {
  q_.post([w = weak_from_this(), key] {
    auto self = w.lock();
    if (!self) return;
    self->audio->forget(key);
    self->files_->forget(key);
  });
}

void Extras::handle(const std::string& kind, json message, RequesterPtr from, std::function<void()> done) {
  q_.post([w = weak_from_this(), kind, m = std::move(message), from = std::move(from), done = std::move(done)] {
    if (auto self = w.lock()) self->dispatch(kind, m, from);
    if (done) done();
  });
}

void Extras::dispatch(const std::string& kind, const json& m, const RequesterPtr& from) {
  if (kind == "setclip") {
    if (const std::string* s = textField(m, "s")) clip->set(*s);
  } else if (kind == "fput") {
    files_->put(m, from);
  } else if (kind == "ls") {
    files_->list(textOr(m, "path", ""), from);
  } else if (kind == "fget") {
    files_->get(textOr(m, "path", ""), textOr(m, "id", ""), from);
  } else if (kind == "fcancel") {
    if (const std::string* id = textField(m, "id")) files_->cancel(*id, from);
  } else if (kind == "apps") {
    if (from) apps->sendList(from);
  } else if (kind == "open") {
    auto solo = m.find("solo");
    apps->open(textOr(m, "p", ""), solo != m.end() && solo->is_boolean() && solo->get<bool>());
  } else if (kind == "audio") {
    auto on = m.find("on");
    audio->want(from, on != m.end() && on->is_boolean() && on->get<bool>());
  }
}

void Extras::shutdown() {
  // Audio state lives on q_; the wait is bounded so that a busy queue (an
  // application list being rendered) cannot hold up the exit.
  auto done = std::make_shared<std::promise<void>>();
  auto fut = done->get_future();
  q_.post([a = audio, done] {
    a->shutdown();
    done->set_value();
  });
  fut.wait_for(std::chrono::milliseconds(1200));
}

void Extras::drain() {
  q_.sync([] {});
  files_->drain();
}
