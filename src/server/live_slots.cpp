#include "server/live_slots.h"

#include <algorithm>

namespace quor {

LiveSlots::LiveSlots(ENetHost* host) : host_(host), allocated_(host->peerCount) {
  host_->peerCount = std::min(allocated_, kSpareSlots);
}

LiveSlots::~LiveSlots() { host_->peerCount = allocated_; }

void LiveSlots::fit() {
  size_t inUse = 0;
  size_t end = 0;  // one past the last slot in use
  for (size_t slot = 0; slot < host_->peerCount; ++slot) {
    if (host_->peers[slot].state == ENET_PEER_STATE_DISCONNECTED) continue;
    ++inUse;
    end = slot + 1;
  }
  host_->peerCount = std::min(allocated_, end + std::max(inUse, kSpareSlots));
}

size_t LiveSlots::freeSlots() const {
  size_t free = allocated_ - host_->peerCount;
  for (size_t slot = 0; slot < host_->peerCount; ++slot) {
    if (host_->peers[slot].state == ENET_PEER_STATE_DISCONNECTED) ++free;
  }
  return free;
}

}  // namespace quor
