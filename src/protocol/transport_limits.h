// What one ENet packet can carry, and the host settings that let a reply
// be as large as that.
//
// ENet 1.3 refuses packets and waiting data above 32 MiB by default; both
// programs set those limits themselves. A second bound comes from ENet's
// reliable sequence windows: a receiver acknowledges the fragments of a
// packet only up to about seven windows of 4096 sequence numbers past the
// last packet it delivered, so a packet of more fragments stalls until the
// connection times out. Six windows of fragments always fit, which at
// ENet's default datagram size of 1400 bytes (neither program asks for
// another) is about 32 MiB: the largest file a FileReply can carry. Larger
// files travel in FileRangeReply pieces of at most kMaxPieceSize bytes. The
// server refuses a FileReply its peer's datagram size cannot deliver.
#pragma once

#include <enet/enet.h>

#include <cstddef>
#include <cstdint>

namespace quor {

constexpr size_t kMaxFileBytes = size_t{1} << 30;
constexpr size_t kMaxPacketBytes = kMaxFileBytes + 64 * 1024;

// The most data one FileRangeReply carries, which the server offers in its
// RangeOffer; with its head it stays far below what one packet delivers.
constexpr uint32_t kMaxPieceSize = uint32_t{1} << 20;
// Room for a reply's head: header, a name no longer than a request the
// server accepts, and the fixed fields.
constexpr size_t kReplyHeadRoom = 64 * 1024;

// The largest reply a client accepts: a FileReply of what one packet
// delivers at ENet's default datagram size, or a FileRangeReply of
// kMaxPieceSize bytes of data.
size_t largestClientPacket();

// Sets a client host's packet and waiting-data limits to
// largestClientPacket(): ENet reserves a fragmented packet's whole
// announced size when its first fragment arrives. ENet releases without
// such limits (before 1.3.13) need nothing.
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

// The largest packet that always reaches a peer whose datagram size is
// mtu, when it is the only packet in flight on its channel.
size_t largestDeliverablePacket(uint32_t mtu);

}  // namespace quor
