// The update server's flow control: the order of replies, the window of
// each slot and the budget of big replies.

#include "server/reply_scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace quor {
namespace {

QueuedReply reply(const std::string& name, uint64_t bytes) { return {name, "", bytes, bytes}; }

SchedulerLimits smallLimits() {
  SchedulerLimits limits;
  limits.peerWindowBytes = 100;
  limits.bigReplyBudgetBytes = 1000;
  limits.queuedRequestsPerSlot = 3;
  return limits;
}

TEST(ReplyScheduler, SlotsTakeTurns) {
  ReplyScheduler scheduler(3, smallLimits());
  scheduler.enqueue(0, reply("a1", 1));
  scheduler.enqueue(0, reply("a2", 1));
  scheduler.enqueue(2, reply("c1", 1));
  scheduler.enqueue(2, reply("c2", 1));
  std::vector<std::string> order;
  while (auto pick = scheduler.next()) order.push_back(pick->reply.name);
  EXPECT_EQ(order, (std::vector<std::string>{"a1", "c1", "a2", "c2"}));
}

TEST(ReplyScheduler, SlowSlotStopsAtItsWindowWhileOthersGoOn) {
  ReplyScheduler scheduler(2, smallLimits());
  scheduler.enqueue(0, reply("slow1", 60));
  scheduler.enqueue(0, reply("slow2", 60));
  scheduler.enqueue(0, reply("slow3", 60));
  auto first = scheduler.next();
  ASSERT_TRUE(first);
  ReplyTicket t1 = scheduler.started(0, 60);
  auto second = scheduler.next();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->reply.name, "slow2");
  scheduler.started(0, 60);
  // 120 bytes in flight, window 100: the slow slot waits, the other does not.
  EXPECT_FALSE(scheduler.next());
  scheduler.enqueue(1, reply("fast", 60));
  auto fast = scheduler.next();
  ASSERT_TRUE(fast);
  EXPECT_EQ(fast->slot, 1u);
  scheduler.released(t1);
  auto third = scheduler.next();
  ASSERT_TRUE(third);
  EXPECT_EQ(third->reply.name, "slow3");
}

TEST(ReplyScheduler, BigReplyWaitsUntilItsSlotIsIdle) {
  ReplyScheduler scheduler(1, smallLimits());
  scheduler.enqueue(0, reply("small", 10));
  scheduler.enqueue(0, reply("big", 500));
  ASSERT_TRUE(scheduler.next());
  ReplyTicket small = scheduler.started(0, 10);
  EXPECT_FALSE(scheduler.next());
  scheduler.released(small);
  auto big = scheduler.next();
  ASSERT_TRUE(big);
  EXPECT_EQ(big->reply.name, "big");
}

TEST(ReplyScheduler, CopiesOfBigRepliesShareTheBudget) {
  ReplyScheduler scheduler(3, smallLimits());
  scheduler.enqueue(0, reply("big0", 600));
  scheduler.enqueue(1, reply("big1", 600));
  scheduler.enqueue(2, reply("small", 50));
  auto big0 = scheduler.next();
  ASSERT_TRUE(big0);
  scheduler.copyCreated(600);
  ReplyTicket ticket = scheduler.started(0, 600);
  // 600 + 600 is over the budget of 1000; small replies still go.
  auto next = scheduler.next();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->reply.name, "small");
  EXPECT_FALSE(scheduler.next());
  scheduler.released(ticket);
  scheduler.copyReleased(600);
  EXPECT_EQ(scheduler.bigHeld(), 0u);
  auto big1 = scheduler.next();
  ASSERT_TRUE(big1);
  EXPECT_EQ(big1->reply.name, "big1");
  // Alone, a reply larger than the whole budget still starts.
  scheduler.enqueue(0, reply("huge", 5000));
  EXPECT_TRUE(scheduler.next());
}

TEST(ReplyScheduler, ABigReplyWhoseCopyIsHeldCostsNoBudget) {
  ReplyScheduler scheduler(3, smallLimits());
  scheduler.copyCreated(600);  // "big" is being sent to another peer
  scheduler.enqueue(0, reply("big", 600));
  scheduler.enqueue(1, reply("other", 600));
  auto isHeld = [](const QueuedReply& queued) { return queued.name == "big"; };
  auto first = scheduler.next(isHeld);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->reply.name, "big");
  EXPECT_FALSE(scheduler.next(isHeld));
  EXPECT_EQ(scheduler.bigHeld(), 600u);
}

