// What one ENet packet can carry, and the host settings that let a file
// reply be as large as that.
//
// ENet 1.3 refuses packets and waiting data above 32 MiB by default; both
// programs raise those limits. A second bound comes from ENet's reliable
// sequence windows: a receiver acknowledges the fragments of a packet only
// up to about seven windows of 4096 sequence numbers past the last packet
// it delivered, so a packet of more fragments stalls until the connection
// times out. Six windows of fragments always fit, which at ENet's default
// datagram size of 1400 bytes is 32 MiB. The client therefore asks for
// ENet's largest datagram size, 4096 bytes, which raises the bound to about
// 95 MiB; the server refuses anything its peer's size cannot deliver.
#pragma once

#include <enet/enet.h>

#include <cstddef>
#include <cstdint>

namespace quor {

constexpr size_t kMaxFileBytes = size_t{1} << 30;
constexpr size_t kMaxPacketBytes = kMaxFileBytes + 64 * 1024;
constexpr uint32_t kClientMtu = 4096;

// Raises a client host's packet and waiting-data limits to the largest
// reply a server sends it, largestDeliverablePacket(kClientMtu): ENet
// reserves a fragmented packet's whole announced size when its first
// fragment arrives. ENet releases without such limits (before 1.3.13) need
// nothing.
void raiseTransportLimits(ENetHost* host);

// The server receives only small requests: its peers may send packets of
// at most kServerPacketBytes and keep at most kServerWaitingBytes of
// received data waiting, so a hostile client cannot make it buffer large
// amounts. ENet reserves a fragmented packet's whole announced size when
// its first fragment arrives, which the packet limit bounds.
constexpr size_t kServerPacketBytes = 64 * 1024;
constexpr size_t kServerWaitingBytes = 256 * 1024;
void limitServerReceiving(ENetHost* host);

// enet_peer_send with the host's packet limit raised to kMaxPacketBytes for
// the call only: ENet applies the one limit both to packets it sends and to
// packets it receives. Not for hosts serviced by another thread meanwhile.
int sendLargePacket(ENetPeer* peer, uint8_t channel, ENetPacket* packet);

// Makes the host's future connections ask for kClientMtu-byte datagrams.
// Called before the host connects anywhere; the server side adopts the
// size its client asks for.
void useLargeDatagrams(ENetHost* host);

// The largest packet that always reaches a peer whose datagram size is
// mtu, when it is the only packet in flight on its channel.
size_t largestDeliverablePacket(uint32_t mtu);

}  // namespace quor
