// Video chunks, the drop rules before them, and the simulated bottleneck.
#include "rtc/SendRule.h"
#include "rtc/SimLink.h"
#include "rtc/VideoChunks.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace rtc;

namespace {

struct Header {
  uint32_t frame;
  uint16_t index, count;
};
Header header(const std::string& c) {
  auto b = [&c](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(c[i])); };
  return {b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3), static_cast<uint16_t>(b(4) << 8 | b(5)),
          static_cast<uint16_t>(b(6) << 8 | b(7))};
}

std::vector<std::string> cut(uint32_t frame, const std::vector<uint8_t>& p) {
  std::vector<std::string> out;
  auto n = chunkCount(p.size());
  for (uint16_t i = 0; n && i < *n; ++i) out.push_back(videoChunk(frame, i, *n, p.data(), p.size()));
  return out;
}

TEST(VideoChunks, SizesAndHeaders) {
  struct Case {
    size_t bytes;
    std::vector<size_t> payloads;
  };
  std::vector<Case> cases = {
      {0, {0}}, {1, {1}}, {15000, {15000}}, {15001, {15000, 1}}, {30001, {15000, 15000, 1}}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    std::vector<uint8_t> p(c.bytes);
    std::iota(p.begin(), p.end(), 0);
    auto chunks = cut(0xfffffffeu, p);
    ASSERT_EQ(chunks.size(), c.payloads.size());
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < chunks.size(); ++i) {
      ASSERT_EQ(chunks[i].size(), kChunkHeader + c.payloads[i]);
      auto h = header(chunks[i]);
      EXPECT_EQ(h.frame, 0xfffffffeu);
      EXPECT_EQ(h.index, i);
      EXPECT_EQ(h.count, chunks.size());
      joined.insert(joined.end(), chunks[i].begin() + kChunkHeader, chunks[i].end());
    }
    EXPECT_EQ(joined, p);  // every byte once, in order
  }
}

TEST(VideoChunks, CountLimit) {
  EXPECT_EQ(chunkCount(65535 * kChunkPayload), 65535);
  EXPECT_FALSE(chunkCount(65535 * kChunkPayload + 1));
  // The count field is 16 bits: the last representable chunk's header is exact.
  uint8_t byte = 7;
  auto last = videoChunk(1, 65534, 65535, &byte, 1);
  EXPECT_EQ(header(last).index, 65534);
  EXPECT_EQ(header(last).count, 65535);
}

SendInput at(uint64_t queued, bool key, bool needKey = false, int64_t rate = 3000000, bool legacy = false) {
  return {queued, key, needKey, rate, legacy, 1000};
}

