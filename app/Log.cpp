#include "app/Log.h"

#include "app/Settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

static std::mutex tapLock;
static std::function<void(const std::string&)> logTap;

void setLogTap(std::function<void(const std::string&)> tap) {
  std::lock_guard<std::mutex> l(tapLock);
  logTap = std::move(tap);
}

void logf(const std::string& text) {
  {
    std::lock_guard<std::mutex> l(tapLock);
    if (logTap) logTap(text);
  }
  std::string line = text + "\n";
  // One fwrite under stdio's own lock keeps lines whole across threads.
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void journalAppend(const std::string& path, const std::string& line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  ::close(fd);
}

std::string jsonText(const nlohmann::json& value) {
  try {
    return value.dump();
  } catch (const nlohmann::json::exception&) {
    return "{}";
  }
}

std::string isoNowUTC() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

double epochMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

void connectLog(nlohmann::json record) {
  static std::mutex connectLogLock;
  record["time"] = isoNowUTC();
  std::string line = jsonText(record);
  std::lock_guard<std::mutex> lock(connectLogLock);
  journalAppend(settings().dataDir + "/connect_log.jsonl", line + "\n");
  logf("[connect] " + line);
}
