// The view modes on real X servers. Xorg with the dummy driver (it has spare
// outputs and CRTCs, which Xvfb lacks), openbox and an xterm: virtual display,
// the front window moved and put back, the decoded picture, pointer mapping,
// cleanup on every way out, the zoom's glide and the caret; these need root
// and skip where Xorg cannot start. Xvfb: the refusal without a spare output.
#include "support/Decode.h"
#include "support/HostProcess.h"
#include "support/ViewPhone.h"
#include "support/XorgDummy.h"
#include "support/Xvfb.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <optional>
#include <regex>
#include <thread>

// Last: its macros (None, Bool) would break the headers above.
#include <X11/Xlib.h>
#undef None
#undef Bool

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

bool isKind(const json& j, const std::string& t) { return j.is_object() && j.value("t", "") == t; }

auto configOf(int w, int h) {
  return [w, h](const json& j) { return isKind(j, "config") && j.value("w", 0) == w && j.value("h", 0) == h; };
}

json viewMsg(double w, double h, const std::string& m, double z = 1) {
  return {{"t", "view"}, {"w", w}, {"h", h}, {"m", m}, {"z", z}};
}

size_t lastConfig(const ts::ViewPhone& p, int w, int h) {
  size_t idx = 0, found = SIZE_MAX;
  for (const auto& j : p.allTexts()) {
    if (!isKind(j, "config")) continue;
    if (configOf(w, h)(j)) found = idx;
    ++idx;
  }
  return found;
}

std::string firstLine(const std::string& s) { return s.substr(0, s.find('\n')); }

long field(const std::string& text, const std::string& label) {
  std::smatch m;
  if (std::regex_search(text, m, std::regex(label + R"(\s*(-?\d+))"))) return std::stol(m[1]);
  return -99999;
}

struct Frame {
  long x = 0, y = 0, w = 0, h = 0;
  bool operator==(const Frame&) const = default;
};

// The window's frame as the tools see it: its client area's place minus the
// frame extents the window manager publishes.
Frame frameOf(const ts::XorgDummy& x, const std::string& win) {
  std::string info = x.x("xwininfo -id " + win);
  std::string ext = x.x("xprop -id " + win + " _NET_FRAME_EXTENTS");
  long left = 0, top = 0;
  std::smatch m;
  if (std::regex_search(ext, m, std::regex(R"(= (\d+), (\d+), (\d+), (\d+))"))) {
    left = std::stol(m[1]);
    top = std::stol(m[3]);
  }
  return {field(info, "Absolute upper-left X:") - left, field(info, "Absolute upper-left Y:") - top,
          field(info, "Width:"), field(info, "Height:")};
}

std::string show(const Frame& f) {
  return std::to_string(f.x) + "," + std::to_string(f.y) + " " + std::to_string(f.w) + "x" + std::to_string(f.h);
}

std::pair<long, long> pointer(const ts::XorgDummy& x) {
  std::string out = x.x("xdotool getmouselocation");
  return {field(out, "x:"), field(out, "y:")};
}

bool cleanedUp(const ts::XorgDummy& x, const std::string& win, const Frame& before) {
  return x.x("xrandr --listmonitors").find("TOLVANE-VD") == std::string::npos &&
         x.x("xrandr").find("current 1920 x 1080") != std::string::npos && frameOf(x, win) == before;
}

struct Desk {
  ts::XorgDummy x;
  std::string win;
  Frame before;
  bool ready() {
    if (!x.ok() || !x.startWindowManager() || !x.startXterm()) return false;
    win = firstLine(x.x("xdotool getactivewindow"));
    before = frameOf(x, win);
    return before.w > 0;
  }
};

// The kinds of every text message the phone has had, in order.
std::string kinds(const ts::ViewPhone& p) {
  std::string out;
  for (const auto& j : p.allTexts()) out += (out.empty() ? "" : " ") + (j.is_object() ? j.value("t", "?") : "?");
  return out.empty() ? "nothing" : out;
}

// What goes with a host that never sends its first picture: its output,
// what the phone got, who holds the port, the server's monitors and every
// host thread's stack. It has shown up late in loaded full runs and nowhere
// else.
std::string noPicture(const ts::Child& host, int port, const ts::ViewPhone& p, const std::string& monitors) {
  std::string ports = std::to_string(port);
  return "phone connected: " + std::string(p.connected() ? "true" : "false") + ", it got: " + kinds(p) + "\n" +
         host.output() + "\nsockets on its port (host pid " + std::to_string(host.pid()) + "):\n" +
         ts::run("ss -tanpH '( sport = :" + ports + " or dport = :" + ports + " )' 2>&1") + "\nmonitors: " +
         monitors + "\nhost threads:\n" + host.stacks();
}