// A player with eight connections and one with one, each keeping every
// connection's queue full: each gets half of the replies, in the order they
// asked within each player; a player who leaves drops out of the turns, and
// all slots together keep only the server-wide bytes in flight.
TEST(ReplyScheduler, PlayersNotSlotsTakeTurns) {
  SchedulerLimits limits;
  limits.serverInFlightBytes = 1000;
  ReplyScheduler scheduler(10, limits);
  for (size_t slot = 0; slot < 8; ++slot) scheduler.assignSlot(slot, 7);
  scheduler.assignSlot(9, 3);
  for (int round = 0; round < 20; ++round) {
    for (size_t slot = 0; slot < 8; ++slot) scheduler.enqueue(slot, reply("many" + std::to_string(slot), 10));
    scheduler.enqueue(9, reply("one", 10));
  }
  std::map<std::string, int> served;
  std::vector<size_t> manySlots;
  for (int i = 0; i < 40; ++i) {
    auto pick = scheduler.next();
    ASSERT_TRUE(pick);
    scheduler.started(pick->slot, 10);
    served[pick->reply.name == "one" ? "one" : "many"]++;
    if (pick->slot != 9) manySlots.push_back(pick->slot);
  }
  EXPECT_EQ(served["one"], 20);
  EXPECT_EQ(served["many"], 20);
  EXPECT_EQ(manySlots[0] + 1, manySlots[1]);  // the eight share the one turn

  // 400 bytes in flight of 1000: sixty more start, then nothing.
  int more = 0;
  while (auto pick = scheduler.next()) {
    scheduler.started(pick->slot, 10);
    ++more;
    if (more > 100) break;
  }
  EXPECT_EQ(more, 60);
  EXPECT_EQ(scheduler.inFlightEverywhere(), 1000u);

  // A player who leaves drops its queue; its packets still in flight
  // count server-wide until released.
  scheduler.resetSlot(9);
  EXPECT_EQ(scheduler.queued(9), 0u);
  EXPECT_EQ(scheduler.inFlightEverywhere(), 1000u);
  EXPECT_FALSE(scheduler.next());

  // The slots of one player share the player's window.
  limits.playerWindowBytes = 100;
  ReplyScheduler windowed(3, limits);
  windowed.assignSlot(0, 7);
  windowed.assignSlot(1, 7);
  for (size_t slot = 0; slot < 3; ++slot) {
    windowed.enqueue(slot, reply("a", 60));
    windowed.enqueue(slot, reply("b", 60));
  }
  std::vector<size_t> slots;
  while (auto pick = windowed.next()) {
    slots.push_back(pick->slot);
    windowed.started(pick->slot, 60);
  }
  std::sort(slots.begin(), slots.end());
  EXPECT_EQ(slots, (std::vector<size_t>{0, 1, 2, 2}));
}

// The server-wide bound shrinks as more players hold replies in flight:
// whole while few do, in proportion beyond, never below the crowd's bound.
TEST(ReplyScheduler, ManyPlayersShareASmallerBound) {
  SchedulerLimits limits;
  limits.serverInFlightBytes = 1000;
  limits.crowdInFlightBytes = 250;
  limits.fewPlayers = 4;
  for (size_t players : {4u, 10u, 20u}) {
    ReplyScheduler scheduler(players, limits);
    for (size_t slot = 0; slot < players; ++slot) {
      for (int i = 0; i < 100; ++i) scheduler.enqueue(slot, reply("f", 10));
    }
    while (auto pick = scheduler.next()) scheduler.started(pick->slot, 10);
    EXPECT_EQ(scheduler.inFlightEverywhere(), players == 4 ? 1000u : players == 10 ? 400u : 250u)
        << players << " players";
  }
}

