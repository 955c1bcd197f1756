// GoogleTest's main for suites that open peer connections: the whole run
// happens in a private network namespace with only loopback.
#include "support/Netns.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ts::enterPrivateNetwork(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
