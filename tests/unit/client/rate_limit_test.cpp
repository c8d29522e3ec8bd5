// The download cap: how its value is read, and when its gate lets a
// request go.

#include "client/rate_limit.h"

#include <gtest/gtest.h>

namespace quor {
namespace {

TEST(RateLimit, ValuesReadAsCurlReadsThem) {
  EXPECT_EQ(parseRateText("1500"), 1500u);
  EXPECT_EQ(parseRateText("500k"), 500u * 1024);
  EXPECT_EQ(parseRateText("2M"), 2u << 20);
  EXPECT_EQ(parseRateText("1g"), 1u << 30);
  EXPECT_EQ(parseRateText("1024G"), uint64_t{1} << 40);
  for (const char* bad : {"", "0", "0k", "k", "2MB", "1.5M", "-1", " 2M", "1025G",
                          "99999999999999999", "2x"}) {
    EXPECT_FALSE(parseRateText(bad)) << bad;
  }
}

TEST(RateLimit, GateKeepsReceivedAndAskedWithinTheAllowance) {
  auto start = RateGate::Clock::now();
  RateGate gate(1000, start, 5000);  // 1000 B/s; 5000 bytes came before the cap
  auto at = [start](int ms) { return start + std::chrono::milliseconds(ms); };
  // A tenth of a second's worth goes at once; more waits for its time.
  EXPECT_TRUE(gate.allows(5000, 0, 100, at(0)));
  EXPECT_FALSE(gate.allows(5000, 0, 101, at(0)));
  EXPECT_TRUE(gate.allows(5000, 0, 1000, at(900)));
  // What is in flight and what already came count alike.
  EXPECT_FALSE(gate.allows(5000, 500, 600, at(900)));
  EXPECT_FALSE(gate.allows(5500, 0, 600, at(900)));
  EXPECT_TRUE(gate.allows(5500, 0, 600, at(1000)));
  // Received bytes below the start (a counter reset) count as none.
  EXPECT_TRUE(gate.allows(0, 0, 100, at(0)));
  // Hours later the sums still hold.
  EXPECT_TRUE(gate.allows(5000 + 3600u * 1000 * 24, 0, 100, at(3600 * 1000 * 24)));
}

}  // namespace
}  // namespace quor