// Eight ENet hosts on one address ask for many pieces and never read: they
// reach the server-wide bound, and still a player from another address is
// served, up to the half of the bound its address is due, while the eight
// start nothing more, not even from a ninth host.
TEST(ReplyScheduler, SlowReadersOfOneAddressCannotHoldTheWholeBound) {
  SchedulerLimits limits;
  limits.serverInFlightBytes = 1000;
  limits.fewPlayers = 100;
  ReplyScheduler scheduler(10, limits);
  for (size_t slot = 0; slot < 9; ++slot) scheduler.assignSlot(slot, 10 + slot, 1);
  scheduler.assignSlot(9, 20, 2);
  for (int i = 0; i < 16; ++i) {
    for (size_t slot = 0; slot < 8; ++slot) scheduler.enqueue(slot, reply("slow", 100));
  }
  std::vector<ReplyTicket> slow;
  while (auto pick = scheduler.next()) slow.push_back(scheduler.started(pick->slot, 100));
  EXPECT_EQ(scheduler.inFlightEverywhere(), 1000u);

  for (int i = 0; i < 20; ++i) scheduler.enqueue(9, reply("honest", 100));
  scheduler.enqueue(8, reply("ninth", 100));
  std::vector<ReplyTicket> honest;
  while (auto pick = scheduler.next()) {
    EXPECT_EQ(pick->reply.name, "honest");
    honest.push_back(scheduler.started(pick->slot, 100));
  }
  EXPECT_EQ(honest.size(), 5u);
  scheduler.released(honest[0]);
  auto again = scheduler.next();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->reply.name, "honest");
  scheduler.started(again->slot, 100);
  // Still above their half, the slow ones start nothing as they drain.
  for (int i = 0; i < 4; ++i) scheduler.released(slow[i]);
  EXPECT_FALSE(scheduler.next());
}

// Offers queued on a player's idle connections do not use up its turns:
// its data comes in the same turn, before the other player's second file.
TEST(ReplyScheduler, OffersDoNotUseUpATurn) {
  ReplyScheduler scheduler(4, SchedulerLimits{});
  for (size_t slot = 0; slot < 3; ++slot) scheduler.assignSlot(slot, 7);
  scheduler.assignSlot(3, 3);
  QueuedReply offer = reply("offer", 16);
  offer.kind = ReplyKind::kRangeOffer;
  scheduler.enqueue(0, offer);
  scheduler.enqueue(1, offer);
  scheduler.enqueue(2, reply("data7", 1000));
  scheduler.enqueue(3, reply("data3a", 1000));
  scheduler.enqueue(3, reply("data3b", 1000));
  std::vector<std::string> order;
  while (auto pick = scheduler.next()) order.push_back(pick->reply.name);
  auto at = [&order](const std::string& name) { return std::find(order.begin(), order.end(), name) - order.begin(); };
  ASSERT_EQ(order.size(), 5u);
  EXPECT_LT(at("data7"), at("data3b"));
}

TEST(ReplyScheduler, QueueIsBoundedPerSlot) {
  ReplyScheduler scheduler(1, smallLimits());
  EXPECT_TRUE(scheduler.enqueue(0, reply("1", 1)));
  EXPECT_TRUE(scheduler.enqueue(0, reply("2", 1)));
  EXPECT_TRUE(scheduler.enqueue(0, reply("3", 1)));
  EXPECT_FALSE(scheduler.enqueue(0, reply("4", 1)));
  EXPECT_EQ(scheduler.queued(0), 3u);

  // And all queues together.
  SchedulerLimits limits = smallLimits();
  limits.queuedBytes = 2 * (sizeof(QueuedReply) + 1);
  ReplyScheduler shared(2, limits);
  EXPECT_TRUE(shared.enqueue(0, reply("a", 1)));
  EXPECT_TRUE(shared.enqueue(1, reply("b", 1)));
  EXPECT_FALSE(shared.enqueue(1, reply("c", 1)));
  ASSERT_TRUE(shared.next());
  EXPECT_TRUE(shared.enqueue(1, reply("c", 1)));
}

TEST(ReplyScheduler, NewPeerInASlotStartsClean) {
  ReplyScheduler scheduler(1, smallLimits());
  scheduler.enqueue(0, reply("old", 500));
  ASSERT_TRUE(scheduler.next());
  ReplyTicket old = scheduler.started(0, 500);
  scheduler.enqueue(0, reply("stale", 1));
  scheduler.resetSlot(0);
  EXPECT_EQ(scheduler.queued(0), 0u);
  EXPECT_EQ(scheduler.inFlight(0), 0u);
  scheduler.enqueue(0, reply("fresh", 1));
  ASSERT_TRUE(scheduler.next());
  scheduler.started(0, 1);
  // The old peer's packet released late no longer counts for the slot.
  scheduler.released(old);
  EXPECT_EQ(scheduler.inFlight(0), 1u);
}

}  // namespace
}  // namespace quor