TEST(SendRule, NormalRuleAtTheWorkedValues) {
  struct Case {
    const char* what;
    SendInput in;
    bool send, needKey;
    int dropsP, dropsK;
  };
  std::vector<Case> cases = {
      {"delta at the limit", at(93750, false), true, false, 0, 0},
      {"delta over the limit", at(93751, false), false, true, 1, 0},
      {"100000 queued: delta dropped", at(100000, false), false, true, 1, 0},
      {"100000 queued: key sent", at(100000, true, true), true, false, 0, 0},
      {"key at its limit", at(234375, true), true, false, 0, 0},
      {"key over its limit", at(234376, true), false, true, 0, 1},
      {"1 Mbit/s uses the 60000 floor", at(60001, false, false, 1000000), false, true, 1, 0},
      {"1 Mbit/s key floor", at(150001, true, false, 1000000), false, true, 0, 1},
      {"1 Mbit/s key under floor", at(150000, true, true, 1000000), true, false, 0, 0},
      {"waiting for a key: delta not counted", at(0, false, true), false, true, 0, 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto d = decideSend(c.in);
    EXPECT_EQ(d.send, c.send);
    EXPECT_EQ(d.needKey, c.needKey);
    EXPECT_EQ(d.dropsP, c.dropsP);
    EXPECT_EQ(d.dropsK, c.dropsK);
    EXPECT_FALSE(d.askKeyNow);  // the tick asks, once drained
  }
}

TEST(SendRule, LegacyRuleSetsNeedKeyOnEveryDrop) {
  auto delta = decideSend(at(400001, false, false, 3000000, true));
  EXPECT_FALSE(delta.send);
  EXPECT_TRUE(delta.needKey);
  EXPECT_TRUE(delta.askKeyNow);
  EXPECT_EQ(delta.dropsP, 0);
  EXPECT_TRUE(decideSend(at(400000, false, false, 3000000, true)).send);
  // A key frame dropped over 3000000 must not let the deltas after it through.
  auto key = decideSend(at(3000001, true, false, 3000000, true));
  EXPECT_FALSE(key.send);
  EXPECT_TRUE(key.needKey);
  EXPECT_FALSE(decideSend(at(0, false, key.needKey, 3000000, true)).send);
  auto passed = decideSend(at(3000000, true, true, 3000000, true));
  EXPECT_TRUE(passed.send);
  EXPECT_FALSE(passed.needKey);
}

TEST(SendRule, NeedKeyRunAndOversizePacket) {
  // Drop a delta, skip the deltas after it, let the key frame through, then deltas again.
  bool needKey = false;
  std::vector<std::pair<SendInput, bool>> run = {
      {at(200000, false), false}, {at(0, false), false}, {at(0, false), false},
      {at(0, true), true},        {at(0, false), true}};
  for (size_t i = 0; i < run.size(); ++i) {
    auto in = run[i].first;
    in.needKey = needKey;
    auto d = decideSend(in);
    EXPECT_EQ(d.send, run[i].second) << i;
    needKey = d.needKey;
  }
  SendInput huge = at(0, true);
  huge.size = 65535 * kChunkPayload + 1;
  auto d = decideSend(huge);
  EXPECT_FALSE(d.send);
  EXPECT_TRUE(d.needKey);
}

TEST(SimLink, RateDelayAndOrder) {
  SimLink s;
  s.kbps = 800;  // 100 bytes per ms
  s.delayMs = 100;
  std::vector<int> got;
  auto t1 = s.hold(10000, true, 1000.0, [&] { got.push_back(1); });
  auto t2 = s.hold(10000, false, 1000.0, [&] { got.push_back(2); });
  EXPECT_NEAR(t1.after, 0.1 + 0.05, 1e-9);  // 100 ms on the wire plus half the delay
  EXPECT_NEAR(t2.after, 0.2 + 0.05, 1e-9);
  EXPECT_EQ(s.queueBytes(), 20000);
  // Timers of equal time may fire in either order: the oldest still leaves first.
  s.release(t2);
  EXPECT_EQ(got, std::vector<int>{1});
  EXPECT_EQ(s.queueBytes(), 10000);
  s.release(t1);
  EXPECT_EQ(got, (std::vector<int>{1, 2}));
  EXPECT_EQ(s.queueBytes(), 0);
  // An idle link starts from now again.
  EXPECT_NEAR(s.hold(0, true, 2000.0, [] {}).after, 0.05, 1e-9);
}

TEST(SimLink, LossOnlyForBinary) {
  SimLink s;
  s.lossPct = 100;
  s.draw = [] { return 99.999; };
  int text = 0, bin = 0;
  auto a = s.hold(5, true, 0, [&] { ++bin; });
  auto b = s.hold(5, false, 0, [&] { ++text; });
  s.release(a);
  s.release(b);
  EXPECT_EQ(bin, 0);
  EXPECT_EQ(text, 1);
  EXPECT_EQ(s.queueBytes(), 0);
  s.lossPct = 50;
  s.draw = [] { return 50.0; };  // not below 50: kept
  auto c = s.hold(5, true, 0, [&] { ++bin; });
  s.release(c);
  EXPECT_EQ(bin, 1);
}

TEST(SimLink, OldSessionSendsDoNotTouchTheNewQueue) {
  SimLink s;
  s.delayMs = 1000;
  int old = 0, fresh = 0;
  auto a = s.hold(50000, true, 0, [&] { ++old; });
  s.reset();
  auto b = s.hold(3000, true, 0, [&] { ++fresh; });
  s.release(a);  // the old session's timer fires late
  EXPECT_EQ(s.queueBytes(), 3000);
  EXPECT_EQ(old, 0);
  EXPECT_EQ(fresh, 0);
  s.release(b);
  EXPECT_EQ(s.queueBytes(), 0);
  EXPECT_EQ(fresh, 1);
}

TEST(SimLink, Blackout) {
  SimLink s;
  s.blackout = std::make_pair(2.0, 3.0);
  EXPECT_FALSE(s.blackedOut(100.0));  // no session opened yet
  s.t0 = 100.0;
  for (auto [now, out] : std::vector<std::pair<double, bool>>{
           {101.999, false}, {102.0, true}, {104.999, true}, {105.0, false}})
    EXPECT_EQ(s.blackedOut(now), out) << now;
  EXPECT_FALSE(s.shaping());  // an outage alone does not shape
}

}  // namespace