// Puts the host into "virtual" for a 390x844 phone and waits for the moved xterm.
void goVirtual(Desk& d, const ts::HostProcess& h, ts::ViewPhone& p) {
  ASSERT_TRUE(p.waitText(configOf(1920, 1080)))
      << noPicture(*h.proc, h.port, p, d.x.x("timeout 5 xrandr --listmonitors"));
  p.send(viewMsg(390, 844, "virtual"));
  ASSERT_TRUE(p.waitText([](const json& j) { return isKind(j, "view") && j.value("mode", "") == "virtual"; }));
  ASSERT_TRUE(ts::waitUntil([&] { return frameOf(d.x, d.win).x == 1920 + 20; }, 20s)) << show(frameOf(d.x, d.win));
}

}  // namespace

TEST(ViewXorg, PortraitDisplayTakesTheFrontWindowAndGivesItBack) {
  Desk d;
  if (!d.x.ok()) GTEST_SKIP() << "needs root and Xorg's dummy driver";
  ASSERT_TRUE(d.ready());
  ts::HostProcess h({"--no-tls", "--no-prompt"});
  ts::ViewPhone p(h.port, h.token);
  goVirtual(d, h, p);

  json s = p.texts("view").back();
  EXPECT_EQ(s["dw"].get<double>(), 776);
  EXPECT_EQ(s["dh"].get<double>(), 1678);
  EXPECT_EQ(s["rx"].get<double>(), 0);
  EXPECT_EQ(s["rw"].get<double>(), 776);
  EXPECT_EQ(s["mb"], 0);
  EXPECT_EQ(s["phys"], true);
  std::string mons = d.x.x("xrandr --listmonitors");
  EXPECT_TRUE(std::regex_search(mons, std::regex(R"(TOLVANE-VD 776/\d+x1678/\d+\+1920\+0)"))) << mons;
  Frame moved = frameOf(d.x, d.win);
  EXPECT_EQ(moved.x, 1920 + 20);
  EXPECT_EQ(moved.y, 40);
  EXPECT_EQ(moved.w, d.before.w);

  // The picture is the new display, at its size, with the xterm in it.
  ASSERT_TRUE(p.waitText(configOf(776, 1678)));
  size_t seg = lastConfig(p, 776, 1678);
  ASSERT_TRUE(p.waitFrames(seg, 1)) << "a still desktop sends a frame after each change";
  std::string path = h.dataDir + "/virtual.h264";
  p.writeSegment(seg, path);
  auto v = ts::decodeH264(path, 776, 1678);
  ASSERT_GE(v.frames.size(), 1u) << v.warnings;
  auto inside = v.at(v.frames.size() - 1, 20 + moved.w - 30, 40 + moved.h - 10);
  auto outside = v.at(v.frames.size() - 1, 700, 1600);
  EXPECT_TRUE(ts::near(inside, {255, 255, 255}, 30)) << inside.r << "," << inside.g << "," << inside.b;
  EXPECT_FALSE(ts::near(outside, {255, 255, 255}, 60));

  // Taps land on the display in its own coordinates.
  p.send({{"t", "md"}, {"x", 0.5}, {"y", 0.5}, {"b", 1}, {"id", 7}});
  p.send({{"t", "mu"}, {"x", 0.5}, {"y", 0.5}, {"b", 1}, {"id", 8}});
  ASSERT_TRUE(ts::waitUntil([&] { return pointer(d.x) == std::make_pair(1920L + 388, 839L); }, 20s))
      << pointer(d.x).first << "," << pointer(d.x).second;

  // Another shape makes another display; a nearly equal one keeps it.
  p.send(viewMsg(400, 800, "virtual"));
  ASSERT_TRUE(p.waitText([](const json& j) { return isKind(j, "view") && j.value("dw", 0.0) == 806; }));
  EXPECT_EQ(h.proc->count("[view] 仮想ディスプレイ作成"), 2u);
  size_t before = p.texts("view").size();
  p.send(viewMsg(401.6, 800, "virtual"));
  ASSERT_TRUE(p.waitText([&](const json&) { return p.texts("view").size() > before; }));
  EXPECT_EQ(p.texts("view").back()["dh"].get<double>(), 1612);
  EXPECT_EQ(h.proc->count("[view] 仮想ディスプレイ作成"), 2u);

  p.send(viewMsg(400, 800, "fit"));
  ASSERT_TRUE(p.waitText([](const json& j) { return isKind(j, "view") && j.value("mode", "") == "fit"; }));
  EXPECT_TRUE(ts::waitUntil([&] { return cleanedUp(d.x, d.win, d.before); }, 20s))
      << show(frameOf(d.x, d.win)) << " was " << show(d.before) << "\n" << d.x.x("xrandr --listmonitors");
  ASSERT_TRUE(p.waitText(configOf(1920, 1080)));
  EXPECT_TRUE(p.texts("warn").empty());
}

