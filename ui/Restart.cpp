#include "ui/Restart.h"

#include "app/Log.h"
#include "app/Startup.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

bool spawnAfterExit(const std::string& exe, const std::vector<std::string>& argv) {
  if (exe.empty() || argv.empty()) return false;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  // The write end sits on the highest descriptor we may have: a process's
  // descriptors are closed in order at exit, so by the time the helper sees
  // the pipe close, the listening sockets below it are closed too.
  rlimit lim{};
  int high = -1;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur > 64) {
    int want = static_cast<int>(lim.rlim_cur > 65536 ? 65535 : lim.rlim_cur - 1);
    for (int at = want; at > want - 64 && high < 0; --at)
      if (fcntl(at, F_GETFD) < 0 && errno == EBADF) high = fcntl(fds[1], F_DUPFD_CLOEXEC, at);
  }
  if (high >= 0) close(fds[1]), fds[1] = high;

  // Everything the child needs is prepared before fork: only
  // async-signal-safe calls may run between fork and exec.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    setsid();  // detached: a terminal's Ctrl+C to the old host stays there
    int rd = fds[0];
    if (rd != 3) {
      if (dup2(rd, 3) < 0) _exit(127);
      rd = 3;
    }
    // Drop every inherited descriptor but stdio and the pipe (the old
    // process's sockets among them), so the new host can bind its ports.
    syscall(SYS_close_range, 4, ~0U, 0);
    char b;
    while (read(rd, &b, 1) < 0 && errno == EINTR) {
    }
    close(rd);
    execv(exe.c_str(), args.data());
    _exit(127);
  }
  close(fds[0]);
  return true;
}

static std::vector<std::string> commandLine;

void rememberCommandLine(int argc, char** argv) { commandLine.assign(argv, argv + argc); }

void restartHost() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  std::vector<std::string> argv = commandLine;
  if (argv.empty()) argv.push_back(exe.string());
  if (ec || !spawnAfterExit(exe.string(), argv)) {
    logf(std::string("[host] 再起動できません: ") + (ec ? ec.message() : std::strerror(errno)));
    return;
  }
  shutdownAndExit();
}
