#include "protocol/transport_limits.h"

#include <algorithm>

namespace quor {
namespace {

template <typename Host>
void raiseLimits(Host* host, size_t limit) {
  if constexpr (requires(Host* h) { h->maximumPacketSize; }) host->maximumPacketSize = limit;
  if constexpr (requires(Host* h) { h->maximumWaitingData; }) host->maximumWaitingData = limit;
}

// Windows of sequence numbers that one packet's fragments may span
// wherever it starts inside its first window.
constexpr size_t kDeliverableWindows = ENET_PEER_FREE_RELIABLE_WINDOWS - 2;

// A requires-expression drops a missing member only inside a template.
template <typename Host>
void limitReceiving(Host* host) {
  if constexpr (requires(Host* h) { h->maximumPacketSize; }) host->maximumPacketSize = kServerPacketBytes;
  if constexpr (requires(Host* h) { h->maximumWaitingData; }) host->maximumWaitingData = kServerWaitingBytes;
}

template <typename Host>
int sendRaised(Host* host, ENetPeer* peer, uint8_t channel, ENetPacket* packet) {
  if constexpr (requires(Host* h) { h->maximumPacketSize; }) {
    size_t limit = host->maximumPacketSize;
    host->maximumPacketSize = kMaxPacketBytes;
    int result = enet_peer_send(peer, channel, packet);
    host->maximumPacketSize = limit;
    return result;
  } else {
    return enet_peer_send(peer, channel, packet);
  }
}

}  // namespace

size_t largestClientPacket() {
  return std::max(largestDeliverablePacket(ENET_HOST_DEFAULT_MTU), kMaxPieceSize + kReplyHeadRoom);
}

void raiseTransportLimits(ENetHost* host) { raiseLimits(host, largestClientPacket()); }

void limitServerReceiving(ENetHost* host) { limitReceiving(host); }

int sendLargePacket(ENetPeer* peer, uint8_t channel, ENetPacket* packet) {
  return sendRaised(peer->host, peer, channel, packet);
}

size_t largestDeliverablePacket(uint32_t mtu) {
  mtu = std::clamp<uint32_t>(mtu, ENET_PROTOCOL_MINIMUM_MTU, ENET_PROTOCOL_MAXIMUM_MTU);
  size_t fragmentBytes = mtu - sizeof(ENetProtocolHeader) - sizeof(ENetProtocolSendFragment);
  return kDeliverableWindows * ENET_PEER_RELIABLE_WINDOW_SIZE * fragmentBytes;
}

}  // namespace quor