TEST(ViewXorg, EveryWayOutRemovesTheDisplayAndPutsTheWindowBack) {
  Desk d;
  if (!d.x.ok()) GTEST_SKIP() << "needs root and Xorg's dummy driver";
  ASSERT_TRUE(d.ready());
  {
    SCOPED_TRACE("the last client leaves");
    ts::HostProcess h({"--no-tls", "--no-prompt"});
    ts::ViewPhone p(h.port, h.token);
    goVirtual(d, h, p);
    p.client.close();
    EXPECT_TRUE(ts::waitUntil([&] { return cleanedUp(d.x, d.win, d.before); }, 20s)) << show(frameOf(d.x, d.win));
  }
  {
    SCOPED_TRACE("SIGTERM");
    ts::HostProcess h({"--no-tls", "--no-prompt"});
    ts::ViewPhone p(h.port, h.token);
    goVirtual(d, h, p);
    ASSERT_TRUE(h.proc->waitCatches(15));
    EXPECT_EQ(h.proc->stop(15), 0);
    EXPECT_TRUE(cleanedUp(d.x, d.win, d.before)) << show(frameOf(d.x, d.win));
  }
  {
    SCOPED_TRACE("kill -9, then a new start");
    {
      ts::HostProcess h({"--no-tls", "--no-prompt"});
      ts::ViewPhone p(h.port, h.token);
      goVirtual(d, h, p);
      h.proc->stop(9);
    }
    EXPECT_NE(d.x.x("xrandr --listmonitors").find("TOLVANE-VD"), std::string::npos) << "the server keeps it";
    ts::HostProcess again({"--no-tls", "--no-prompt"});
    EXPECT_TRUE(ts::waitUntil([&] { return cleanedUp(d.x, d.win, d.before); }, 20s)) << show(frameOf(d.x, d.win));
  }
}

TEST(ViewXorg, ZoomGlidesToTheCornerThePointerWentTo) {
  Desk d;
  if (!d.x.ok()) GTEST_SKIP() << "needs root and Xorg's dummy driver";
  ASSERT_TRUE(d.ready());
  std::string dir = ts::makeTempDir();
  std::string log = dir + "/input.jsonl";
  d.x.x("xdotool mousemove 960 540");
  // Journalled only: the phone's moves read the crop without moving the pointer.
  ts::HostProcess h({"--no-tls", "--no-prompt", "--input-log", log, "--input-log-only"});
  ts::ViewPhone p(h.port, h.token);
  ASSERT_TRUE(p.waitText(configOf(1920, 1080))) << noPicture(*h.proc, h.port, p, d.x.x("timeout 5 xrandr --listmonitors"));
  p.send(viewMsg(390, 844, "zoom", 2));
  ASSERT_TRUE(p.waitText([](const json& j) { return isKind(j, "view") && j.value("mode", "") == "zoom"; }));
  json st = p.texts("view").back();
  EXPECT_NEAR(st["rw"].get<double>(), 1080 * 390.0 / 844 / 2, 0.01);
  EXPECT_EQ(st["rh"].get<double>(), 540);
  ASSERT_TRUE(p.waitText(configOf(250, 540)));

  d.x.x("xdotool mousemove 1919 1079");
  std::vector<json> rects;
  json corner = json::parse("[1670.5, 540.0, 249.5, 540.0]");
  int id = 100;
  bool reached = ts::waitUntil([&] {
    p.send({{"t", "mv"}, {"x", 0.5}, {"y", 0.5}, {"id", ++id}});
    p.pump(15ms);
    std::string text = ts::readFile(log);
    size_t at = text.rfind("\"rect\"");
    if (at == std::string::npos) return false;
    size_t lineStart = text.rfind('\n', at);
    json line = json::parse(text.substr(lineStart == std::string::npos ? 0 : lineStart + 1,
                                        text.find('\n', at) - (lineStart == std::string::npos ? 0 : lineStart + 1)),
                            nullptr, false);
    if (!line.is_object()) return false;
    if (rects.empty() || rects.back() != line["rect"]) rects.push_back(line["rect"]);
    return line["rect"] == corner;
  }, 30s);
  ASSERT_TRUE(reached) << (rects.empty() ? "no rect" : rects.back().dump());
  EXPECT_GE(rects.size(), 3u) << "a glide, not a jump";
  EXPECT_EQ(pointer(d.x), std::make_pair(1919L, 1079L)) << "journalled moves inject nothing";
  // Moving a crop of one size restarts nothing: every config since is that size.
  auto configs = p.texts("config");
  size_t first = 0;
  while (first < configs.size() && !configOf(250, 540)(configs[first])) ++first;
  for (size_t i = first; i < configs.size(); ++i) EXPECT_TRUE(configOf(250, 540)(configs[i])) << configs[i].dump();
  EXPECT_EQ(h.proc->count("[cap] 開始"), 1u);
  ts::removeTree(dir);
}

