// The update server's flow control: the order of replies, the window of
// each slot and the budget of big replies.

#include "server/reply_scheduler.h"

#include <gtest/gtest.h>

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

TEST(ReplyScheduler, QueueIsBoundedPerSlot) {
  ReplyScheduler scheduler(1, smallLimits());
  EXPECT_TRUE(scheduler.enqueue(0, reply("1", 1)));
  EXPECT_TRUE(scheduler.enqueue(0, reply("2", 1)));
  EXPECT_TRUE(scheduler.enqueue(0, reply("3", 1)));
  EXPECT_FALSE(scheduler.enqueue(0, reply("4", 1)));
  EXPECT_EQ(scheduler.queued(0), 3u);
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
