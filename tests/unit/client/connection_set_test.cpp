// The bookkeeping of the client's connections: where requests go, what a
// reply ends, what a dropped connection hands back, and how many
// connections a round trip calls for.

#include "client/connection_set.h"

#include <gtest/gtest.h>

namespace quor {
namespace {

ENetPeer* fakePeer(uintptr_t n) { return reinterpret_cast<ENetPeer*>(n * 64); }

SentRequest request(const std::string& name, std::optional<uint64_t> offset, uint64_t weight) {
  return {{name, offset}, weight, Bytes{1, 2, 3}};
}

TEST(ConnectionSet, SpreadsRequestsAndHandsBackWhatADroppedConnectionCarried) {
  ConnectionSet set;
  auto now = ConnectionClock::now();
  set.add(fakePeer(1), true);
  set.add(fakePeer(2), false);
  set.add(fakePeer(3), true);
  EXPECT_EQ(set.first(), fakePeer(1));
  EXPECT_EQ(set.connectedCount(), 2u);

  // Unconnected connections carry nothing; equal loads go to the earliest.
  set.sent(set.leastLoaded(), request("a", 0, 100), now);
  EXPECT_EQ(set.leastLoaded(), fakePeer(3));
  set.sent(set.leastLoaded(), request("a", 100, 100), now);
  set.markConnected(fakePeer(2));
  EXPECT_EQ(set.leastLoaded(), fakePeer(2));
  set.sent(fakePeer(2), request("b", std::nullopt, 50), now);
  set.sent(fakePeer(2), request("a", 200, 100), now);

  // A reply ends the request it answers on its own connection only.
  set.answered(fakePeer(1), ReplyKey{"a", 100}, now);
  EXPECT_EQ(set.unansweredCount(fakePeer(1)), 1u);
  set.answered(fakePeer(2), ReplyKey{"b", std::nullopt}, now);
  EXPECT_EQ(set.unansweredCount(fakePeer(2)), 1u);
  set.answered(fakePeer(2), std::nullopt, now);
  EXPECT_EQ(set.unansweredCount(fakePeer(2)), 1u);

  std::vector<SentRequest> carried = set.drop(fakePeer(2));
  ASSERT_EQ(carried.size(), 1u);
  EXPECT_EQ(carried[0].key, (ReplyKey{"a", 200}));
  EXPECT_EQ(set.size(), 2u);
  EXPECT_TRUE(set.drop(fakePeer(2)).empty());

  // Idle: connected, nothing to come, nothing sent since the cutoff.
  set.answered(fakePeer(3), ReplyKey{"a", 100}, now);
  std::vector<ENetPeer*> idle = set.takeIdleSince(now + std::chrono::seconds(1), now);
  EXPECT_EQ(idle, std::vector<ENetPeer*>{fakePeer(3)});
  EXPECT_TRUE(set.takeIdleSince(now, now).empty());

  // Steps down close the newest connected connections, never the first.
  set.add(fakePeer(4), false);
  EXPECT_EQ(set.busyCount(), 1u);  // 1 still carries "a"@0
  EXPECT_EQ(set.newestConnected(5), std::vector<ENetPeer*>{fakePeer(3)});

  // One the server is closing takes nothing new, but keeps what it carried.
  set.markClosing(fakePeer(1));
  EXPECT_EQ(set.first(), fakePeer(3));
  EXPECT_EQ(set.leastLoaded(), fakePeer(3));
  EXPECT_EQ(set.connectedCount(), 1u);
  EXPECT_TRUE(set.unconnectedPeers() == std::vector<ENetPeer*>{fakePeer(4)});
  EXPECT_EQ(set.drop(fakePeer(1)).size(), 1u);

  // The round trip is the first connection's first request and reply, or
  // its connect when that was shorter.
  ASSERT_TRUE(set.firstRoundTrip());
  EXPECT_EQ(*set.firstRoundTrip(), ConnectionClock::duration::zero());
  ConnectionSet busy;
  busy.add(fakePeer(1), true);
  busy.connectTook(std::chrono::milliseconds(3));
  busy.sent(fakePeer(1), request("m", std::nullopt, 1), now);
  busy.answered(fakePeer(1), ReplyKey{"m", std::nullopt}, now + std::chrono::seconds(2));
  EXPECT_EQ(*busy.firstRoundTrip(), std::chrono::milliseconds(3));
}

// The longest-waiting connection counts as stalled only when the transport
// says it is stuck or a later request was answered on another connection;
// otherwise it is waiting its turn.
TEST(ConnectionSet, StalledMeansStuckOrPassedOver) {
  ConnectionSet set;
  auto now = ConnectionClock::now();
  set.add(fakePeer(1), true);
  set.add(fakePeer(2), true);
  auto never = [](ENetPeer*) { return false; };
  auto always = [](ENetPeer*) { return true; };
  EXPECT_EQ(set.stalled(always), nullptr);
  set.sent(fakePeer(1), request("x", std::nullopt, 10), now);
  set.sent(fakePeer(2), request("y", std::nullopt, 10), now + std::chrono::seconds(1));
  EXPECT_EQ(set.stalled(never), nullptr);
  EXPECT_EQ(set.stalled(always), fakePeer(1));
  set.answered(fakePeer(2), ReplyKey{"y", std::nullopt}, now + std::chrono::seconds(2));
  EXPECT_EQ(set.stalled(never), fakePeer(1));
}

TEST(ConnectionSet, ConnectionCountFollowsTheRoundTrip) {
  using std::chrono::milliseconds;
  EXPECT_EQ(chooseConnectionCount(0, std::nullopt), 2u);
  EXPECT_EQ(chooseConnectionCount(0, milliseconds(0)), 2u);
  EXPECT_EQ(chooseConnectionCount(0, milliseconds(20)), 8u);
  EXPECT_EQ(chooseConnectionCount(0, milliseconds(40)), 15u);
  EXPECT_EQ(chooseConnectionCount(0, milliseconds(5000)), kMaxServerConnections);
  EXPECT_EQ(chooseConnectionCount(1, milliseconds(200)), 1u);
  EXPECT_EQ(chooseConnectionCount(99, std::nullopt), kMaxServerConnections);
}

}  // namespace
}  // namespace quor
