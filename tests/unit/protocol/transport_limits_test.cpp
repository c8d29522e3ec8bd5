// What one ENet packet can carry at a given datagram size.

#include "protocol/transport_limits.h"

#include <gtest/gtest.h>

namespace quor {
namespace {

TEST(TransportLimits, DeliverablePacketGrowsWithTheDatagramSize) {
  EXPECT_EQ(largestDeliverablePacket(1400), 6u * 4096u * 1372u);
  EXPECT_EQ(largestDeliverablePacket(4096), 6u * 4096u * 4068u);
  EXPECT_EQ(largestDeliverablePacket(0), largestDeliverablePacket(ENET_PROTOCOL_MINIMUM_MTU));
  // A client at ENet's default datagram size takes a whole-file reply of
  // what one packet carries, and a range reply of a full piece.
  EXPECT_EQ(ENET_HOST_DEFAULT_MTU, 1400);
  EXPECT_GE(largestClientPacket(), largestDeliverablePacket(ENET_HOST_DEFAULT_MTU));
  EXPECT_GE(largestClientPacket(), kMaxPieceSize + kReplyHeadRoom);
  EXPECT_LE(kMaxPieceSize + kReplyHeadRoom, largestDeliverablePacket(ENET_PROTOCOL_MINIMUM_MTU));
}

}  // namespace
}  // namespace quor
