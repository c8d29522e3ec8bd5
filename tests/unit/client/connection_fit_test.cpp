// Fitting the count of connections to the line: steps down on an overfull
// line, back up when a step down cost rate, doubling while windows fill.

#include "client/connection_fit.h"

#include <gtest/gtest.h>

#include "client/connection_set.h"

namespace quor {
namespace {

using std::chrono::milliseconds;

// Feeds the network thread's passes (one every 2 ms) for ms milliseconds
// of a line moving bytesPerSecond with open connections, busy of them
// carrying requests; returns the changes the fit asked for.
struct Line {
  ConnectionClock::time_point now = ConnectionClock::now();
  double received = 0;

  LineSample sample(size_t open, size_t busy) const {
    return {now, static_cast<uint64_t>(received), open, busy};
  }
  std::vector<size_t> run(ConnectionFit& fit, int ms, double bytesPerSecond, size_t open,
                          size_t busy) {
    std::vector<size_t> changes;
    for (int t = 0; t < ms; t += 2) {
      now += milliseconds(2);
      received += bytesPerSecond * 0.002;
      if (std::optional<size_t> count = fit.observe(sample(open, busy))) changes.push_back(*count);
    }
    return changes;
  }
};

using Changes = std::vector<size_t>;

TEST(ConnectionFit, StepsDownOnAnOverfullLineAndBackWhenThatCostRate) {
  {  // 16 connections at 50 ms on a 10 Mbit/s line, then a faster line
    Line line;
    ConnectionFit fit(milliseconds(50), 16, line.sample(16, 0));
    EXPECT_EQ(line.run(fit, 2900, 0.76e6, 16, 14), Changes{});
    EXPECT_EQ(line.run(fit, 200, 0.76e6, 16, 14), Changes{2});
    // The line's rate on two is kept: nothing more to do.
    EXPECT_EQ(line.run(fit, 9000, 1.22e6, 2, 2), Changes{});
    // Windows full: doubled up to the count the round trip chose.
    EXPECT_EQ(line.run(fit, 3100, 2.5e6, 2, 2), Changes{4});
    EXPECT_EQ(line.run(fit, 3100, 5e6, 4, 4), Changes{8});
    EXPECT_EQ(line.run(fit, 3100, 10e6, 8, 8), Changes{16});
    EXPECT_EQ(line.run(fit, 9000, 20e6, 16, 16), Changes{});
  }
  {  // heavy random loss at 100 ms: fewer connections carry less
    Line line;
    ConnectionFit fit(milliseconds(100), 16, line.sample(16, 0));
    EXPECT_EQ(line.run(fit, 3100, 1e6, 16, 16), Changes{4});
    EXPECT_EQ(line.run(fit, 3100, 0.3e6, 4, 4), Changes{16});
    EXPECT_EQ(line.run(fit, 20000, 1e6, 16, 16), Changes{});  // no step down again
  }
}

TEST(ConnectionFit, LeavesTheCountAloneWhileTheRunSetsThePaceOrTheCountSettles) {
  Line line;
  ConnectionFit fit(milliseconds(50), 8, line.sample(8, 0));
  // Nothing waits, or what waits moves at its windows' pace.
  EXPECT_EQ(line.run(fit, 9000, 1000, 8, 0), Changes{});
  EXPECT_EQ(line.run(fit, 9000, 2.6e6, 8, 2), Changes{});
  // A connection lost on the way is taken as the count; then the slow
  // line steps down, and no judgement is made until the count is reached
  // or kSettleTime has passed.
  EXPECT_EQ(line.run(fit, 3100, 0.2e6, 7, 7), Changes{2});
  EXPECT_EQ(line.run(fit, 9000, 0.2e6, 7, 7), Changes{});
  EXPECT_EQ(line.run(fit, 4100, 0.2e6, 7, 7), Changes{2});
  // A round trip of nothing (loopback) never judges.
  ConnectionFit noDistance(milliseconds(0), 4, line.sample(4, 0));
  EXPECT_EQ(line.run(noDistance, 9000, 1000, 4, 4), Changes{});
}

}  // namespace
}  // namespace quor
