#include "app/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {
// Polls cond until it holds or a minute has passed (timers on a busy machine
// fire late, never early).
bool eventually(const std::function<bool()>& cond) {
  auto end = std::chrono::steady_clock::now() + 60s;
  while (!cond() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
  return cond();
}

// Runs once a timer due `after` from now has fired on q: every timer due
// before it has had its turn by then.
void waitPast(SerialQueue& q, std::chrono::milliseconds after) {
  std::atomic<bool> fired{false};
  auto t = QueueTimer::once(q, after, [&] { fired = true; });
  EXPECT_TRUE(eventually([&] { return fired.load(); }));
  q.sync([] {});
}
}  // namespace

TEST(SerialQueue, RunsPostedWorkInOrderOnOneThread) {
  SerialQueue q("test");
  std::vector<int> seen;
  std::set<std::thread::id> threads;
  std::mutex m;
  // Posts from several threads interleave, but each poster's items stay ordered.
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < 250; ++i)
        q.post([&, t, i] {
          std::lock_guard<std::mutex> l(m);
          seen.push_back(t * 1000 + i);
          threads.insert(std::this_thread::get_id());
        });
    });
  }
  for (auto& p : posters) p.join();
  q.sync([] {});
  ASSERT_EQ(seen.size(), 1000u);
  EXPECT_EQ(threads.size(), 1u);
  std::vector<int> last(4, -1);
  for (int v : seen) {
    EXPECT_GT(v % 1000, last[v / 1000]);
    last[v / 1000] = v % 1000;
  }
}

TEST(SerialQueue, SyncWaitsForEarlierWorkAndRunsInlineOnItsOwnThread) {
  SerialQueue q("test");
  std::atomic<int> n{0};
  q.post([&] {
    std::this_thread::sleep_for(20ms);
    n = 1;
  });
  q.sync([&] { EXPECT_EQ(n.load(), 1); n = 2; });
  EXPECT_EQ(n.load(), 2);
  // From the queue itself sync must not deadlock.
  std::promise<bool> inner;
  q.post([&] {
    bool ran = false;
    q.sync([&] { ran = true; });
    inner.set_value(ran && q.isCurrent());
  });
  EXPECT_TRUE(inner.get_future().get());
}

TEST(SerialQueue, SyncPropagatesExceptions) {
  SerialQueue q("test");
  EXPECT_THROW(q.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
  q.sync([] {});  // still usable
}

TEST(QueueTimer, OnceFiresOnceOnTheQueueAndCancelPreventsIt) {
  SerialQueue q("test");
  std::atomic<int> fired{0};
  std::atomic<bool> onQueue{false};
  auto t = QueueTimer::once(q, 10ms, [&] {
    ++fired;
    onQueue = q.isCurrent();
  });
  std::atomic<int> cancelledFired{0};
  auto c = QueueTimer::once(q, 30ms, [&] { ++cancelledFired; });
  c->cancel();
  ASSERT_TRUE(eventually([&] { return fired.load() == 1; }));
  waitPast(q, 60ms);  // the cancelled one would have fired by now
  EXPECT_EQ(fired.load(), 1);
  EXPECT_TRUE(onQueue.load());
  EXPECT_EQ(cancelledFired.load(), 0);
}

TEST(QueueTimer, RepeatingFiresUntilCancelled) {
  SerialQueue q("test");
  std::atomic<int> fired{0};
  auto t = QueueTimer::repeating(q, 0ms, 5ms, [&] { ++fired; });
  ASSERT_TRUE(eventually([&] { return fired.load() >= 5; }));
  t->cancel();
  q.sync([] {});
  int atCancel = fired.load();
  waitPast(q, 40ms);  // eight periods
  EXPECT_EQ(fired.load(), atCancel);
}

TEST(QueueTimer, CancelFromItsOwnHandlerStopsRepeats) {
  SerialQueue q("test");
  std::atomic<int> fired{0};
  std::shared_ptr<QueueTimer> t;
  std::mutex m;
  {
    std::lock_guard<std::mutex> l(m);
    t = QueueTimer::repeating(q, 0ms, 2ms, [&] {
      std::lock_guard<std::mutex> l2(m);
      if (++fired == 3) t->cancel();
    });
  }
  ASSERT_TRUE(eventually([&] { return fired.load() >= 3; }));
  waitPast(q, 20ms);  // ten periods
  EXPECT_EQ(fired.load(), 3);
}

TEST(WorkItem, CancelledItemDoesNotRun) {
  SerialQueue q("test");
  std::atomic<int> ran{0};
  auto a = std::make_shared<WorkItem>([&] { ran += 1; });
  auto b = std::make_shared<WorkItem>([&] { ran += 10; });
  q.post([] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); });
  WorkItem::post(q, a);
  WorkItem::post(q, b);
  b->cancel();
  q.sync([] {});
  EXPECT_EQ(ran.load(), 1);
}
