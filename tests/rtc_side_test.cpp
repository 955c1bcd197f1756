// The side features over the internet link, with the host itself (Host and
// its extras, real files, real desktop entries, a real PulseAudio daemon) and
// a scripted WebRTC stack in place of the peer connection: replies come back
// on the asking phone's "file" channel in messages the channel takes, and
// sound on its "audio" channel.
#include "app/Crypto.h"
#include "app/Log.h"
#include "app/Settings.h"
#include "app/Startup.h"
#include "extras/Extras.h"
#include "rtc/Auth.h"
#include "rtc/RTCTransport.h"
#include "session/Host.h"
#include "support/FakePeer.h"
#include "support/PulseDaemon.h"
#include "support/TestSupport.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

using nlohmann::json;
using rtc::ChannelState;
using rtc::IceState;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string kKey = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
constexpr size_t kChannelMax = 65536;

std::string randomBytes(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(g());
  return s;
}

class SideOverInternet : public ::testing::Test {
protected:
  void SetUp() override {
    home = ts::makeTempDir("rtc-side-home");
    data = ts::makeTempDir("rtc-side-data");
    apps = ts::makeTempDir("rtc-side-apps");
    fs::create_directories(apps + "/applications");
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", apps.c_str(), 1);
    // The system's type database (icons are read by their type), none of
    // its applications.
    fs::create_directories(apps + "/sys");
    fs::create_directory_symlink("/usr/share/mime", apps + "/sys/mime");
    setenv("XDG_DATA_DIRS", (apps + "/sys").c_str(), 1);
    unsetenv("DISPLAY");
    settings().dataDir = data;
    settings().testMode = false;
    host = Host::create();
    factory = std::make_shared<ts::FakeFactory>();
    t = std::make_shared<RTCTransport>("ws://127.0.0.1:9", kKey, "stun:127.0.0.1:3478", 25, factory);
    t->sigTap = [this](const std::string& text) {
      std::lock_guard<std::mutex> l(m);
      sigs.push_back(json::parse(text));
    };
    wireInternet(t, host);
    host->servers.push_back(t);
  }
  void TearDown() override {
    t->stop();
    host->shutdown();
    host->servers.clear();
    host.reset();
    t.reset();
    for (auto& d : {home, data, apps}) ts::removeTree(d);
  }
  void flush() {
    for (int i = 0; i < 3; ++i) t->queue().sync([] {});
  }
  void signal(const json& j) {
    t->injectSignal(j.dump());
    flush();
  }
  // A phone: peer, signed answer, ICE up, every channel open. A later one
  // replaces the earlier as the transport's current phone.
  std::shared_ptr<ts::FakePeer> phone(int64_t cid) {
    const size_t before = factory->count();
    signal({{"t", "peer"}, {"cid", cid}});
    EXPECT_EQ(factory->count(), before + 1);
    auto p = factory->last();
    const std::string sid = lastOfferSid();
    const std::string sdp = "v=0 answer";
    signal({{"t", "sig"}, {"cid", cid},
            {"d", {{"kind", "answer"}, {"sdp", sdp}, {"sid", sid},
                   {"mac", macFor(kKey, "sdp|answer|" + sid + "|" + sdp)}}}});
    p->ice(IceState::Connected);
    for (auto label : {"ctl", "file", "audio", "video"}) p->channel(label)->setState(ChannelState::Open);
    flush();
    return p;
  }
  std::string lastOfferSid() {
    std::lock_guard<std::mutex> l(m);
    for (auto it = sigs.rbegin(); it != sigs.rend(); ++it)
      if (it->value("t", "") == "sig" && (*it)["d"].value("kind", "") == "offer") return (*it)["d"]["sid"];
    return "";
  }
  void ask(const std::shared_ptr<ts::FakePeer>& p, const json& m) {
    p->channel("file")->deliver(m.dump());
    flush();
  }
  // Everything the phone's file channel was sent, checked against the
  // channel's message limit on the way.
  static std::vector<json> replies(const std::shared_ptr<ts::FakePeer>& p, const std::string& kind) {
    std::vector<json> out;
    for (auto& text : p->channel("file")->sentTexts()) {
      EXPECT_LE(text.size(), kChannelMax);
      auto j = json::parse(text);
      if (j.value("t", "") == kind) out.push_back(std::move(j));
    }
    return out;
  }

