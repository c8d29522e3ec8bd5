// The bookkeeping of repeated lines, on a clock the test moves.
#include "log/repeat_limit.h"

#include <gtest/gtest.h>

namespace quor {
namespace {

TEST(RepeatLimit, ABurstPassesTheRestIsCountedAndToldOncePerInterval) {
  RepeatLimit limit;
  auto start = RepeatLimit::Clock::now();
  int passed = 0;
  for (int i = 0; i < 100; ++i) passed += limit.admit("bad from A", "line " + std::to_string(i), start);
  EXPECT_EQ(passed, static_cast<int>(RepeatLimit::kBurst));
  EXPECT_TRUE(limit.admit("bad from B", "other peer", start));  // one peer hides no other
  EXPECT_TRUE(limit.pending());
  EXPECT_TRUE(limit.takeEnded(start + RepeatLimit::kInterval / 2).empty());

  std::vector<RepeatLimit::Summary> told = limit.takeEnded(start + RepeatLimit::kInterval);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].leftOut, 100u - RepeatLimit::kBurst);
  EXPECT_EQ(told[0].lastText, "line 99");
  EXPECT_FALSE(limit.pending());
  EXPECT_TRUE(limit.admit("bad from A", "a new interval", start + RepeatLimit::kInterval));

  // Kinds beyond the bound share one entry, so a flood of new kinds (a
  // stranger from ever new ports) cannot grow the table either.
  for (size_t i = 0; i < RepeatLimit::kMaxKinds + 100; ++i) {
    limit.admit("kind " + std::to_string(i), "x", start);
  }
  told = limit.takeEnded(start, true);
  ASSERT_EQ(told.size(), 1u);
  // "bad from A" holds one place: 101 kinds overflow into the shared one.
  EXPECT_EQ(told[0].leftOut, 101u - RepeatLimit::kBurst);
}

}  // namespace
}  // namespace quor
