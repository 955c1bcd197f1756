// The host on a real X server: what X clients draw reaches the phone, and the
// phone's input reaches X.
#include "support/Decode.h"
#include "support/HostProcess.h"
#include "support/Xvfb.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
// After gtest: Xlib's macros (None, Bool) break its templates.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <thread>

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

struct TestWindow {
  Display* d = nullptr;
  ::Window w = 0;
  TestWindow(int x, int y, int width, int height, unsigned long rgb) {
    d = XOpenDisplay(nullptr);
    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixel = rgb;
    w = XCreateWindow(d, DefaultRootWindow(d), x, y, width, height, 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
    XMapRaised(d, w);
    XSync(d, False);
  }
  ~TestWindow() {
    XDestroyWindow(d, w);
    XCloseDisplay(d);
  }
};

struct Pointer {
  int x = -1, y = -1;
  unsigned mask = 0;
};

Pointer queryPointer() {
  Pointer p;
  Display* d = XOpenDisplay(nullptr);
  if (!d) return p;
  ::Window root, child;
  int wx, wy;
  XQueryPointer(d, DefaultRootWindow(d), &root, &child, &p.x, &p.y, &wx, &wy, &p.mask);
  XCloseDisplay(d);
  return p;
}

std::vector<json> texts(const std::vector<std::string>& lines) {
  std::vector<json> out;
  for (auto& l : lines) {
    auto j = json::parse(l, nullptr, false);
    if (!j.is_discarded() && j.contains("text")) out.push_back(json::parse(j["text"].get<std::string>()));
  }
  return out;
}

}  // namespace

TEST(Desktop, WhatXDrawsReachesThePhone) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  TestWindow red(100, 100, 400, 300, 0xD02020);
  ts::HostProcess h({"--no-tls"});
  std::string path = h.dataDir + "/desk.h264";
  auto lines = h.session(R"([{"recv":2},{"h264":1,"path":")" + path + R"("}])");
  auto t = texts(lines);
  ASSERT_GE(t.size(), 3u) << (lines.empty() ? "" : lines.back());
  EXPECT_EQ(t[0]["t"], "hello");
  EXPECT_EQ(t[0]["screen"], true);
  EXPECT_EQ(t[0]["ax"], true);
  EXPECT_EQ(t[0]["test"], false);
  EXPECT_EQ(t[2]["t"], "config");
  EXPECT_EQ(t[2]["w"], 1920);
  EXPECT_EQ(t[2]["h"], 1080);
  auto d = ts::decodeH264(path, 1920, 1080);
  EXPECT_EQ(d.warnings, "");
  ASSERT_GE(d.frames.size(), 1u);
  auto p = d.at(0, 300, 250);
  EXPECT_TRUE(ts::near(p, {0xD0, 0x20, 0x20}, 20)) << p.r << "," << p.g << "," << p.b;
  EXPECT_TRUE(ts::near(d.at(0, 50, 50), {0, 0, 0}, 20));  // Xvfb's black root
}

TEST(Desktop, PointerAndButtonsLandOnXAndNothingStaysPressed) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  ts::HostProcess h({"--no-tls", "--input-log", "/dev/null"});
  const std::string left = "[host] 接続0件。映像を停止";
  h.session(R"([{"recv":2},{"send":{"t":"mv","x":1.7,"y":-0.2,"id":1}},{"sleep":0.3}])");
  Pointer p;
  EXPECT_TRUE(ts::waitUntil([&] { p = queryPointer(); return p.x == 1919 && p.y == 0; }))
      << p.x << "," << p.y;
  ASSERT_TRUE(h.proc->waitFor(left));
  // A press that the phone never releases is released when it leaves.
  h.session(R"([{"recv":2},{"send":{"t":"md","x":0.5,"y":0.5,"b":1,"id":2}},{"sleep":0.4}])");
  EXPECT_TRUE(h.proc->waitFor(left, std::chrono::seconds(60), 2));
  EXPECT_TRUE(ts::waitUntil([&] {
    p = queryPointer();
    return p.x == 960 && p.y == 540 && (p.mask & Button1Mask) == 0;
  })) << p.x << "," << p.y << " mask " << p.mask;
}

TEST(Desktop, InputLogOnlyJournalsWithoutInjecting) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  auto dir = ts::makeTempDir();
  ts::HostProcess h({"--no-tls", "--input-log", dir + "/in.jsonl", "--input-log-only"});
  auto before = queryPointer();
  h.session(R"([{"recv":2},{"send":{"t":"mv","x":0.1,"y":0.1,"id":9}},{"send":{"t":"key","k":"a","m":2,"id":10}},{"sleep":0.3}])");
  const std::string journal =
      "{\"id\":9,\"t\":\"mv\",\"x\":0.1,\"y\":0.1}\n{\"id\":10,\"k\":\"a\",\"m\":2,\"t\":\"key\"}\n";
  // Both are handled once both are journalled; neither moved the pointer.
  EXPECT_TRUE(ts::waitUntil([&] { return ts::readFile(dir + "/in.jsonl").size() >= journal.size(); }));
  EXPECT_EQ(ts::readFile(dir + "/in.jsonl"), journal);
  auto after = queryPointer();
  EXPECT_EQ(before.x, after.x);
  EXPECT_EQ(before.y, after.y);
  ts::removeTree(dir);
}

TEST(Desktop, NoDisplayGivesTheScreenErrorAndOneAxWarning) {
  ts::HostProcess h({"--no-tls"}, {"DISPLAY=:999"});
  auto t = texts(h.session(R"([{"recv":3},{"send":{"t":"mv","x":0.1,"y":0.1}},{"send":{"t":"mv","x":0.2,"y":0.1}},
      {"send":{"t":"ping"}},{"recv":2}])"));
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[0]["screen"], false);
  EXPECT_EQ(t[2]["t"], "error");
  EXPECT_EQ(t[2]["code"], "screen");
  // One warning for two messages; the pong may overtake it.
  auto warn = t[3]["t"] == "warn" ? t[3] : t[4];
  auto pong = t[3]["t"] == "warn" ? t[4] : t[3];
  EXPECT_EQ(warn["t"], "warn");
  EXPECT_EQ(warn["code"], "ax");
  EXPECT_EQ(pong["t"], "pong");
  EXPECT_NE(h.proc->output().find("[cap] 画面収録の権限がありません"), std::string::npos);
}

TEST(Desktop, ACaptureThatFinishesStartingAfterEveryoneLeftStops) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  ts::HostProcess h({"--no-tls"});
  // Leave right after the greeting, before the capture start completes.
  h.session(R"([{"recv":1}])");
  EXPECT_TRUE(h.proc->waitFor("[cap] 開始"));
  EXPECT_TRUE(h.proc->waitFor("[host] 接続0件。映像を停止")) << h.proc->output();
}