  std::string home, data, apps;
  std::shared_ptr<Host> host;
  std::shared_ptr<ts::FakeFactory> factory;
  std::shared_ptr<RTCTransport> t;
  std::mutex m;
  std::vector<json> sigs;
};

TEST_F(SideOverInternet, ListingsAndDownloadsComeBackOnTheFileChannelInMessagesItTakes) {
  const std::string body = randomBytes(200000, 1);
  ts::writeFile(home + "/photo.bin", body);
  // 300 names of 200 bytes: the whole listing would be about 70 kB.
  fs::create_directories(home + "/many");
  for (int i = 0; i < 300; ++i) {
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "%03d", i);
    ts::writeFile(home + "/many/" + prefix + std::string(197, 'n'), "x");
  }
  auto p = phone(7);

  ask(p, {{"t", "ls"}, {"path", ""}});
  ask(p, {{"t", "ls"}, {"path", "many"}});
  // An id of 3000 characters leaves less room for data in each message.
  const std::string longId(3000, 'k');
  ask(p, {{"t", "fget"}, {"path", "photo.bin"}, {"id", "short"}});
  ask(p, {{"t", "fget"}, {"path", "photo.bin"}, {"id", longId}});
  host->extras->drain();

  auto lsr = replies(p, "lsr");
  ASSERT_EQ(lsr.size(), 2u);
  EXPECT_EQ(lsr[0]["path"], "");
  EXPECT_EQ(lsr[0]["more"], false);
  ASSERT_EQ(lsr[0]["items"].size(), 2u);
  EXPECT_EQ(lsr[0]["items"][0]["n"], "many");
  EXPECT_EQ(lsr[0]["items"][1], json({{"n", "photo.bin"}, {"dir", false}, {"size", 200000},
                                      {"mt", lsr[0]["items"][1]["mt"]}}));
  // Cut short to fit, in order, and saying so.
  EXPECT_EQ(lsr[1]["more"], true);
  const auto& items = lsr[1]["items"];
  EXPECT_GT(items.size(), 200u);
  EXPECT_LT(items.size(), 300u);
  for (size_t i = 0; i < items.size(); ++i) {
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "%03zu", i);
    EXPECT_EQ(items[i]["n"].get<std::string>().substr(0, 3), prefix);
  }

  auto fdat = replies(p, "fdat");
  for (const std::string id : {"short", longId.c_str()}) {
    std::string got;
    int64_t next = 0, count = -1;
    for (auto& f : fdat) {
      if (f["id"] != id) continue;
      ASSERT_FALSE(f.contains("err")) << f.dump().substr(0, 200);
      EXPECT_EQ(f["i"], next++);
      EXPECT_EQ(f["name"], "photo.bin");
      EXPECT_EQ(f["size"], 200000);
      count = f["n"];
      auto part = base64Decode(f["d"].get<std::string>());
      ASSERT_TRUE(part);
      EXPECT_LE(part->size(), 48000u);
      got.append(part->begin(), part->end());
    }
    EXPECT_EQ(count, next);
    EXPECT_EQ(got.size(), body.size());
    EXPECT_TRUE(got == body) << "id of " << id.size() << " characters";
  }
  EXPECT_EQ(std::count_if(fdat.begin(), fdat.end(), [](const json& f) { return f["id"] == "short"; }), 5);
}

TEST_F(SideOverInternet, AReplyForAPhoneThatHasGoneNeverReachesTheNextOne) {
  ts::writeFile(home + "/big.bin", randomBytes(20 * 48000, 2));
  auto first = phone(7);
  // The first phone's file channel is full: the download waits on its pacing.
  first->channel("file")->setBuffered(5000000);
  ask(first, {{"t", "fget"}, {"path", "big.bin"}, {"id", "d1"}});
  ask(first, {{"t", "ls"}, {"path", ""}});
  std::this_thread::sleep_for(200ms);
  auto second = phone(8);
  EXPECT_TRUE(ts::waitUntil([&] { return first->closed(); }));
  first->channel("file")->setBuffered(0);
  second->channel("file")->setBuffered(0);
  host->extras->drain();
  EXPECT_TRUE(replies(second, "fdat").empty());
  EXPECT_TRUE(replies(first, "fdat").empty());
  // The listing asked before the change went to the first phone or nowhere.
  EXPECT_TRUE(replies(second, "lsr").empty());

  // The new phone's own requests are answered on its own channel.
  ask(second, {{"t", "fget"}, {"path", "big.bin"}, {"id", "d2"}});
  host->extras->drain();
  auto fdat = replies(second, "fdat");
  ASSERT_EQ(fdat.size(), 20u);
  EXPECT_EQ(fdat.back()["id"], "d2");
}

