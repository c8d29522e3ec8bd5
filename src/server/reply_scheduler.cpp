#include "server/reply_scheduler.h"

#include <utility>

namespace quor {

ReplyScheduler::ReplyScheduler(size_t slotCount, SchedulerLimits limits)
    : limits_(limits), slots_(slotCount) {}

bool ReplyScheduler::enqueue(size_t slot, QueuedReply reply) {
  Slot& target = slots_[slot];
  if (target.queue.size() >= limits_.queuedRequestsPerSlot) return false;
  target.queue.push_back(std::move(reply));
  return true;
}

void ReplyScheduler::resetSlot(size_t slot) {
  Slot& target = slots_[slot];
  target.queue.clear();
  target.inFlight = 0;
  ++target.generation;
}

bool ReplyScheduler::mayStart(const Slot& slot, const IsHeld& isHeld) const {
  if (slot.queue.empty() || slot.inFlight >= limits_.peerWindowBytes) return false;
  const QueuedReply& front = slot.queue.front();
  if (!isBig(front.bytes)) return true;
  if (slot.inFlight != 0) return false;
  if (isHeld && isHeld(front)) return true;
  return bigHeld_ == 0 || bigHeld_ + front.bytes <= limits_.bigReplyBudgetBytes;
}

std::optional<ReplyScheduler::Pick> ReplyScheduler::next(const IsHeld& isHeld) {
  for (size_t step = 0; step < slots_.size(); ++step) {
    size_t index = (cursor_ + step) % slots_.size();
    Slot& slot = slots_[index];
    if (!mayStart(slot, isHeld)) continue;
    Pick pick{index, std::move(slot.queue.front())};
    slot.queue.pop_front();
    cursor_ = (index + 1) % slots_.size();
    return pick;
  }
  return std::nullopt;
}

ReplyTicket ReplyScheduler::started(size_t slot, uint64_t bytes) {
  slots_[slot].inFlight += bytes;
  return {slot, slots_[slot].generation, bytes};
}

void ReplyScheduler::released(const ReplyTicket& ticket) {
  Slot& slot = slots_[ticket.slot];
  if (ticket.generation == slot.generation) slot.inFlight -= ticket.bytes;
}

void ReplyScheduler::copyCreated(uint64_t bytes) {
  if (isBig(bytes)) bigHeld_ += bytes;
}

void ReplyScheduler::copyReleased(uint64_t bytes) {
  if (isBig(bytes)) bigHeld_ -= bytes;
}

}  // namespace quor
