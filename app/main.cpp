// Entry point: options, data directory, the session coordinator, the LAN
// servers, the links, signal handling, then the main loop.
#include "app/ConnectKey.h"
#include "app/Crypto.h"
#include "app/Loc.h"
#include "app/Log.h"
#include "app/Settings.h"
#include "app/Startup.h"
#include "lan/ClientPage.h"
#include "lan/Server.h"
#include "lan/TlsIdentity.h"
#include "rtc/PeerFactory.h"
#include "rtc/RTCTransport.h"
#include "session/Host.h"
#include "session/Permissions.h"

#include <boost/asio/signal_set.hpp>
#include <glib.h>

#include <csignal>
#include <cstdio>
#include <filesystem>

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  auto& st = settings();
  st.args.assign(argv + 1, argv + argc);
  if (auto lang = st.opt("--lang")) Loc::setForced(*lang);
  st.readOptions();

  st.dataDir = chooseDataDir(st, runningInstalled());
  std::error_code ec;
  std::filesystem::create_directories(st.dataDir, ec);

  st.ips = lanIPs();
  st.ip = st.opt("--ip").value_or(st.ips.empty() ? "127.0.0.1" : st.ips.front());
  st.token = st.opt("--token").value_or(randomToken());

  auto host = Host::create();
  setHostRef(host);
  host->watchApps();

  auto plain = makeServer(st.httpPort, "http", host);
  host->servers.push_back(plain);
  try {
    plain->start();
  } catch (const std::exception& e) {
    logf(std::string("http起動失敗: ") + e.what());
    return 1;
  }
  st.urls.push_back("http://" + st.ip + ":" + std::to_string(st.httpPort) + "/?t=" + st.token);

  if (!st.flag("--no-tls")) {
    if (auto identity = loadIdentity(st.ip)) {
      auto tls = makeServer(st.httpsPort, "https", host, identity);
      host->servers.push_back(tls);
      try {
        tls->start();
        st.urls.push_back("https://" + st.ip + ":" + std::to_string(st.httpsPort) + "/?t=" + st.token);
      } catch (const std::exception& e) {
        logf(std::string("https起動失敗: ") + e.what());
      }
    }
  }

  // The internet transport, only when a rendezvous server is known.
  std::optional<std::string> signalURL = st.opt("--signal");
  if (!signalURL && !st.testMode && !st.flag("--no-signal")) signalURL = bundleSignalURL();
  std::shared_ptr<RTCTransport> internet;
  std::optional<std::string> remoteURL;
  if (signalURL) {
    std::string key = loadConnectKey(st.dataDir, st.flag("--new-key"));
    std::string base = signalBase(*signalURL);
    std::string stun = st.opt("--stun").value_or(kDefaultStun);
    double iceTimeout = st.optDouble("--ice-timeout").value_or(25);
    if (!(iceTimeout > 0) || iceTimeout > 86400) iceTimeout = 25;
    try {
      internet = std::make_shared<RTCTransport>(base, key, stun, iceTimeout, makePeerFactory(st.flag("--rtc-log")));
    } catch (const std::exception& e) {
      logf(std::string("[rtc] 待ち合わせ役のURLが使えません: ") + e.what());
      return 1;
    }
    wireInternet(internet, host);
    host->servers.push_back(internet);
    internet->start();
    if (auto after = st.optDouble("--test-pause-after"); after && *after >= 0 && *after < 1e6) {
      std::weak_ptr<RTCTransport> w = internet;
      auto* held = new std::weak_ptr<RTCTransport>(w);
      g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(*after * 1000), [](gpointer p) -> gboolean {
        if (auto t = static_cast<std::weak_ptr<RTCTransport>*>(p)->lock()) t->setPaused(true);
        return G_SOURCE_REMOVE;
      }, held, [](gpointer p) { delete static_cast<std::weak_ptr<RTCTransport>*>(p); });
    }
    remoteURL = remoteLink(base, key);
    st.urls.push_back(*remoteURL);
  }

  startSideFeatures(host, internet);

  bool screenOK = !st.fakeNoScreen && screenCapturePermitted();
  bool axOK = injectionTrusted();
  logf(std::string("== Kestrava 起動 (") + (st.testMode ? "テスト映像" : "実画面") + ") ==");
  logf(std::string("画面収録: ") + (screenOK ? "許可済み" : "未許可") + "  アクセシビリティ: " +
       (axOK ? "許可済み" : "未許可"));
  for (const auto& u : st.urls) logf(u);
  if (remoteURL) logf("↑ 最後のURLが外出先用（#の後ろが接続キー。他人に見せない）");
  logf("データ置き場: " + st.dataDir);
  std::string links;
  for (const auto& u : st.urls) links += u + "\n";
  writeAtomically(st.dataDir + "/last_url.txt", links);

  // Signals are taken off a queue of their own; the handler never runs on
  // the main loop, which may be blocked in a desktop call.
  SerialQueue sigQ("signals");
  boost::asio::signal_set sigs(sigQ.context(), SIGINT, SIGTERM, SIGHUP);
  sigs.async_wait([](const boost::system::error_code& e, int) {
    if (!e) shutdownAndExit();
  });

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(loop);
  return 0;
}