// Desktop entries whose icons are noise, so that their PNGs barely shrink.
void noisyApps(const std::string& dir, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string icon = dir + "/icon" + std::to_string(i) + ".png";
    const std::string px = randomBytes(96 * 96 * 4, 100 + static_cast<unsigned>(i));
    GdkPixbuf* pix = gdk_pixbuf_new_from_data(reinterpret_cast<const guchar*>(px.data()), GDK_COLORSPACE_RGB, TRUE,
                                              8, 96, 96, 96 * 4, nullptr, nullptr);
    ASSERT_TRUE(gdk_pixbuf_save(pix, icon.c_str(), "png", nullptr, nullptr));
    g_object_unref(pix);
    char name[16];
    std::snprintf(name, sizeof name, "App%02d", i);
    ts::writeFile(dir + "/applications/app" + std::to_string(i) + ".desktop",
                  std::string("[Desktop Entry]\nType=Application\nName=") + name + "\nExec=true\nIcon=" + icon + "\n");
  }
}

TEST_F(SideOverInternet, ApplicationBatchesComeBackOnTheFileChannelWithinItsMessageSize) {
  noisyApps(apps, 14);
  auto p = phone(7);
  ask(p, {{"t", "apps"}});
  host->extras->drain();
  auto appl = replies(p, "appl");
  ASSERT_GE(appl.size(), 2u);
  std::vector<std::string> names;
  for (size_t i = 0; i < appl.size(); ++i) {
    EXPECT_EQ(appl[i]["first"], i == 0);
    EXPECT_EQ(appl[i]["done"], i + 1 == appl.size());
    for (auto& item : appl[i]["items"]) {
      names.push_back(item["n"]);
      EXPECT_FALSE(item["ic"].get<std::string>().empty());
    }
  }
  ASSERT_EQ(names.size(), 14u);
  // Each noisy icon is some 50 kB of base64: a batch of 12 could not go whole.
  EXPECT_GT(appl.size(), 2u);
  EXPECT_GT(appl[0]["items"][0]["ic"].get<std::string>().size(), 30000u);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  EXPECT_EQ(names.front(), "App00");
}

TEST_F(SideOverInternet, SoundGoesOutOnTheAudioChannelAsKindOnePackets) {
  ts::PulseDaemon pa;
  ASSERT_TRUE(pa.ok());
  auto p = phone(7);
  auto audio = p->channel("audio");
  ask(p, {{"t", "audio"}, {"on", true}});
  // A tone, so that the packets carry sound rather than the idle sink's silence.
  const std::string tone = home + "/tone.raw";
  std::vector<float> s(24000 * 3);
  for (size_t i = 0; i < s.size(); ++i) s[i] = float(0.5 * std::sin(2 * M_PI * 1000.0 * double(i) / 24000.0));
  ts::writeFile(tone, std::string(reinterpret_cast<const char*>(s.data()), s.size() * sizeof(float)));
  ts::Child player({"sh", "-c", "exec pacat --playback --raw --format=float32le --rate=24000 --channels=1 < '" + tone + "'"},
                   {pa.env()});
  auto loud = [&] {
    for (auto& pk : audio->sentBinary())
      for (size_t i = 1; i + 1 < pk.size(); i += 2)
        if (std::abs(int16_t(uint8_t(pk[i]) | uint8_t(pk[i + 1]) << 8)) > 8000) return true;
    return false;
  };
  ASSERT_TRUE(ts::waitUntil(loud));
  for (auto& pk : audio->sentBinary()) {
    ASSERT_FALSE(pk.empty());
    EXPECT_EQ(pk[0], 1);
    EXPECT_EQ(pk.size() % 2, 1u);
    EXPECT_LE(pk.size(), 961u);
  }
  ask(p, {{"t", "audio"}, {"on", false}});
  host->extras->drain();
  std::this_thread::sleep_for(300ms);
  const size_t after = audio->sentBinary().size();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(audio->sentBinary().size(), after);
}

}  // namespace
