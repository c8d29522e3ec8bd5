// Which connections the server closes for not taking their data.

#include "server/drain_watch.h"

#include <gtest/gtest.h>

namespace quor {
namespace {

using std::chrono::seconds;

// Over windows of 10 s at 100 bytes a second: a peer that takes nothing,
// or too little of much, is stalled at the window's end, not before; one
// that takes the rate, or all of the little it had, is not; a window starts
// again after a time with nothing in flight.
TEST(DrainWatch, ClosesOnlyPeersThatTakeTooLittle) {
  DrainWatch watch(3, DrainLimits{seconds(10), 100});
  DrainWatch::Clock::time_point t0{};
  uint64_t acked[3] = {0, 0, 0};
  auto look = [&](size_t slot, int at, uint64_t inFlight) {
    return watch.stalled(slot, t0 + seconds(at), inFlight, [&] { return acked[slot]; });
  };
  for (size_t slot = 0; slot < 3; ++slot) EXPECT_FALSE(look(slot, 0, 5000));
  acked[1] = 1000;  // the rate, exactly
  acked[2] = 999;
  EXPECT_FALSE(look(0, 9, 5000));
  EXPECT_TRUE(look(0, 10, 5000));
  EXPECT_FALSE(look(1, 10, 5000));
  EXPECT_TRUE(look(2, 10, 5000));

  // A new peer with only 300 in flight when its window began owes those;
  // in the next window, the rate.
  watch.reset(1);
  EXPECT_FALSE(look(1, 12, 300));
  acked[1] += 300;
  EXPECT_FALSE(look(1, 22, 9000));
  acked[1] += 999;
  EXPECT_TRUE(look(1, 32, 9000));

  // Nothing in flight ends a window; the next one starts with new data.
  watch.reset(0);
  EXPECT_FALSE(look(0, 30, 5000));
  EXPECT_FALSE(look(0, 35, 0));
  EXPECT_FALSE(look(0, 41, 5000));
  EXPECT_FALSE(look(0, 50, 5000));
  EXPECT_TRUE(look(0, 51, 5000));
}

}  // namespace
}  // namespace quor