namespace {
// A GTK3 window with one focused entry, at a fixed place.
const char* kEntryApp = R"(import os
os.environ.pop("NO_AT_BRIDGE", None)
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import Gtk
w = Gtk.Window(title="caretwin")
w.set_decorated(False)
w.set_default_size(300, 40)
w.move(820, 420)
e = Gtk.Entry()
w.add(e)
w.connect("destroy", Gtk.main_quit)
w.show_all()
e.grab_focus()
print("ready", flush=True)
Gtk.main()
)";

// The last journalled "rect" in the file, if any.
std::optional<json> lastRect(const std::string& log) {
  std::string text = ts::readFile(log);
  size_t at = text.rfind("\"rect\"");
  if (at == std::string::npos) return std::nullopt;
  size_t start = text.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  json line = json::parse(text.substr(start, text.find('\n', at) - start), nullptr, false);
  if (!line.is_object() || !line.contains("rect")) return std::nullopt;
  return line["rect"];
}
}  // namespace

TEST(ViewXorg, TypingBringsTheCaretIntoTheZoomWhileThePointerStaysInIt) {
  ts::XorgDummy x;
  if (!x.ok()) GTEST_SKIP() << "needs root and Xorg's dummy driver";
  ASSERT_TRUE(x.startWindowManager());
  std::string dir = ts::makeTempDir();
  // A private session bus: the accessibility bus is started through it, with
  // its socket in a runtime folder of its own (by default every bus of the
  // user would share one path).
  std::string runtime = dir + "/rt";
  ts::run("mkdir -m 700 '" + runtime + "'");
  ts::Child bus({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, {"XDG_RUNTIME_DIR=" + runtime});
  ASSERT_TRUE(bus.waitFor("unix:"));
  std::string address = firstLine(bus.output());
  std::vector<std::string> env = {"DISPLAY=" + x.display(), "DBUS_SESSION_BUS_ADDRESS=" + address,
                                  "XDG_RUNTIME_DIR=" + runtime};
  ts::writeFile(dir + "/entry.py", kEntryApp);
  ts::Child app({"/usr/bin/python3", dir + "/entry.py"}, env);
  ASSERT_TRUE(app.waitFor("ready")) << app.output();
  ASSERT_TRUE(ts::waitUntil([&] { return x.x("xdotool getactivewindow getwindowname").find("caretwin") != std::string::npos; }));
  x.x("xdotool mousemove 700 400");

  std::string log = dir + "/input.jsonl";
  int port = ts::freePort();
  ts::Child host({TOLVANE_HOST_BIN, "--port", std::to_string(port), "--no-tls", "--token", "t", "--data-dir", dir,
                  "--no-signal", "--no-prompt", "--input-log", log},
                 env);
  ASSERT_TRUE(host.waitFor("データ置き場: ", 90s));
  ts::ViewPhone p(port, "t");
  ASSERT_TRUE(p.waitText(configOf(1920, 1080))) << noPicture(host, port, p, x.x("timeout 5 xrandr --listmonitors"));
  p.send(viewMsg(390, 844, "zoom", 2));
  ASSERT_TRUE(p.waitText([](const json& j) { return isKind(j, "view") && j.value("mode", "") == "zoom"; }));
  double startX = p.texts("view").back()["rx"].get<double>();
  EXPECT_NEAR(startX, 700 - 1080 * 390.0 / 844 / 4, 0.5);

  p.send({{"t", "text"}, {"s", "hello"}, {"id", 1}});
  // The caret pulls the crop right; then the crop rests.
  ASSERT_TRUE(ts::waitUntil([&] { return x.x("xdotool getactivewindow getwindowname").find("caretwin") != std::string::npos; }));
  std::this_thread::sleep_for(2500ms);
  p.send({{"t", "mv"}, {"x", 0.5}, {"y", 0.5}, {"id", 2}});
  std::optional<json> r;
  ASSERT_TRUE(ts::waitUntil([&] { return (r = lastRect(log)).has_value(); }));
  double rx = (*r)[0].get<double>(), rw = (*r)[2].get<double>();
  EXPECT_GT(rx, startX + 20) << r->dump() << "\n" << host.output();
  EXPECT_GE(rx + rw, 830) << "the caret's side of the entry is in view";
  EXPECT_LE(rx, 700) << "the pointer stayed in view";
  EXPECT_EQ(host.count("キャレットは追いません"), 0u);
  host.stop(15);
  app.stop(15);
  bus.stop(15);
  ts::removeTree(dir);
}

TEST(ViewXorg, DemoWindowCoversThePortraitDisplayAndGoesWithIt) {
  ts::XorgDummy x;
  if (!x.ok()) GTEST_SKIP() << "needs root and Xorg's dummy driver";
  ASSERT_TRUE(x.startWindowManager());
  ts::HostProcess h({"--no-tls", "--no-prompt", "--demo-window"});
  ts::ViewPhone p(h.port, h.token);
  ASSERT_TRUE(p.waitText(configOf(1920, 1080))) << noPicture(*h.proc, h.port, p, x.x("timeout 5 xrandr --listmonitors"));
  p.send(viewMsg(400, 800, "virtual"));
  ASSERT_TRUE(p.waitText([](const json& j) { return isKind(j, "view") && j.value("mode", "") == "virtual"; }));
  EXPECT_NE(x.x("xwininfo -root -tree").find("\"Tolvane demo\""), std::string::npos);
  ASSERT_TRUE(p.waitText(configOf(806, 1612)));
  size_t seg = lastConfig(p, 806, 1612);
  ASSERT_TRUE(p.waitFrames(seg, 1)) << "a still desktop sends a frame after each change";
  std::string path = h.dataDir + "/demo.h264";
  p.writeSegment(seg, path);
  auto v = ts::decodeH264(path, 806, 1612);
  ASSERT_GE(v.frames.size(), 1u) << v.warnings;
  size_t f = v.frames.size() - 1;
  EXPECT_TRUE(ts::near(v.at(f, 2, 800), {255, 0, 0}, 40)) << "red frame";
  EXPECT_TRUE(ts::near(v.at(f, 803, 800), {255, 0, 0}, 40));
  // Gradient: bluish at the top, brownish at the bottom; the menu bar darker.
  auto top = v.at(f, 450, 60), bottom = v.at(f, 450, 1560), bar = v.at(f, 450, 20);
  EXPECT_GT(top.b, top.r) << top.r << "," << top.g << "," << top.b;
  EXPECT_GT(bottom.r, bottom.b) << bottom.r << "," << bottom.g << "," << bottom.b;
  EXPECT_LT(bar.r + bar.g + bar.b, top.r + top.g + top.b);
  if (const char* shots = getenv("TOLVANE_VIEW_SHOTS")) {
    ts::run("ffmpeg -nostdin -v error -f h264 -i '" + path + "' -update 1 -y '" + std::string(shots) +
            "/view-demo.png' 2>&1");
  }

  p.send(viewMsg(400, 800, "fit"));
  ASSERT_TRUE(p.waitText([](const json& j) { return isKind(j, "view") && j.value("mode", "") == "fit"; }));
  EXPECT_TRUE(ts::waitUntil([&] { return x.x("xwininfo -root -tree").find("\"Tolvane demo\"") == std::string::npos; }));
  EXPECT_EQ(x.x("xrandr --listmonitors").find("TOLVANE-VD"), std::string::npos);
}

// Xvfb has one CRTC: a display there would be one the pointer cannot reach,
// so the host refuses it and says so.
TEST(ViewXvfb, NoSpareOutputMeansAWarningAndTheScreenAsItWas) {
  ts::Xvfb xvfb;
  ASSERT_TRUE(xvfb.ok());
  ts::HostProcess h({"--no-tls", "--no-prompt"});
  ts::ViewPhone p(h.port, h.token);
  ASSERT_TRUE(p.waitText(configOf(1920, 1080)));
  p.send(viewMsg(390, 844, "virtual"));
  ASSERT_TRUE(p.waitText([](const json& j) { return isKind(j, "warn"); }));
  json w = p.texts("warn").at(0);
  EXPECT_EQ(w["code"], "view");
  EXPECT_EQ(w["msg"], "Could not adjust the screen shape: Could not create the virtual display (it may not be "
                      "available on this macOS)");
  EXPECT_EQ(h.proc->count("[view] 適用失敗: "), 1u);
  EXPECT_TRUE(p.texts("view").empty()) << "the mode stays as it was";
  std::string mons = ts::run("DISPLAY=" + xvfb.display() + " xrandr --listmonitors 2>&1");
  EXPECT_EQ(mons.find("TOLVANE-VD"), std::string::npos) << mons;
  EXPECT_NE(ts::run("DISPLAY=" + xvfb.display() + " xrandr 2>&1").find("current 1920 x 1080"), std::string::npos);

  // "auto" with a physical display is the zoom, with no menu bar here.
  p.send(viewMsg(390, 844, "auto"));
  ASSERT_TRUE(p.waitText([](const json& j) { return isKind(j, "view"); }));
  json s = p.texts("view").at(0);
  EXPECT_EQ(s["mode"], "zoom");
  EXPECT_EQ(s["mb"], 0);
  EXPECT_EQ(s["phys"], true);
  EXPECT_EQ(s["dw"].get<double>(), 1920);
}

namespace {
// Asks the window manager to add or remove both maximised states.
void maximise(const std::string& display, const std::string& win, bool on) {
  Display* dpy = XOpenDisplay(display.c_str());
  if (!dpy) return;
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = std::stoul(win);
  e.xclient.message_type = XInternAtom(dpy, "_NET_WM_STATE", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = on ? 1 : 0;
  e.xclient.data.l[1] = long(XInternAtom(dpy, "_NET_WM_STATE_MAXIMIZED_VERT", False));
  e.xclient.data.l[2] = long(XInternAtom(dpy, "_NET_WM_STATE_MAXIMIZED_HORZ", False));
  e.xclient.data.l[3] = 1;
  XSendEvent(dpy, DefaultRootWindow(dpy), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  XCloseDisplay(dpy);
}

bool maximised(const ts::XorgDummy& x, const std::string& win) {
  std::string s = x.x("xprop -id " + win + " _NET_WM_STATE");
  return s.find("_NET_WM_STATE_MAXIMIZED_VERT") != std::string::npos &&
         s.find("_NET_WM_STATE_MAXIMIZED_HORZ") != std::string::npos;
}
}  // namespace

TEST(ViewXorg, AMaximisedWindowLeavesThatStateAndGetsItBack) {
  Desk d;
  if (!d.x.ok()) GTEST_SKIP() << "needs root and Xorg's dummy driver";
  ASSERT_TRUE(d.ready());
  maximise(d.x.display(), d.win, true);
  ASSERT_TRUE(ts::waitUntil([&] { return maximised(d.x, d.win); }, 20s));
  ASSERT_TRUE(ts::waitUntil([&] { return frameOf(d.x, d.win).w > d.before.w; }, 20s));
  Frame big = frameOf(d.x, d.win);

  ts::HostProcess h({"--no-tls", "--no-prompt"});
  ts::ViewPhone p(h.port, h.token);
  goVirtual(d, h, p);
  EXPECT_FALSE(maximised(d.x, d.win));
  EXPECT_EQ(frameOf(d.x, d.win).w, d.before.w) << "moved at its own size, not the maximised one";

  p.send(viewMsg(390, 844, "fit"));
  EXPECT_TRUE(ts::waitUntil([&] { return maximised(d.x, d.win) && frameOf(d.x, d.win) == big; }, 20s))
      << show(frameOf(d.x, d.win)) << " was " << show(big);
  // Leaving the maximised state finds the old frame, as before the host came.
  maximise(d.x.display(), d.win, false);
  EXPECT_TRUE(ts::waitUntil([&] { return frameOf(d.x, d.win) == d.before; }, 20s))
      << show(frameOf(d.x, d.win)) << " was " << show(d.before);
}
