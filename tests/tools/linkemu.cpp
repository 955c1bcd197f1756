// A shaped IP link between this network namespace and a nested one of its
// own making, for tests and benchmarks on a kernel without netem.
//
// Two TUN devices: "le0" here (10.77.0.1, peer 10.77.0.2) and "le1" in a
// fresh nested namespace (10.77.0.2, peer 10.77.0.1, default route). Every
// packet read from one is written to the other after this direction's loss,
// bounded queue (tail drop), serialisation at the link rate and fixed delay.
// Run it inside a test's own namespace only: nothing here reaches further
// than the two ends of the link.
//
//   linkemu [--seed N] [--ctl FIFO] [--stats-ms N] [SETTING VALUE]...
//
// Settings, on the command line as "--rate 2000" or one a line on standard
// input or the FIFO as "rate 2000"; a leading "down" (towards the nested
// namespace) or "up" (out of it) limits one to one direction:
//   rate KBPS    serialisation rate in kbit/s, 0 = unlimited
//   delay MS     one-way delay
//   loss PCT     random loss on arrival, 0..100
//   queue BYTES  most bytes waiting for the transmitter (default 1000000)
// Commands: "stats" prints the counters; "quit" ends.
// Printed (one JSON object a line): {"ready":true,"pid":P} once the link is
// up, where P is a process inside the nested namespace (nsenter -t P -n ...);
// {"stats":...} on request and every --stats-ms.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Ns = int64_t;  // monotonic nanoseconds

Ns nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return Ns(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Packet {
  std::vector<uint8_t> bytes;
  Ns arrive = 0;
  Ns deliver = 0;
};

// One direction of the link.
struct Pipe {
  explicit Pipe(const char* n) : name(n) {}
  const char* name;
  int in = -1, out = -1;
  double rateKbps = 0, delayMs = 0, lossPct = 0;
  int64_t queueLimit = 1000000;

  std::deque<Packet> waiting;  // not yet serialised
  std::deque<Packet> flight;   // serialised, waiting out the delay
  int64_t waitingBytes = 0;
  Ns txFree = 0;  // when the transmitter finishes what it has started

  uint64_t inPkts = 0, inBytes = 0, outPkts = 0, outBytes = 0, lost = 0, tailDropped = 0;

  void arrive(std::vector<uint8_t> b, Ns now, std::mt19937_64& rng) {
    inPkts++;
    inBytes += b.size();
    if (lossPct > 0 && std::uniform_real_distribution<double>(0, 100)(rng) < lossPct) {
      lost++;
      return;
    }
    if (waitingBytes + int64_t(b.size()) > queueLimit) {
      tailDropped++;
      return;
    }
    waitingBytes += int64_t(b.size());
    waiting.push_back({std::move(b), now, 0});
  }

  // Moves what is due along; returns the next time something is due, or -1.
  Ns step(Ns now) {
    Ns next = -1;
    Ns delay = Ns(delayMs * 1e6);
    while (!waiting.empty()) {
      Packet& p = waiting.front();
      Ns end;
      if (rateKbps <= 0) {
        end = std::max(now, p.arrive);
      } else {
        Ns start = std::max(txFree, p.arrive);
        end = start + Ns(double(p.bytes.size()) * 8.0 / (rateKbps * 1000.0) * 1e9);
      }
      if (end > now) {
        next = end;
        break;
      }
      txFree = end;
      // A link keeps order even when its delay shrinks.
      p.deliver = std::max(end + delay, flight.empty() ? 0 : flight.back().deliver);
      waitingBytes -= int64_t(p.bytes.size());
      flight.push_back(std::move(p));
      waiting.pop_front();
    }
    while (!flight.empty() && flight.front().deliver <= now) {
      Packet& p = flight.front();
      // A full TUN queue on the far side loses the packet, as a link would.
      if (write(out, p.bytes.data(), p.bytes.size()) == ssize_t(p.bytes.size())) {
        outPkts++;
        outBytes += p.bytes.size();
      }
      flight.pop_front();
    }
    if (!flight.empty() && (next < 0 || flight.front().deliver < next)) next = flight.front().deliver;
    return next;
  }

  std::string stats() const {
    char buf[400];
    std::snprintf(buf, sizeof buf,
                  "{\"rate\":%g,\"delay\":%g,\"loss\":%g,\"queue\":%lld,\"in_pkts\":%llu,\"in_bytes\":%llu,"
                  "\"out_pkts\":%llu,\"out_bytes\":%llu,\"lost\":%llu,\"tail_dropped\":%llu,\"queued\":%lld}",
                  rateKbps, delayMs, lossPct, (long long)queueLimit, (unsigned long long)inPkts,
                  (unsigned long long)inBytes, (unsigned long long)outPkts, (unsigned long long)outBytes,
                  (unsigned long long)lost, (unsigned long long)tailDropped, (long long)waitingBytes);
    return buf;
  }
};

volatile sig_atomic_t stopping = 0;
void onSignal(int) { stopping = 1; }

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "linkemu: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

int openTun(const char* name) {
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) die("open /dev/net/tun");
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
  if (ioctl(fd, TUNSETIFF, &ifr) < 0) die(std::string("TUNSETIFF ") + name);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

void sh(const std::string& cmd) {
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "linkemu: failed: %s\n", cmd.c_str());
    std::exit(1);
  }
}

