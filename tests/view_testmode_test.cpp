// View requests against the running host in test mode: the simulated
// 1512x982 display, statuses, frame sizes, debouncing, limits and the input
// journal. No X server is involved.
#include "support/Decode.h"
#include "support/HostProcess.h"
#include "support/ViewPhone.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

bool isKind(const json& j, const std::string& t) { return j.is_object() && j.value("t", "") == t; }

auto viewStatus(const std::string& mode) {
  return [mode](const json& j) { return isKind(j, "view") && j.value("mode", "") == mode; };
}

auto configOf(int w, int h) {
  return [w, h](const json& j) { return isKind(j, "config") && j.value("w", 0) == w && j.value("h", 0) == h; };
}

// Index of the last config message of that size.
size_t lastConfig(const ts::ViewPhone& p, int w, int h) {
  size_t idx = 0, found = SIZE_MAX;
  for (const auto& j : p.allTexts()) {
    if (!isKind(j, "config")) continue;
    if (configOf(w, h)(j)) found = idx;
    ++idx;
  }
  return found;
}

json viewMsg(double w, double h, const std::string& m, double z = 1) {
  return {{"t", "view"}, {"w", w}, {"h", h}, {"m", m}, {"z", z}};
}

}  // namespace

TEST(ViewTestMode, AutoBecomesZoomWithThePhoneShapedFrames) {
  ts::HostProcess h({"--test-pattern", "--no-tls"});
  ts::ViewPhone p(h.port, h.token);
  ASSERT_TRUE(p.connected());
  ASSERT_TRUE(p.waitText(configOf(1280, 720)));
  p.send(viewMsg(390, 844, "auto"));
  ASSERT_TRUE(p.waitText(viewStatus("zoom")));
  json s = p.texts("view").at(0);
  EXPECT_EQ(s["mb"], 33);
  EXPECT_EQ(s["phys"], true);
  EXPECT_NEAR(s["rx"].get<double>(), 529.12, 0.01);
  EXPECT_EQ(s["ry"].get<double>(), 0);
  EXPECT_NEAR(s["rw"].get<double>(), 453.77, 0.01);
  EXPECT_EQ(s["rh"].get<double>(), 982);
  EXPECT_EQ(s["dw"].get<double>(), 1512);
  EXPECT_EQ(s["dh"].get<double>(), 982);

  ASSERT_TRUE(p.waitText(configOf(590, 1280)));
  size_t seg = lastConfig(p, 590, 1280);
  ASSERT_TRUE(p.waitFrames(seg, 6));
  std::string path = h.dataDir + "/zoom.h264";
  p.writeSegment(seg, path);
  auto d = ts::decodeH264(path, 590, 1280);
  EXPECT_EQ(d.warnings, "");
  ASSERT_GE(d.frames.size(), 6u);
  size_t last = d.frames.size() - 1;
  const int W = 590, H = 1280;
  EXPECT_TRUE(ts::near(d.at(last, 3, 640), {255, 26, 26}, 30)) << "red border";
  EXPECT_TRUE(ts::near(d.at(last, 30, 30), {204, 204, 204}, 20));           // top-left
  EXPECT_TRUE(ts::near(d.at(last, W - 30, 30), {255, 255, 255}, 20));       // top-right
  EXPECT_TRUE(ts::near(d.at(last, 30, H - 30), {51, 51, 51}, 20));          // bottom-left
  EXPECT_TRUE(ts::near(d.at(last, W - 30, H - 30), {128, 128, 128}, 20));  // bottom-right
  // One request, one status.
  p.pump(800ms);
  EXPECT_EQ(p.texts("view").size(), 1u);
  EXPECT_EQ(h.proc->count("[view] 要求 390x844pt 方式=auto zoom=1.0"), 1u);
}

