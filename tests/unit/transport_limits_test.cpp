// What one ENet packet can carry at a given datagram size.

#include "net/transport_limits.h"

#include <gtest/gtest.h>

namespace quor {
namespace {

TEST(TransportLimits, DeliverablePacketGrowsWithTheDatagramSize) {
  EXPECT_EQ(largestDeliverablePacket(1400), 6u * 4096u * 1372u);
  EXPECT_EQ(largestDeliverablePacket(kClientMtu), 6u * 4096u * 4068u);
  EXPECT_GT(largestDeliverablePacket(kClientMtu), 40u << 20);
  EXPECT_EQ(largestDeliverablePacket(0), largestDeliverablePacket(ENET_PROTOCOL_MINIMUM_MTU));
}

}  // namespace
}  // namespace quor
