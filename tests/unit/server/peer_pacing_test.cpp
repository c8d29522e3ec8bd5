#include "server/peer_pacing.h"

#include <gtest/gtest.h>

#include <vector>

namespace quor {
namespace {

TEST(PeerPacing, ResendsWaitAtLeastTwoRoundTripsOfConnectedPeers) {
  std::vector<ENetPeer> peers(3);
  for (ENetPeer& peer : peers) {
    peer = ENetPeer{};
    peer.state = ENET_PEER_STATE_CONNECTED;
    peer.roundTripTime = 100;
    peer.roundTripTimeVariance = 3;
  }
  peers[1].roundTripTimeVariance = 60;            // already swinging: kept
  peers[2].state = ENET_PEER_STATE_DISCONNECTED;  // not sending: left alone
  ENetHost host{};
  host.peers = peers.data();
  host.peerCount = peers.size();

  holdOffEarlyResends(&host);

  EXPECT_EQ(peers[0].roundTripTimeVariance, 25u);
  EXPECT_EQ(peers[1].roundTripTimeVariance, 60u);
  EXPECT_EQ(peers[2].roundTripTimeVariance, 3u);

  ENetPeer loopback{};
  loopback.roundTripTime = 1;
  holdOffEarlyResends(&loopback);
  EXPECT_EQ(loopback.roundTripTimeVariance, 0u);
}

}  // namespace
}  // namespace quor
