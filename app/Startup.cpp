#include "app/Startup.h"

#include "app/Settings.h"
#include "lan/ClientFiles.h"
#include "lan/ClientPage.h"
#include "lan/Server.h"
#include "session/Host.h"

#include <unistd.h>

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
  s->onClose = [wh](const ConnPtr&) {
    if (auto h = wh.lock()) h->onClose();
  };
  s->onNeedKey = [wh] {
    if (auto h = wh.lock()) h->requestKeyframe();
  };
  return s;
}

bool writeAtomically(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    out.flush();
    if (!out) {
      std::remove(tmp.c_str());
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
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