void printLine(const std::string& s) {
  std::fputs(s.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

struct Link {
  Pipe down{"down"}, up{"up"};
  std::mt19937_64 rng{1};

  std::string stats() const {
    return "{\"stats\":{\"down\":" + down.stats() + ",\"up\":" + up.stats() + "}}";
  }

  // Applies "[down|up] key value"; false when it is not understood.
  bool apply(const std::vector<std::string>& w) {
    if (w.empty()) return true;
    size_t i = 0;
    std::vector<Pipe*> pipes{&down, &up};
    if (w[0] == "down") pipes = {&down}, i = 1;
    else if (w[0] == "up") pipes = {&up}, i = 1;
    if (i + 2 != w.size()) return false;
    char* end = nullptr;
    double v = std::strtod(w[i + 1].c_str(), &end);
    if (end == w[i + 1].c_str() || *end || !std::isfinite(v) || v < 0) return false;
    const std::string& k = w[i];
    if (k == "seed" && pipes.size() == 2) {
      rng.seed(uint64_t(v));
      return true;
    }
    for (Pipe* p : pipes) {
      if (k == "rate") p->rateKbps = v;
      else if (k == "delay") p->delayMs = v;
      else if (k == "loss") p->lossPct = std::min(v, 100.0);
      else if (k == "queue") p->queueLimit = int64_t(v);
      else return false;
    }
    return true;
  }
};

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// Reads command lines from fd; false at end of input.
bool readCommands(int fd, std::string& pending, Link& link) {
  char buf[1024];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  pending.append(buf, size_t(n));
  for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
    std::string line = pending.substr(0, nl);
    pending.erase(0, nl + 1);
    auto w = words(line);
    if (w.size() == 1 && w[0] == "stats") printLine(link.stats());
    else if (w.size() == 1 && w[0] == "quit") stopping = 1;
    else if (!link.apply(w)) printLine("{\"error\":\"bad command\"}");
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Link link;
  std::string ctlPath;
  long statsMs = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--", 0) != 0 || i + 1 >= argc) {
      std::fprintf(stderr, "usage: linkemu [--seed N] [--ctl FIFO] [--stats-ms N] [--[down-|up-]rate|delay|loss|queue V]...\n");
      return 2;
    }
    std::string v = argv[++i];
    a = a.substr(2);
    if (a == "ctl") { ctlPath = v; continue; }
    if (a == "stats-ms") { statsMs = std::atol(v.c_str()); continue; }
    std::vector<std::string> w;
    if (a.rfind("down-", 0) == 0) w = {"down", a.substr(5), v};
    else if (a.rfind("up-", 0) == 0) w = {"up", a.substr(3), v};
    else w = {a, v};
    if (!link.apply(w)) {
      std::fprintf(stderr, "linkemu: bad setting --%s %s\n", a.c_str(), v.c_str());
      return 2;
    }
  }

  // The nested namespace is held by a child that only waits; it dies with us.
  int ready[2];
  if (pipe(ready) < 0) die("pipe");
  pid_t parent = getpid();
  pid_t holder = fork();
  if (holder < 0) die("fork");
  if (holder == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(0);
    close(ready[0]);
    if (unshare(CLONE_NEWNET) < 0) _exit(1);
    char c = 1;
    if (write(ready[1], &c, 1) != 1) _exit(1);
    close(ready[1]);
    for (;;) pause();
  }
  close(ready[1]);
  char c = 0;
  if (read(ready[0], &c, 1) != 1) {
    std::fprintf(stderr, "linkemu: no nested namespace (unshare failed)\n");
    return 1;
  }
  close(ready[0]);

  int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  int nested = open(("/proc/" + std::to_string(holder) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
  if (home < 0 || nested < 0) die("open ns");
  int outer = openTun("le0");
  sh("ip addr add 10.77.0.1 peer 10.77.0.2 dev le0 && ip link set le0 up");
  if (setns(nested, CLONE_NEWNET) < 0) die("setns nested");
  int inner = openTun("le1");
  sh("ip link set lo up && ip addr add 10.77.0.2 peer 10.77.0.1 dev le1 && ip link set le1 up && "
     "ip route add default dev le1");
  if (setns(home, CLONE_NEWNET) < 0) die("setns home");
  close(nested);
  close(home);
  link.down.in = outer;
  link.down.out = inner;
  link.up.in = inner;
  link.up.out = outer;

  struct sigaction sa{};
  sa.sa_handler = onSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int ctl = -1;
  if (!ctlPath.empty()) {
    mkfifo(ctlPath.c_str(), 0600);
    // Read-write so that writers coming and going never give end of input.
    ctl = open(ctlPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (ctl < 0) die("open " + ctlPath);
  }
  // Standard input stays blocking (it may be shared with a shell); poll says
  // when one read will not wait.
  int in = 0;
  bool stdinOpen = true;
  std::string stdinPending, ctlPending;

  printLine("{\"ready\":true,\"pid\":" + std::to_string(holder) + "}");

  std::vector<uint8_t> buf(65536);
  Ns nextStats = statsMs > 0 ? nowNs() + Ns(statsMs) * 1000000 : -1;
  while (!stopping) {
    Ns now = nowNs();
    Ns due = -1;
    for (Pipe* p : {&link.down, &link.up}) {
      Ns n = p->step(now);
      if (n >= 0 && (due < 0 || n < due)) due = n;
    }
    if (nextStats >= 0) {
      if (now >= nextStats) {
        printLine(link.stats());
        nextStats += Ns(statsMs) * 1000000;
      }
      if (due < 0 || nextStats < due) due = nextStats;
    }
    pollfd fds[4] = {{outer, POLLIN, 0}, {inner, POLLIN, 0}, {stdinOpen ? in : -1, POLLIN, 0}, {ctl, POLLIN, 0}};
    // ppoll's nanosecond time-out: a link at tens of Mbit/s needs finer
    // steps than poll's millisecond.
    timespec wait{};
    Ns left = due >= 0 ? std::max<Ns>(0, due - now) : 0;
    wait.tv_sec = time_t(left / 1000000000);
    wait.tv_nsec = long(left % 1000000000);
    if (ppoll(fds, 4, due >= 0 ? &wait : nullptr, nullptr) < 0 && errno != EINTR) die("poll");
    now = nowNs();
    for (int k = 0; k < 2; ++k) {
      if (!(fds[k].revents & POLLIN)) continue;
      Pipe& p = k == 0 ? link.down : link.up;
      // Bounded per wake so one busy direction cannot starve the other.
      for (int n = 0; n < 64; ++n) {
        ssize_t got = read(fds[k].fd, buf.data(), buf.size());
        if (got <= 0) break;
        p.arrive(std::vector<uint8_t>(buf.begin(), buf.begin() + got), now, link.rng);
      }
    }
    if (stdinOpen && (fds[2].revents & (POLLIN | POLLHUP))) stdinOpen = readCommands(in, stdinPending, link);
    if (ctl >= 0 && (fds[3].revents & POLLIN)) readCommands(ctl, ctlPending, link);
  }
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  if (!ctlPath.empty()) unlink(ctlPath.c_str());
  return 0;
}