TEST(ViewTestMode, DebouncesRequestsAndKeepsSizesAndZoomWithinLimits) {
  ts::HostProcess h({"--test-pattern", "--no-tls"});
  ts::ViewPhone p(h.port, h.token);
  ASSERT_TRUE(p.waitText(configOf(1280, 720)));

  // Three at once: only the last is applied.
  p.send(viewMsg(390, 844, "virtual"));
  p.send(viewMsg(390, 844, "zoom", 2));
  p.send(viewMsg(390, 780, "zoom", 10));
  ASSERT_TRUE(p.waitText(viewStatus("zoom")));
  p.pump(1s);
  auto st = p.texts("view");
  ASSERT_EQ(st.size(), 1u);
  // Zoom 10 acts as 4: a quarter of the full-height crop.
  EXPECT_NEAR(st[0]["rh"].get<double>(), 982 / 4.0, 0.01);
  EXPECT_NEAR(st[0]["rw"].get<double>(), 390.0 / 780 * 982 / 4, 0.01);

  // Too small, too large, not numbers: ignored without a status.
  p.send(viewMsg(40, 800, "zoom"));
  p.send(viewMsg(800, 49.9, "zoom"));
  p.send(viewMsg(1e300, 800, "zoom"));
  p.send({{"t", "view"}, {"w", "390"}, {"h", 844}});
  p.send({{"t", "view"}, {"w", 390}, {"h", 844}, {"m", std::string(5000, 'x')}, {"z", "big"}});
  // The last one is sound: unknown mode means auto, a bad zoom reads as 1.
  ASSERT_TRUE(p.waitText([&](const json& j) { return isKind(j, "view") && p.texts("view").size() == 2; }));
  p.pump(800ms);
  st = p.texts("view");
  ASSERT_EQ(st.size(), 2u);
  EXPECT_EQ(st[1]["mode"], "zoom");
  EXPECT_NEAR(st[1]["rw"].get<double>(), 453.77, 0.01);
  EXPECT_EQ(h.proc->count("xxxxxxxx"), 0u) << "odd modes stay out of the log";

  // Zoom 0.5 acts as 1.
  p.send(viewMsg(390, 844, "zoom", 0.5));
  ASSERT_TRUE(p.waitText([&](const json&) { return p.texts("view").size() == 3; }));
  EXPECT_NEAR(p.texts("view")[2]["rw"].get<double>(), 453.77, 0.01);

  // Extreme shapes are clamped, never refused by the encoder.
  p.send(viewMsg(100000, 50, "virtual"));
  ASSERT_TRUE(p.waitText(viewStatus("virtual")));
  ASSERT_TRUE(p.waitText(configOf(1280, 320)));

  p.send(viewMsg(400, 800, "virtual"));
  ASSERT_TRUE(p.waitText(configOf(640, 1280)));
  p.send(viewMsg(400, 800, "fit"));
  ASSERT_TRUE(p.waitText(viewStatus("fit")));
  json fit = p.texts("view").back();
  // The simulated display, not a real one, is what "fit" shares.
  EXPECT_EQ(fit["rw"].get<double>(), 1512);
  EXPECT_EQ(fit["dh"].get<double>(), 982);
  ASSERT_TRUE(p.waitText(configOf(1280, 720)));
  EXPECT_FALSE(h.proc->exited().has_value());
  EXPECT_TRUE(p.texts("warn").empty());
}

TEST(ViewTestMode, JournalCarriesTheMappedPointOutsideFit) {
  std::string dir = ts::makeTempDir();
  std::string log = dir + "/input.jsonl";
  ts::HostProcess h({"--test-pattern", "--no-tls", "--input-log", log});
  ts::ViewPhone p(h.port, h.token);
  ASSERT_TRUE(p.waitText(configOf(1280, 720)));
  p.send({{"t", "mv"}, {"x", 0.5}, {"y", 0.5}, {"id", 1}});
  p.send(viewMsg(390, 844, "zoom"));
  ASSERT_TRUE(p.waitText(viewStatus("zoom")));
  p.send({{"t", "mv"}, {"x", 0.5}, {"y", 0.25}, {"id", 2}});
  p.send({{"t", "md"}, {"x", 2}, {"y", -1}, {"b", 1}, {"id", 3}});
  p.send({{"t", "sc"}, {"dx", 0}, {"dy", 5}, {"id", 4}});
  p.send(viewMsg(390, 844, "fit"));
  ASSERT_TRUE(p.waitText(viewStatus("fit")));
  p.send({{"t", "mv"}, {"x", 0.1}, {"y", 0.2}, {"id", 5}});

  std::vector<json> lines;
  ASSERT_TRUE(ts::waitUntil([&] {
    lines.clear();
    std::string text = ts::readFile(log);
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) break;
      lines.push_back(json::parse(text.substr(at, end - at), nullptr, false));
      at = end + 1;
    }
    return lines.size() == 5;
  }));
  EXPECT_EQ(lines[0], json::parse(R"({"t":"mv","x":0.5,"y":0.5,"id":1})"));
  EXPECT_EQ(lines[1]["vm"], "zoom");
  EXPECT_EQ(lines[1]["gx"], 756.0);
  EXPECT_EQ(lines[1]["gy"], 245.5);
  EXPECT_EQ(lines[1]["rect"], json::parse("[529.1, 0.0, 453.8, 982.0]"));
  // Clamped onto the crop's top-right corner.
  EXPECT_EQ(lines[2]["gx"], 982.9);
  EXPECT_EQ(lines[2]["gy"], 0.0);
  EXPECT_FALSE(lines[3].contains("vm")) << "only pointer kinds are mapped";
  EXPECT_EQ(lines[4], json::parse(R"({"t":"mv","x":0.1,"y":0.2,"id":5})"));
  ts::removeTree(dir);
}
