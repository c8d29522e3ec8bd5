// Flow control of the update server: which queued request is answered
// next, so that every connected peer is served, a slow peer does not hold
// up the others, and the reply data held in memory stays bounded.
//
// A reply, once started, is one ENet packet that stays in memory until the
// peer has acknowledged all of it. The scheduler counts those bytes per
// slot ("in flight") and starts a slot's next reply only while its in-flight
// bytes are below the peer window, so a peer that reads slowly holds at
// most one window plus one reply. A reply larger than the window (a big
// file) starts only when its peer has nothing else in flight, because ENet
// can deliver a packet that large only when it has the channel's sequence
// numbers to itself (protocol/transport_limits.h). The copies of big replies
// held in memory draw on a server-wide budget, which bounds the memory that
// many peers fetching big files can pin at once; a big reply whose copy is
// already held for another peer (the server shares it) costs nothing more,
// and one that exceeds the whole budget still starts when no other big copy
// is held.
//
// All slots together keep about serverInFlightBytes in flight (less, down
// to crowdInFlightBytes, while many players have replies in flight): below
// it any reply may start; once it is reached, the bound is shared out, so
// that a few peers that read slowly cannot hold it all and freeze everyone
// else. Each IP address with replies in flight then has an equal part of
// it, and each of its players (address and port) an equal part of that; a
// reply starts only within both parts, except that an address holding
// nothing may always start one. All slots together thus keep at most about
// twice the bound plus a reply per address, and the requests queued in all
// slots take at most queuedBytes.
//
// Fairness is per player, not per slot: a player may hold several
// connections (several slots, one player key: its address and port), and
// players are visited round robin, each player's slots in turn, so a
// player with eight connections gets about the share of a player with one
// when the server-wide bound holds replies back, and the slots of one
// player together keep at most playerWindowBytes in flight. Answers that
// carry no file data (offers, refusals) start without using up a turn.
// Slots not assigned to a player count as players of their own once
// something is queued for them.
//
// Cost: next() looks at the slots of players (assigned slots, and the
// others that have had something queued since their reset) at most once
// each, even when nothing may start; free slots cost nothing. Assigning
// and resetting a slot look through the players; the rest is constant
// time.
//
// Not locked: it is called from the server's loop and from ENet's
// packet-free callback (released, copyReleased), which ENet runs inside the
// loop's own calls, so always on the one server thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace quor {

// Sized for 500 players with 8 connections each (4000 slots): the window
// of one slot is reached only when few slots are busy; under load the
// server-wide bound shares serverInFlightBytes among them.
struct SchedulerLimits {
  uint64_t peerWindowBytes = 4u << 20;
  // All slots of one player: a piece (1 MiB) on each of the 16 connections
  // a client opens at most, so that every connection keeps sending at a
  // distance.
  uint64_t playerWindowBytes = 16u << 20;
  // Small on purpose: ENet looks through every fragment handed to it, on
  // every peer, at each pass, so more in flight costs the server's loop
  // more than it gains (README, the server's capacity). The whole bound
  // holds while at most fewPlayers players have replies in flight (one
  // distant player keeps many pieces going); with more it shrinks in
  // proportion down to crowdInFlightBytes, because then the loop must also
  // keep up with every player's acknowledgements, and a pass that walks
  // long queues lets the socket overflow.
  uint64_t serverInFlightBytes = 32u << 20;
  uint64_t crowdInFlightBytes = 8u << 20;
  size_t fewPlayers = 4;
  uint64_t bigReplyBudgetBytes = 512u << 20;
  size_t queuedRequestsPerSlot = 256;
  uint64_t queuedBytes = 64u << 20;  // all slots' queue entries, names included
};

// What a request asked for; the scheduler paces them all alike.
enum class ReplyKind : uint8_t {
  kWholeFile,   // FileReply (ManifestRequest, FileRequest)
  kRangeOffer,  // RangeOffer (RangeHello)
  kFileRange,   // FileRangeReply (FileRangeRequest)
};

struct QueuedReply {
  std::string name;
  std::string refusal;        // non-empty: answered with no content
  uint64_t contentBytes = 0;  // size of the file it carries
  uint64_t bytes = 0;         // size of the whole reply packet (a range: at most)
  ReplyKind kind = ReplyKind::kWholeFile;
  uint64_t offset = 0;        // a range: its first byte
  uint32_t length = 0;        // a range: its length, at most a piece
};

