// The clock of a reply wait: a server that sends nothing for the limit is
// given up on; one still sending is waited for, within an outer bound.
#include "update/reply_wait.h"

#include <gtest/gtest.h>

namespace quor {
namespace {

using namespace std::chrono_literals;
using Clock = ReplyWaitClock::Clock;

struct FakeLine {
  uint64_t received = 0;
  ReplyWait wait;
  FakeLine() : wait(14s) { wait.receivedBytes = [this] { return received; }; }
};

TEST(ReplyWait, ReplyWaitClockSilenceEndsTheWaitAfterTheLimit) {
  FakeLine line;
  Clock::time_point start{};
  ReplyWaitClock clock(line.wait, start);
  EXPECT_FALSE(clock.expired(start + 14s));
  line.received += kProgressBytes - 1;  // keep-alive traffic is no progress
  EXPECT_TRUE(clock.expired(start + 14s + 1ms));
}

TEST(ReplyWait, ReplyWaitClockDataOnItsWayStartsTheClockAgain) {
  FakeLine line;
  Clock::time_point start{};
  ReplyWaitClock clock(line.wait, start);
  // A large reply over a slow line: 64 KiB every 10 s for a minute.
  for (int step = 1; step <= 6; ++step) {
    line.received += kProgressBytes;
    EXPECT_FALSE(clock.expired(start + step * 10s)) << step;
  }
  EXPECT_FALSE(clock.expired(start + 74s));
  EXPECT_TRUE(clock.expired(start + 74s + 1ms));
}

TEST(ReplyWait, ReplyWaitClockNoWaitOutlastsTheOuterBound) {
  FakeLine line;
  line.wait.longest = 60s;
  Clock::time_point start{};
  ReplyWaitClock clock(line.wait, start);
  for (auto at = 1s; at <= 60s; at += 1s) {
    line.received += kProgressBytes;
    EXPECT_FALSE(clock.expired(start + at));
  }
  line.received += kProgressBytes;
  EXPECT_TRUE(clock.expired(start + 60s + 1ms));
}

}  // namespace
}  // namespace quor
