#include "net/transport_limits.h"

#include <algorithm>

namespace quor {
namespace {

template <typename Host>
void raiseLimits(Host* host) {
  if constexpr (requires(Host* h) { h->maximumPacketSize; }) host->maximumPacketSize = kMaxPacketBytes;
  if constexpr (requires(Host* h) { h->maximumWaitingData; }) host->maximumWaitingData = kMaxPacketBytes;
}

// Windows of sequence numbers that one packet's fragments may span
// wherever it starts inside its first window.
constexpr size_t kDeliverableWindows = ENET_PEER_FREE_RELIABLE_WINDOWS - 2;

// A requires-expression drops a missing member only inside a template.
template <typename Host>
void limitWaitingData(Host* host) {
  if constexpr (requires(Host* h) { h->maximumWaitingData; }) host->maximumWaitingData = kServerWaitingBytes;
}

}  // namespace

void raiseTransportLimits(ENetHost* host) { raiseLimits(host); }

void limitServerWaitingData(ENetHost* host) { limitWaitingData(host); }

void useLargeDatagrams(ENetHost* host) {
  host->mtu = kClientMtu;
  // A peer takes its datagram size from the host when it is reset.
  for (size_t i = 0; i < host->peerCount; ++i) enet_peer_reset(&host->peers[i]);
}

size_t largestDeliverablePacket(uint32_t mtu) {
  mtu = std::clamp<uint32_t>(mtu, ENET_PROTOCOL_MINIMUM_MTU, ENET_PROTOCOL_MAXIMUM_MTU);
  size_t fragmentBytes = mtu - sizeof(ENetProtocolHeader) - sizeof(ENetProtocolSendFragment);
  return kDeliverableWindows * ENET_PEER_RELIABLE_WINDOW_SIZE * fragmentBytes;
}

}  // namespace quor
