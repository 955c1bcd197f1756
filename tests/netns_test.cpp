// The namespace harness itself: a suite on the netns main must see loopback
// only, with both loopback addresses the test peers rely on.
#include "support/Netns.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

TEST(Netns, OnlyLoopbackWithBothAddresses) {
  const char* mark = std::getenv(ts::kNetnsMarker);
  ASSERT_NE(mark, nullptr);
  EXPECT_STREQ(mark, "1");

  ifaddrs* list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  std::set<std::string> names, v4;
  bool loUp = false;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    names.insert(a->ifa_name);
    if (std::string(a->ifa_name) == "lo" && (a->ifa_flags & IFF_UP)) loUp = true;
    if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET) {
      char buf[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, buf, sizeof buf);
      v4.insert(buf);
    }
  }
  freeifaddrs(list);
  EXPECT_EQ(names, std::set<std::string>{"lo"});
  EXPECT_TRUE(loUp);
  EXPECT_EQ(v4, (std::set<std::string>{"127.0.0.1", "127.0.0.2"}));
}
