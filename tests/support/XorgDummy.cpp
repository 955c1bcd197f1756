#include "support/XorgDummy.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace ts {

namespace {
const char* kConfig = R"(Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoEnableDevices" "false"
EndSection
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 256000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Modes "1920x1080"
  EndSubSection
EndSection
)";
}  // namespace

XorgDummy::XorgDummy() {
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  setenv("NO_AT_BRIDGE", "1", 1);
  if (geteuid() != 0 || access("/usr/lib/xorg/modules/drivers/dummy_drv.so", R_OK) != 0) return;
  dir_ = makeTempDir("tolvane-xorg");
  writeFile(dir_ + "/xorg.conf", kConfig);
  int fds[2];
  if (pipe(fds) != 0) return;
  std::string fdArg = std::to_string(fds[1]);
  std::string conf = dir_ + "/xorg.conf", log = dir_ + "/xorg.log";
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a crashed test
    close(fds[0]);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
      dup2(devnull, 1);
      dup2(devnull, 2);
    }
    execlp("Xorg", "Xorg", "-displayfd", fdArg.c_str(), "-config", conf.c_str(), "-noreset", "-nolisten", "tcp",
           "-logfile", log.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return;
  }
  pid_ = pid;
  std::string number;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buf[32];
      ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      number.append(buf, size_t(n));
      if (number.find('\n') != std::string::npos) break;
    }
  }
  close(fds[0]);
  while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
  if (!number.empty()) {
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);
    for (int i = 0; i < 600; ++i) {
      if (Display* d = XOpenDisplay(display_.c_str())) {
        XCloseDisplay(d);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  display_.clear();
}

XorgDummy::~XorgDummy() {
  xterm.reset();
  wm.reset();
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    bool gone = false;
    for (int i = 0; i < 150 && !gone; ++i) {
      gone = waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!gone) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  if (!dir_.empty()) removeTree(dir_);
}

std::string XorgDummy::x(const std::string& cmd) const { return run("DISPLAY=" + display_ + " " + cmd + " 2>&1"); }

bool XorgDummy::startWindowManager() {
  wm = std::make_unique<Child>(std::vector<std::string>{"openbox", "--sm-disable"},
                               std::vector<std::string>{"DISPLAY=" + display_});
  return waitUntil([&] { return x("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") != std::string::npos; });
}

bool XorgDummy::startXterm(const std::string& geometry) {
  xterm = std::make_unique<Child>(std::vector<std::string>{"xterm", "-geometry", geometry, "-title", "viewterm"},
                                  std::vector<std::string>{"DISPLAY=" + display_});
  return waitUntil([&] {
    std::string id = x("xdotool search --name '^viewterm$'");
    std::string active = x("xdotool getactivewindow");
    return !id.empty() && id.find_first_not_of("0123456789\n") == std::string::npos &&
           id.substr(0, id.find('\n')) == active.substr(0, active.find('\n'));
  });
}

}  // namespace ts
