// ctest-labels: unit
#include "app/Log.h"
#include "session/InputTracker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {
constexpr double kLater = 1e300;  // a capture time after every mark
}

TEST(InputTracker, BacklogIsCutFrom257To129AndKeepsTheNewest) {
  InputTracker t;
  for (uint32_t id = 1; id <= 300; ++id) t.mark(id);
  std::vector<uint32_t> all;
  for (;;) {
    auto got = t.take(kLater);
    ASSERT_LE(got.size(), 8u);
    if (got.empty()) break;
    all.insert(all.end(), got.begin(), got.end());
  }
  // One cut at the 257th mark (128 oldest gone), 43 more marks afterwards.
  ASSERT_EQ(all.size(), 172u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], 129 + i);
}

TEST(InputTracker, HandsOutAtMostEightOldestFirstAndKeepsLaterMarks) {
  InputTracker t;
  for (uint32_t id = 1; id <= 10; ++id) t.mark(id);
  double capture = epochMs();
  // Marked after the capture: not shown by this frame.
  while (epochMs() <= capture) std::this_thread::yield();
  t.mark(11);
  EXPECT_EQ(t.take(capture), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(t.take(capture), (std::vector<uint32_t>{9, 10}));
  EXPECT_TRUE(t.take(capture).empty());
  EXPECT_EQ(t.take(kLater), (std::vector<uint32_t>{11}));
  EXPECT_TRUE(t.take(kLater).empty());
}

TEST(InputTracker, IdZeroMeansNoIdAndIsNotStored) {
  InputTracker t;
  t.mark(0);
  EXPECT_TRUE(t.take(kLater).empty());
  t.mark(7);
  t.mark(0);
  EXPECT_EQ(t.take(kLater), (std::vector<uint32_t>{7}));
}

TEST(InputTracker, ConcurrentMarkAndTakeLoseNothingBelowTheCap) {
  InputTracker t;
  std::atomic<bool> done{false};
  std::atomic<size_t> taken{0};
  std::vector<uint32_t> got;
  std::thread taker([&] {
    while (!done) {
      auto ids = t.take(kLater);
      got.insert(got.end(), ids.begin(), ids.end());
      taken += ids.size();
    }
  });
  // Batches of 100 keep the backlog below the cut however the threads are
  // scheduled, while marks and takes still overlap within a batch.
  for (uint32_t id = 1; id <= 2000; ++id) {
    t.mark(id);
    if (id % 100 == 0)
      while (taken < id) std::this_thread::yield();
  }
  done = true;
  taker.join();
  ASSERT_EQ(got.size(), 2000u);
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], i + 1);
}
