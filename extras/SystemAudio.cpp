#include "extras/SystemAudio.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "app/Loc.h"
#include "app/Log.h"
#include "app/SerialQueue.h"
#include "extras/MonitorReader.h"
#include "extras/PcmPackets.h"

namespace {

// One capture stream. Its reader thread owns the PulseAudio connection and
// looks at `stop` at least once a fragment; the state queue only flips `stop`
// and replaces `targets`.
struct Stream {
  std::atomic<bool> stop{false};
  std::mutex m;
  std::vector<RequesterPtr> targets;  // guarded by m
  bool finished = false;              // guarded by m
  std::condition_variable done;

  void setTargets(std::vector<RequesterPtr> t) {
    std::lock_guard<std::mutex> l(m);
    targets = std::move(t);
  }
  std::vector<RequesterPtr> currentTargets() {
    std::lock_guard<std::mutex> l(m);
    return targets;
  }
  void markFinished() {
    std::lock_guard<std::mutex> l(m);
    finished = true;
    done.notify_all();
  }
  bool waitFinished(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> l(m);
    return done.wait_for(l, limit, [&] { return finished; });
  }
};

// State lives on `q`; each stream's samples are read on a thread of its own
// (a blocking read there never holds up "audio" on/off). The reader keeps the
// core only weakly, so a reader stuck in a read cannot keep it alive.
struct AudioCore : std::enable_shared_from_this<AudioCore> {
  bool testMode = false;
  SystemAudio* owner = nullptr;
  SerialQueue q{"extras.audio"};
  // Connections that asked for sound, by requester key.
  std::map<int64_t, RequesterPtr> wanted;
  std::shared_ptr<Stream> stream;
  bool starting = false;
  bool closing = false;

  std::vector<RequesterPtr> targets() const {
    std::vector<RequesterPtr> t;
    for (auto& [k, r] : wanted) t.push_back(r);
    return t;
  }

  void sendCtl(const std::string& text) {
    if (owner && owner->sendCtl) owner->sendCtl(text);
  }

  void update() {
    if (wanted.empty()) {
      stopStream();
      return;
    }
    if (stream) {
      stream->setTargets(targets());
      return;
    }
    if (starting || testMode || closing) return;
    starting = true;
    auto s = std::make_shared<Stream>();
    std::weak_ptr<AudioCore> weak = shared_from_this();
    std::thread([weak, s] { readLoop(weak, s); }).detach();
  }

  void stopStream() {
    if (!stream) return;
    auto s = std::move(stream);
    stream.reset();
    s->stop = true;
    s->setTargets({});
    logf("[audio] 停止");
  }

  // On q: the stream opened (ok) or could not (err).
  void opened(const std::shared_ptr<Stream>& s, bool ok, const std::string& err) {
    starting = false;
    if (!ok) {
      logf("[audio] 開始失敗 " + err);
      sendCtl(jsonText({{"t", "warn"},
                        {"code", "audio"},
                        {"msg", Loc::tr("Could not capture this Mac's sound. Please allow Screen & System "
                                        "Audio Recording.")}}));
      return;
    }
    if (wanted.empty() || closing) {
      // Switched off while it was opening: end it without a word.
      s->stop = true;
      return;
    }
    stream = s;
    s->setTargets(targets());
    logf("[audio] 開始");
  }

  // On q: the daemon ended the stream. Who wants sound still does, so the
  // next "on" starts again.
  void lost(const std::shared_ptr<Stream>& s) {
    if (stream == s) stream.reset();
  }

  static void readLoop(std::weak_ptr<AudioCore> weak, std::shared_ptr<Stream> s) {
    pthread_setname_np(pthread_self(), "extras.audio");
    // Handlers hold the core weakly: one left in a stopped queue must not keep it.
    auto report = [&](auto fn) {
      if (auto self = weak.lock())
        self->q.post([weak, fn] {
          if (auto me = weak.lock()) fn(*me);
        });
    };
    {
      MonitorReader reader;
      std::string err;
      if (!reader.open(s->stop, err)) {
        report([s, err](AudioCore& me) { me.opened(s, false, err); });
        s->markFinished();
        return;
      }
      report([s](AudioCore& me) { me.opened(s, true, ""); });
      auto send = [&](const float* samples, size_t n) {
        if (s->stop) return;
        auto targets = s->currentTargets();
        if (targets.empty()) return;
        for (auto& packet : pcmPackets(samples, n))
          for (auto& r : targets) r->sendAudio(packet);
      };
      while (!s->stop) {
        if (!reader.read(send, err)) {
          if (!s->stop) {
            logf("[audio] 止まりました " + err);
            report([s](AudioCore& me) { me.lost(s); });
          }
          break;
        }
      }
    }
    s->markFinished();
  }
};

}  // namespace

struct SystemAudio::Impl {
  std::shared_ptr<AudioCore> core;
};

SystemAudio::SystemAudio(bool testMode) : impl_(std::make_unique<Impl>()) {
  impl_->core = std::make_shared<AudioCore>();
  impl_->core->testMode = testMode;
  impl_->core->owner = this;
}

SystemAudio::~SystemAudio() {
  shutdown();
  auto& c = *impl_->core;
  c.q.sync([&c] { c.owner = nullptr; });
  c.q.shutdown();
}

std::shared_ptr<SystemAudio> SystemAudio::create(bool testMode) {
  return std::shared_ptr<SystemAudio>(new SystemAudio(testMode));
}

void SystemAudio::want(const RequesterPtr& from, bool on) {
  if (!from) return;
  impl_->core->q.post([this, from, on] {
    if (on) impl_->core->wanted[from->key] = from;
    else impl_->core->wanted.erase(from->key);
    impl_->core->update();
  });
}

void SystemAudio::forget(int64_t requesterKey) {
  impl_->core->q.post([this, requesterKey] {
    if (impl_->core->wanted.erase(requesterKey)) impl_->core->update();
  });
}

void SystemAudio::stopAll() {
  impl_->core->q.post([this] {
    impl_->core->wanted.clear();
    impl_->core->update();
  });
}

void SystemAudio::shutdown() {
  std::shared_ptr<Stream> s;
  impl_->core->q.sync([&] {
    impl_->core->closing = true;
    impl_->core->wanted.clear();
    s = impl_->core->stream;
    impl_->core->stopStream();
  });
  // A read returns within a fragment once sound flows; the first read of an
  // idle sink can take far longer, and exit must not wait for it.
  if (s) s->waitFinished(std::chrono::milliseconds(800));
}
