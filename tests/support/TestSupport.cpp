#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace ts {

std::string makeTempDir(const std::string& prefix) {
  std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back(0);
  char* d = mkdtemp(buf.data());
  return d ? std::string(d) : std::string("/tmp");
}

void removeTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  close(fd);
  return port;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string readFileWhenPresent(const std::string& path, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  std::error_code ec;
  while (!std::filesystem::exists(path, ec) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return readFile(path);
}

bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
  outPath_ = makeTempDir("tolvane-child") + "/out.txt";
  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    setpgid(0, 0);
    for (const auto& e : extraEnv) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
}

Child::~Child() {
  if (!status_) stop(9, std::chrono::seconds(3));
  removeTree(std::filesystem::path(outPath_).parent_path().string());
}

std::string Child::output() const { return readFile(outPath_); }

std::string Child::stacks() const {
  if (access(("/proc/" + std::to_string(pid_)).c_str(), F_OK) != 0) return "(the process has ended)";
  return run("timeout 60 gdb -p " + std::to_string(pid_) +
             " -batch -nx -ex 'set pagination off' -ex 'thread apply all bt' 2>&1 | grep -E '^(Thread|#)'");
}

size_t Child::count(const std::string& text) const {
  std::string out = output();
  size_t n = 0;
  for (size_t at = out.find(text); !text.empty() && at != std::string::npos; at = out.find(text, at + text.size())) ++n;
  return n;
}

bool Child::waitCatches(int sig, std::chrono::milliseconds timeout) {
  return waitUntil(
      [&] {
        std::istringstream in(readFile("/proc/" + std::to_string(pid_) + "/status"));
        for (std::string line; std::getline(in, line);)
          if (line.rfind("SigCgt:", 0) == 0) return ((std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1) != 0;
        return false;
      },
      timeout);
}

bool Child::waitFor(const std::string& text, std::chrono::milliseconds timeout, size_t times) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (count(text) >= times) return true;
    if (exited()) return count(text) >= times;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::optional<int> Child::exited(std::chrono::milliseconds wait) {
  if (status_) return status_;
  auto end = std::chrono::steady_clock::now() + wait;
  do {
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (wait.count() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < end);
  return std::nullopt;
}

int Child::stop(int sig, std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  kill(pid_, sig);
  if (auto s = exited(timeout)) return *s;
  kill(-pid_, 9);
  kill(pid_, 9);
  if (auto s = exited(std::chrono::seconds(3))) return *s;
  return -1;
}

std::string run(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  int st = pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

}  // namespace ts
