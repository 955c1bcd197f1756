#include "app/XConn.h"

#include <mutex>
#include <unordered_map>

namespace xconn {
namespace {

struct Record {
  int lastError = 0;
  bool lost = false;
};

std::mutex regLock;
std::unordered_map<Display*, Record>& registry() {
  static auto* r = new std::unordered_map<Display*, Record>();  // outlives static destruction
  return *r;
}

int onError(Display* d, XErrorEvent* e) {
  std::lock_guard<std::mutex> l(regLock);
  auto it = registry().find(d);
  if (it != registry().end()) it->second.lastError = e->error_code;
  return 0;
}

int onIOError(Display* d) {
  std::lock_guard<std::mutex> l(regLock);
  auto it = registry().find(d);
  if (it != registry().end()) it->second.lost = true;
  return 0;
}

// Returning from the exit handler leaves the connection marked dead instead of
// ending the process.
void onIOExit(Display* d, void*) { onIOError(d); }

void installOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    XSetErrorHandler(onError);
    XSetIOErrorHandler(onIOError);
  });
}

}  // namespace

Display* open() {
  installOnce();
  Display* d = XOpenDisplay(nullptr);
  if (!d) return nullptr;
  XSetIOErrorExitHandler(d, onIOExit, nullptr);
  std::lock_guard<std::mutex> l(regLock);
  registry()[d] = Record{};
  return d;
}

void close(Display* d) {
  if (!d) return;
  {
    // Forget it first: once closed, the same address may come back from a new open.
    std::lock_guard<std::mutex> l(regLock);
    registry().erase(d);
  }
  XCloseDisplay(d);
}

bool lost(Display* d) {
  if (!d) return true;
  std::lock_guard<std::mutex> l(regLock);
  auto it = registry().find(d);
  return it != registry().end() && it->second.lost;
}

int takeError(Display* d) {
  std::lock_guard<std::mutex> l(regLock);
  auto it = registry().find(d);
  if (it == registry().end()) return 0;
  int e = it->second.lastError;
  it->second.lastError = 0;
  return e;
}

}  // namespace xconn
