#include "server/peer_pacing.h"

namespace quor {

void keepFullWindow(ENetPeer* peer) {
  enet_peer_throttle_configure(peer, ENET_PEER_PACKET_THROTTLE_INTERVAL,
                               ENET_PEER_PACKET_THROTTLE_ACCELERATION, 0);
}

void holdOffEarlyResends(ENetPeer* peer) {
  enet_uint32 least = peer->roundTripTime / 4;
  if (peer->roundTripTimeVariance < least) peer->roundTripTimeVariance = least;
}

void holdOffEarlyResends(ENetHost* host) {
  for (size_t i = 0; i < host->peerCount; ++i) {
    ENetPeer* peer = &host->peers[i];
    if (peer->state == ENET_PEER_STATE_CONNECTED) holdOffEarlyResends(peer);
  }
}

}  // namespace quor