// What a started reply must hand back when ENet releases its packet.
struct ReplyTicket {
  size_t slot = 0;
  uint64_t generation = 0;
  uint64_t bytes = 0;
};

class ReplyScheduler {
 public:
  ReplyScheduler(size_t slotCount, SchedulerLimits limits);

  // Queues a reply for slot; false when the slot's queue is full, or the
  // queues of all slots together are (the server then answers "busy").
  bool enqueue(size_t slot, QueuedReply reply);

  // A new peer took the slot, or its peer left: queued replies are
  // dropped, and packets of the old peer that are released later no
  // longer count against the slot (they still count server-wide until
  // released). The slot leaves its player; it becomes a player of its
  // own when something is queued for it.
  void resetSlot(size_t slot);

  // resetSlot, then the slot joins the other slots of player (a key that
  // tells players apart, such as their address and port), which share the
  // fair part of address (a key for its IP address; the player's own key
  // when not given).
  void assignSlot(size_t slot, uint64_t player, std::optional<uint64_t> address = std::nullopt);

  // The next reply allowed to start, taken off its queue, or nothing.
  // isHeld tells whether a copy of a reply is in memory already.
  struct Pick {
    size_t slot;
    QueuedReply reply;
  };
  using IsHeld = std::function<bool(const QueuedReply&)>;
  std::optional<Pick> next(const IsHeld& isHeld = nullptr);

  // Accounting of replies handed to ENet and of their release, per slot.
  ReplyTicket started(size_t slot, uint64_t bytes);
  void released(const ReplyTicket& ticket);

  // Accounting of the copies of replies in memory: a copy of a big reply
  // counts against the budget from its creation until its last user is
  // done with it, whichever peers used it.
  void copyCreated(uint64_t bytes);
  void copyReleased(uint64_t bytes);

  uint64_t inFlight(size_t slot) const { return slots_[slot].inFlight; }
  uint64_t inFlightEverywhere() const { return totalInFlight_; }
  // The bytes of every slot's queue entries, waiting to start.
  uint64_t queuedBytes() const { return queuedBytes_; }
  // The server-wide bound for the players now holding replies in flight.
  uint64_t serverBound() const;
  uint64_t bigHeld() const { return bigHeld_; }
  uint64_t peerWindow() const { return limits_.peerWindowBytes; }
  bool isBig(uint64_t bytes) const { return bytes > limits_.peerWindowBytes; }
  size_t queued(size_t slot) const { return slots_[slot].queue.size(); }
  // The next reply queued for slot carries file data (it is no offer and
  // no refusal).
  bool waitsForData(size_t slot) const;
  // Changes at every resetSlot; a ticket of an earlier one carries another.
  uint64_t generation(size_t slot) const { return slots_[slot].generation; }

 private:
  struct Slot {
    std::deque<QueuedReply> queue;
    uint64_t inFlight = 0;
    uint64_t generation = 0;
    uint64_t player = 0;
    uint64_t address = 0;
  };
  struct AddressHold {
    uint64_t bytes = 0;
    size_t players = 0;  // those of its players with bytes in flight
  };
  // The slots of one player, visited in turn from cursor.
  struct Player {
    uint64_t key = 0;
    std::vector<size_t> slots;
    size_t cursor = 0;
  };

  bool mayStart(const Player& player, const Slot& slot, const IsHeld& isHeld) const;
  bool withinFairPart(const Slot& slot, uint64_t bytes) const;
  void holdMore(const Slot& slot, uint64_t bytes);
  void holdLess(uint64_t player, uint64_t address, uint64_t bytes);
  std::optional<Pick> take(Player& player, const IsHeld& isHeld);
  void join(size_t slot, uint64_t player, uint64_t address);
  void leave(size_t slot);
  void dropQueue(Slot& slot);

  SchedulerLimits limits_;
  std::vector<Slot> slots_;
  std::vector<Player> players_;  // in visiting order
  std::unordered_map<uint64_t, uint64_t> playerInFlight_;  // by player key, when not 0
  std::unordered_map<uint64_t, AddressHold> addressInFlight_;  // by address key, when not 0
  uint64_t attributedInFlight_ = 0;  // of totalInFlight_, the part of peers still there
  size_t cursor_ = 0;            // the player visited next
  uint64_t bigHeld_ = 0;
  uint64_t totalInFlight_ = 0;
  uint64_t queuedBytes_ = 0;
};

}  // namespace quor
