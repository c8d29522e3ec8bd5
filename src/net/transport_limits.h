// Limits that ENet applies to one packet and to the data waiting per peer.
// Its defaults (32 MiB) would silently drop a larger file reply, so both
// programs raise them to what the updater transfers: files up to 1 GiB,
// plus the room a reply needs for its header and name.
#pragma once

#include <enet/enet.h>

#include <cstddef>

namespace quor {

constexpr size_t kMaxFileBytes = size_t{1} << 30;
constexpr size_t kMaxPacketBytes = kMaxFileBytes + 64 * 1024;

// Raises the host's packet and waiting-data limits to kMaxPacketBytes.
// ENet releases older than 1.3.13 have no such limits; then this does
// nothing.
void raiseTransportLimits(ENetHost* host);

}  // namespace quor
