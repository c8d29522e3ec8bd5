#include "server/reply_scheduler.h"

#include <algorithm>
#include <utility>

namespace quor {
namespace {

// The key of a slot that no player was assigned to: a player of its own.
// Keys of real players (an IPv4 address and a port) stay below it.
uint64_t ownPlayer(size_t slot) { return (uint64_t{1} << 63) | slot; }

// The key of a slot that is in no player's list: it has had nothing queued
// since its last reset. Such slots cost next() nothing, so that a table of
// thousands of free slots is not walked on every pass.
constexpr uint64_t kNoPlayer = ~uint64_t{0};

// What a queued reply costs in memory: its entry and its texts.
uint64_t entryBytes(const QueuedReply& reply) {
  return sizeof(QueuedReply) + reply.name.size() + reply.refusal.size();
}

}  // namespace

ReplyScheduler::ReplyScheduler(size_t slotCount, SchedulerLimits limits)
    : limits_(limits), slots_(slotCount) {
  for (Slot& slot : slots_) slot.player = kNoPlayer;
}

bool ReplyScheduler::enqueue(size_t slot, QueuedReply reply) {
  Slot& target = slots_[slot];
  if (target.queue.size() >= limits_.queuedRequestsPerSlot) return false;
  uint64_t cost = entryBytes(reply);
  if (queuedBytes_ + cost > limits_.queuedBytes) return false;
  queuedBytes_ += cost;
  if (target.player == kNoPlayer) join(slot, ownPlayer(slot), ownPlayer(slot));
  target.queue.push_back(std::move(reply));
  return true;
}

void ReplyScheduler::dropQueue(Slot& slot) {
  for (const QueuedReply& reply : slot.queue) queuedBytes_ -= entryBytes(reply);
  slot.queue.clear();
}

void ReplyScheduler::holdMore(const Slot& slot, uint64_t bytes) {
  uint64_t& player = playerInFlight_[slot.player];
  AddressHold& address = addressInFlight_[slot.address];
  if (player == 0) ++address.players;
  player += bytes;
  address.bytes += bytes;
  attributedInFlight_ += bytes;
}

void ReplyScheduler::holdLess(uint64_t player, uint64_t address, uint64_t bytes) {
  auto held = playerInFlight_.find(player);
  if (held == playerInFlight_.end()) return;
  held->second -= bytes;
  attributedInFlight_ -= bytes;
  auto where = addressInFlight_.find(address);
  where->second.bytes -= bytes;
  if (held->second != 0) return;
  playerInFlight_.erase(held);
  if (--where->second.players == 0) addressInFlight_.erase(where);
}

void ReplyScheduler::resetSlot(size_t slot) {
  Slot& target = slots_[slot];
  dropQueue(target);
  holdLess(target.player, target.address, target.inFlight);
  target.inFlight = 0;
  ++target.generation;
  leave(slot);
}

void ReplyScheduler::assignSlot(size_t slot, uint64_t player, std::optional<uint64_t> address) {
  resetSlot(slot);
  join(slot, player, address.value_or(player));
}

void ReplyScheduler::join(size_t slot, uint64_t player, uint64_t address) {
  slots_[slot].player = player;
  slots_[slot].address = address;
  auto found = std::find_if(players_.begin(), players_.end(),
                            [player](const Player& p) { return p.key == player; });
  if (found == players_.end()) {
    // A new player waits for its turn: it goes in just before the cursor.
    found = players_.insert(players_.begin() + static_cast<long>(cursor_), Player{player, {}, 0});
    cursor_ = (cursor_ + 1) % players_.size();
  }
  found->slots.push_back(slot);
}

void ReplyScheduler::leave(size_t slot) {
  uint64_t player = std::exchange(slots_[slot].player, kNoPlayer);
  if (player == kNoPlayer) return;
  auto found = std::find_if(players_.begin(), players_.end(),
                            [player](const Player& p) { return p.key == player; });
  if (found == players_.end()) return;
  std::vector<size_t>& slots = found->slots;
  slots.erase(std::remove(slots.begin(), slots.end(), slot), slots.end());
  if (found->cursor >= slots.size()) found->cursor = 0;
  if (!slots.empty()) return;
  size_t index = static_cast<size_t>(found - players_.begin());
  players_.erase(found);
  if (index < cursor_) --cursor_;
  if (cursor_ >= players_.size()) cursor_ = 0;
}

bool ReplyScheduler::mayStart(const Player& player, const Slot& slot, const IsHeld& isHeld) const {
  if (slot.queue.empty() || slot.inFlight >= limits_.peerWindowBytes) return false;
  auto held = playerInFlight_.find(player.key);
  if (held != playerInFlight_.end() && held->second >= limits_.playerWindowBytes) return false;
  const QueuedReply& front = slot.queue.front();
  if (totalInFlight_ >= serverBound() && !withinFairPart(slot, front.bytes)) return false;
  if (!isBig(front.bytes)) return true;
  if (slot.inFlight != 0) return false;
  if (isHeld && isHeld(front)) return true;
  return bigHeld_ == 0 || bigHeld_ + front.bytes <= limits_.bigReplyBudgetBytes;
}

// The next reply of one of player's slots, the slot after the last one
// served first.
std::optional<ReplyScheduler::Pick> ReplyScheduler::take(Player& player, const IsHeld& isHeld) {
  size_t count = player.slots.size();
  for (size_t step = 0; step < count; ++step) {
    size_t at = (player.cursor + step) % count;
    size_t index = player.slots[at];
    Slot& slot = slots_[index];
    if (!mayStart(player, slot, isHeld)) continue;
    Pick pick{index, std::move(slot.queue.front())};
    slot.queue.pop_front();
    queuedBytes_ -= entryBytes(pick.reply);
    player.cursor = (at + 1) % count;
    return pick;
  }
  return std::nullopt;
}

uint64_t ReplyScheduler::serverBound() const {
  size_t players = playerInFlight_.size();
  if (players <= limits_.fewPlayers) return limits_.serverInFlightBytes;
  uint64_t shared = limits_.serverInFlightBytes * limits_.fewPlayers / players;
  return std::max(shared, std::min(limits_.crowdInFlightBytes, limits_.serverInFlightBytes));
}

// Past the bound, the bound is shared: each address holding replies in
// flight gets an equal part (packets of peers gone count as one more), and
// its players equal parts of that. An address with nothing in flight may
// always start one reply, so no crowd of slow readers shuts anyone out.
bool ReplyScheduler::withinFairPart(const Slot& slot, uint64_t bytes) const {
  auto address = addressInFlight_.find(slot.address);
  if (address == addressInFlight_.end()) return true;
  size_t addresses = addressInFlight_.size() + (attributedInFlight_ < totalInFlight_ ? 1 : 0);
  uint64_t addressPart = serverBound() / addresses;
  if (address->second.bytes + bytes > addressPart) return false;
  auto player = playerInFlight_.find(slot.player);
  if (player == playerInFlight_.end()) return true;
  return player->second + bytes <= addressPart / address->second.players;
}

std::optional<ReplyScheduler::Pick> ReplyScheduler::next(const IsHeld& isHeld) {
  for (size_t step = 0; step < players_.size(); ++step) {
    size_t index = (cursor_ + step) % players_.size();
    if (std::optional<Pick> pick = take(players_[index], isHeld)) {
      // An answer without file data (an offer, a refusal) does not use up
      // the player's turn: a client's idle connections each send a hello
      // now and then, and their offers would otherwise take the turns its
      // data waits for.
      bool carriesData = pick->reply.kind != ReplyKind::kRangeOffer && pick->reply.refusal.empty();
      cursor_ = carriesData ? (index + 1) % players_.size() : index;
      return pick;
    }
  }
  return std::nullopt;
}

ReplyTicket ReplyScheduler::started(size_t slot, uint64_t bytes) {
  slots_[slot].inFlight += bytes;
  holdMore(slots_[slot], bytes);
  totalInFlight_ += bytes;
  return {slot, slots_[slot].generation, bytes};
}

void ReplyScheduler::released(const ReplyTicket& ticket) {
  Slot& slot = slots_[ticket.slot];
  if (ticket.generation == slot.generation) {
    slot.inFlight -= ticket.bytes;
    holdLess(slot.player, slot.address, ticket.bytes);
  }
  totalInFlight_ -= ticket.bytes;
}

bool ReplyScheduler::waitsForData(size_t slot) const {
  const std::deque<QueuedReply>& queue = slots_[slot].queue;
  return !queue.empty() && queue.front().kind != ReplyKind::kRangeOffer && queue.front().refusal.empty();
}

void ReplyScheduler::copyCreated(uint64_t bytes) {
  if (isBig(bytes)) bigHeld_ += bytes;
}

void ReplyScheduler::copyReleased(uint64_t bytes) {
  if (isBig(bytes)) bigHeld_ -= bytes;
}

}  // namespace quor
