#include "support/Netns.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace ts {

namespace {

// Brings loopback up, adds the second loopback address, then replaces the
// shell with the program so that its pid (what ctest waits on and kills)
// stays the same from start to end.
constexpr const char* kSetup =
    "ip link set lo up && ip addr add 127.0.0.2/8 dev lo && exec \"$0\" \"$@\"";

bool onlyListing(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return true;
  return false;
}

std::string selfPath(const char* argv0) {
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return argv0;
  return std::string(buf.data(), static_cast<size_t>(n));
}

}  // namespace

void enterPrivateNetwork(int argc, char** argv) {
  const char* mark = std::getenv(kNetnsMarker);
  if ((mark && std::strcmp(mark, "1") == 0) || onlyListing(argc, argv)) return;
  setenv(kNetnsMarker, "1", 1);

  std::string self = selfPath(argv[0]);
  std::vector<const char*> args = {"unshare"};
  // Without root a user namespace grants the rights a network namespace needs.
  if (geteuid() != 0) args.push_back("--map-root-user");
  args.insert(args.end(), {"--net", "--", "/bin/sh", "-c", kSetup, self.c_str()});
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);

  std::fflush(nullptr);
  execvp("unshare", const_cast<char* const*>(args.data()));
  std::fprintf(stderr, "cannot enter a private network namespace: unshare: %s\n", std::strerror(errno));
  std::_Exit(1);
}

}  // namespace ts
