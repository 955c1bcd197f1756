// Test-pattern video through the running host, decoded by ffmpeg.
#include "support/Decode.h"
#include "support/HostProcess.h"
#include "support/WsClient.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

struct Session {
  std::vector<json> texts;
  std::vector<json> videos;
  std::vector<std::string> order;  // "text:<t>" or "video:<key>"
  std::string error;
};

Session parse(const std::vector<std::string>& lines) {
  Session s;
  for (const auto& l : lines) {
    auto j = json::parse(l, nullptr, false);
    if (j.is_discarded()) continue;
    if (j.contains("error")) s.error = j["error"];
    if (j.contains("text")) {
      auto t = json::parse(j["text"].get<std::string>(), nullptr, false);
      s.texts.push_back(t);
      s.order.push_back("text:" + t.value("t", ""));
    }
    if (j.contains("video")) {
      s.videos.push_back(j["video"]);
      s.order.push_back("video:" + std::to_string(j["video"]["key"].get<int>()));
    }
  }
  return s;
}

const ts::Rgb kBackground{20, 26, 41};
const ts::Rgb kYellow{255, 255, 0};

}  // namespace

TEST(Video, ConfigThenKeyFrameThenDecodableStreamWithTheInputId) {
  ts::HostProcess h({"--test-pattern", "--no-tls"});
  std::string path = h.dataDir + "/out.h264";
  auto epochNow = [] {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
  };
  double before = epochNow();
  // After the move, frames until the first that carries its id, however many
  // a busy machine draws before the move is handled.
  auto s = parse(h.session(R"([{"recv":2},{"h264":10,"path":")" + path +
                           R"("},{"send":{"t":"mv","x":0.25,"y":0.25,"id":4242}},{"h264":600,"until_id":4242,"path":")" +
                           path + R"("}])"));
  double after = epochNow();
  ASSERT_TRUE(s.error.empty()) << s.error;
  ASSERT_GE(s.order.size(), 14u);
  EXPECT_EQ(s.order[0], "text:hello");
  EXPECT_EQ(s.order[1], "text:app");
  EXPECT_EQ(s.order[2], "text:config");
  EXPECT_EQ(s.order[3], "video:1");
  auto& cfg = s.texts[2];
  EXPECT_EQ(cfg["w"], 1280);
  EXPECT_EQ(cfg["h"], 720);
  EXPECT_EQ(cfg["codec"].get<std::string>().rfind("avc1.", 0), 0u);

  size_t withId = 0;
  for (size_t i = 0; i < s.videos.size(); ++i) {
    auto& v = s.videos[i];
    EXPECT_EQ(v["kind"], 1);
    // Drawn for this session: while it ran, on this machine's clock.
    EXPECT_GE(v["cap"].get<double>(), before - 1);
    EXPECT_LE(v["cap"].get<double>(), after + 1);
    EXPECT_EQ(v["size"].get<int>(), 11 + 4 * static_cast<int>(v["ids"].size()) + v["frame_len"].get<int>());
    if (i > 0) {
      EXPECT_GE(v["cap"].get<double>(), s.videos[i - 1]["cap"].get<double>());
    }
    for (auto& id : v["ids"])
      if (id == 4242 && !withId) withId = i;
  }
  ASSERT_GT(withId, 0u) << "the input id never came back";
  EXPECT_EQ(withId, s.videos.size() - 1);

  auto d = ts::decodeH264(path, 1280, 720);
  EXPECT_EQ(d.warnings, "");
  ASSERT_EQ(d.frames.size(), s.videos.size());
  // Background above the bars, crosshair at the centre before the move...
  EXPECT_TRUE(ts::near(d.at(0, 640, 40), kBackground));
  EXPECT_TRUE(ts::near(d.at(0, 640, 360), kYellow));
  // ...and at the tapped place in the first frame that carries the id.
  auto moved = d.at(withId, 320, 180);
  EXPECT_TRUE(ts::near(moved, kYellow)) << moved.r << "," << moved.g << "," << moved.b;
  EXPECT_FALSE(ts::near(d.at(withId, 640, 340), kYellow));
  // A bar: somewhere on the middle row there is a bar colour (0.5±0.5, 0.4, 0.5∓0.5).
  bool bar = false;
  for (int x = 0; x < 1280 && !bar; x += 4) {
    auto p = d.at(0, x, 300);
    bar = std::abs(p.g - 102) < 14 && std::abs(p.r + p.b - 255) < 30;
  }
  EXPECT_TRUE(bar);
}

