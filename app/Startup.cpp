#include "app/Startup.h"

#include "app/Log.h"
#include "app/RtcOptions.h"
#include "app/Settings.h"
#include "lan/ClientFiles.h"
#include "lan/ClientPage.h"
#include "lan/Server.h"
#include "media/H264Encoder.h"
#include "rtc/RTCTransport.h"
#include "session/Host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <thread>

static std::weak_ptr<Host> theHost;
void setHostRef(const std::shared_ptr<Host>& h) { theHost = h; }
std::shared_ptr<Host> hostRef() { return theHost.lock(); }

std::shared_ptr<Server> makeServer(uint16_t port, const std::string& label, const std::shared_ptr<Host>& host,
                                   std::shared_ptr<boost::asio::ssl::context> identity) {
  auto s = std::make_shared<Server>(port, label);
  const auto& st = settings();
  s->token = st.token;
  s->identity = std::move(identity);
  auto clientDir = st.opt("--client-dir");
  uint16_t tlsPort = st.httpsPort;
  s->htmlProvider = [clientDir, tlsPort]() -> std::optional<Bytes> {
    auto page = findClientHTML(clientDir);
    if (!page) return std::nullopt;
    return fillTlsPort(*page, tlsPort);
  };
  s->fileProvider = [clientDir](const std::string& name) -> std::optional<Bytes> {
    auto dir = findClientDir(clientDir);
    if (!dir) return std::nullopt;
    return readClientFile(*dir, name);
  };
  std::string certPath = st.dataDir + "/cert/cert.cer";
  s->certProvider = [certPath]() -> std::optional<Bytes> {
    std::ifstream in(certPath, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  std::weak_ptr<Host> wh = host;
  std::weak_ptr<Server> ws = s;
  s->onWSOpen = [wh, ws](const ConnPtr& c) {
    auto h = wh.lock();
    auto sv = ws.lock();
    if (h && sv) h->onOpen(sv, c);
  };
  s->onText = [wh, ws](const ConnPtr& c, const std::string& text) {
    auto h = wh.lock();
    auto sv = ws.lock();
    if (h && sv) h->onText(sv, c, text);
  };
  s->onClose = [wh, ws](const ConnPtr& c) {
    auto h = wh.lock();
    auto sv = ws.lock();
    if (h && sv) h->onClose(sv, c);
  };
  s->onNeedKey = [wh] {
    if (auto h = wh.lock()) h->requestKeyframe();
  };
  return s;
}

void wireInternet(const std::shared_ptr<RTCTransport>& t, const std::shared_ptr<Host>& host) {
  std::weak_ptr<Host> wh = host;
  std::weak_ptr<RTCTransport> wt = t;
  t->onWSOpen = [wh, wt](const ConnPtr& c) {
    auto h = wh.lock();
    auto tr = wt.lock();
    if (h && tr) h->onOpen(tr, c);
  };
  t->onText = [wh, wt](const ConnPtr& c, const std::string& text) {
    auto h = wh.lock();
    auto tr = wt.lock();
    if (h && tr) h->onText(tr, c, text);
  };
  t->onClose = [wh, wt](const ConnPtr& c) {
    auto h = wh.lock();
    auto tr = wt.lock();
    if (h && tr) h->onClose(tr, c);
  };
  t->onNeedKey = [wh] {
    if (auto h = wh.lock()) h->requestKeyframe();
  };
  const auto& st = settings();
  t->onRate = [wh, bitrate = st.bitrate, fps = st.fps](std::optional<std::pair<int64_t, int64_t>> r) {
    auto h = wh.lock();
    if (!h) return;
    if (r) h->encoder->setRate(r->first, r->second);
    else h->encoder->setRate(bitrate, fps);
  };
  auto v = rtcVideoOptions(st);
  t->rateStart = v.rateStart;
  t->rateMax = v.rateMax;
  t->adaptive = v.adaptive;
  t->legacySend = v.legacySend;
  t->simKbps = v.simKbps;
  t->simDelayMs = v.simDelayMs;
  t->simLossPct = v.simLossPct;
  t->simBlackout = v.simBlackout;
  auto k = rtcTrackOptions(st);
  for (const auto& note : k.notes) logf(note);
  t->videoMode = k.videoMode;
  t->degradation = k.degradation;
  t->screencastHint = k.screencastHint;
  t->trackMaxBps = k.maxBps;
  t->trackStartBps = k.startBps;
  t->trackMinBps = k.minBps;
  t->trackFps = k.fps;
  t->tracker = host->trackTracker;
  host->setTrackRoute(
      [wt](const FramePtr& f) {
        auto tr = wt.lock();
        return tr && tr->pushTrack(f);
      },
      t);
}

void startSideFeatures(const std::shared_ptr<Host>& host, const std::shared_ptr<RTCTransport>& internet) {
  std::function<bool()> paused;
  std::function<void(bool)> setPaused;
  if (internet) {
    std::weak_ptr<RTCTransport> w = internet;
    paused = [w] {
      auto t = w.lock();
      return t && t->paused();
    };
    setPaused = [w](bool p) {
      if (auto t = w.lock()) t->setPaused(p);
    };
  }
  host->startPauseWatch(std::move(paused), std::move(setPaused));
}

bool writeAtomically(const std::string& path, const std::string& text) {
  // Created 0600 from the first byte: the links carry the token and the
  // connect key, and a chmod afterwards could fail and leave them readable.
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0600) == 0;
  const char* p = text.data();
  size_t left = text.size();
  while (ok && left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else p += n, left -= static_cast<size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

static std::atomic<bool> quitting{false};

void shutdownAndExit() {
  if (quitting.exchange(true)) return;  // the first caller ends the process
  auto done = std::make_shared<std::promise<void>>();
  auto fut = done->get_future();
  std::thread([done] {
    if (auto h = hostRef()) h->shutdown();
    done->set_value();
  }).detach();
  fut.wait_for(std::chrono::milliseconds(1500));
  std::fflush(stdout);
  std::_Exit(0);
}
