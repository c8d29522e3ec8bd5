// How much of the server's ENet slot table ENet looks at.
//
// ENet walks host->peers[0, peerCount) on every pass that sends (each
// service, each flush), whether the slots are in use or not. With the
// 4095 slots a release day needs, that walk was most of the server's CPU
// time even for a single player (README, the server's capacity). The table
// is allocated whole once; ENet is shown only a front part of it: every
// slot in use, and as many free ones again, at least kSpareSlots. ENet puts
// a new connection in the first free slot it sees, so slots in use gather
// at the front, and a burst of connections that fills the front part gets
// more room at the loop's next pass (a connection that found none is sent
// again by its client's ENet).
//
// ENet drops a datagram for a slot at or beyond peerCount, so the front
// part never ends before the last slot that is not free.
//
// Cost: fit() and freeSlots() read the state of every slot in the front
// part. Server thread only, between ENet calls.
#pragma once

#include <enet/enet.h>

#include <cstddef>

namespace quor {

class LiveSlots {
 public:
  static constexpr size_t kSpareSlots = 256;

  // host has all its slots allocated; ENet is shown the first kSpareSlots.
  explicit LiveSlots(ENetHost* host);
  // ENet is shown the whole table again (before the host is destroyed).
  ~LiveSlots();
  LiveSlots(const LiveSlots&) = delete;
  LiveSlots& operator=(const LiveSlots&) = delete;

  // Fits the front part to the slots now in use.
  void fit();
  // Slots of the whole table that no peer holds.
  size_t freeSlots() const;
  size_t shown() const { return host_->peerCount; }

 private:
  ENetHost* const host_;
  const size_t allocated_;
};

}  // namespace quor