TEST(Video, SecondClientStartsAtAKeyFrameAndTheLastCloseStopsThePipeline) {
  ts::HostProcess h({"--test-pattern", "--no-tls"});
  // The first client watches until video flows and stays for the whole of the
  // second one's session, so the second joins a running stream.
  ts::RawClient first(h.port);
  ASSERT_TRUE(first.upgrade(h.token));
  int packets = 0;
  while (packets < 5) {
    auto f = first.readFrame();
    ASSERT_TRUE(f) << "no video for the first client";
    packets += f->opcode == 2;
  }
  auto second = parse(h.session(R"([{"recv":2},{"video":3}])"));
  ASSERT_GE(second.order.size(), 5u);
  // "config" precedes the second client's key frame; no delta comes first.
  auto firstVideo = std::find_if(second.order.begin(), second.order.end(),
                                 [](auto& o) { return o.rfind("video:", 0) == 0; });
  ASSERT_NE(firstVideo, second.order.end());
  EXPECT_EQ(*firstVideo, "video:1");
  EXPECT_EQ(*(firstVideo - 1), "text:config");
  EXPECT_EQ(h.proc->count("[host] 接続0件。映像を停止"), 0u) << "the first client is still there";
  first.close();
  EXPECT_TRUE(h.proc->waitFor("[host] 接続0件。映像を停止"));
  // The next client starts everything again.
  auto third = parse(h.session(R"([{"recv":3},{"video":2}])"));
  EXPECT_TRUE(third.error.empty()) << third.error;
  EXPECT_EQ(third.videos.size(), 2u);
}

TEST(Video, EncoderThatCannotStartSendsTheErrorAndBadOptionsFallBack) {
  {
    ts::HostProcess h({"--test-pattern", "--no-tls", "--test-size", "16000x16000"});
    auto s = parse(h.session(R"([{"recv":3}])"));
    ASSERT_EQ(s.texts.size(), 3u) << s.error;
    EXPECT_EQ(s.texts[2]["t"], "error");
    EXPECT_EQ(s.texts[2]["code"], "encoder");
    EXPECT_NE(s.texts[2]["msg"].get<std::string>().find("Could not create the H.264 encoder"), std::string::npos);
    EXPECT_FALSE(h.proc->exited().has_value());
  }
  {
    ts::HostProcess h({"--test-pattern", "--no-tls", "--test-size", "640xabc", "--fps", "0", "--bitrate", "0",
                       "--image", "/nonexistent.png"});
    auto s = parse(h.session(R"([{"recv":3},{"video":3}])"));
    ASSERT_EQ(s.texts.size(), 3u) << s.error;
    EXPECT_EQ(s.texts[2]["t"], "config");
    EXPECT_EQ(s.texts[2]["w"], 1280);
    EXPECT_EQ(s.videos.size(), 3u);
    EXPECT_NE(h.proc->output().find("--test-size"), std::string::npos);
  }
  {
    ts::HostProcess h({"--test-pattern", "--no-tls", "--test-size", "641x361"});
    auto s = parse(h.session(R"([{"recv":3},{"video":1}])"));
    ASSERT_EQ(s.texts.size(), 3u) << s.error;
    EXPECT_EQ(s.texts[2]["w"], 640);
    EXPECT_EQ(s.texts[2]["h"], 360);
  }
}

TEST(Video, ScrollModeScrollsWithTheFinger) {
  ts::HostProcess h({"--test-pattern", "--no-tls", "--test-scroll"});
  auto s = parse(h.session(R"([{"recv":3},{"send":{"t":"sc","dx":0,"dy":300,"id":5}},{"video":600,"until_id":5}])"));
  ASSERT_TRUE(s.error.empty()) << s.error;
  bool carried = false;
  for (auto& v : s.videos)
    for (auto& id : v["ids"]) carried |= id == 5;
  EXPECT_TRUE(carried);
}
