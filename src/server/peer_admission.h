// Which connections the update server keeps, so that connections that only
// hold a place cannot lock players out:
//
// - A player (one address and port: every connection of one client comes
//   from its one ENet host) holds at most perPlayer connections.
// - A player's first connection is refused neither for its address (a
//   campus NAT or a carrier's CGNAT puts many players behind one) nor for
//   the room kept for new players; only a full host refuses it.
// - Every other connection of a player is an extra, marked so by the
//   client (connect data kExtraConnectionData, protocol/extra_connections.h) or
//   not: extras are refused once the player's IP address holds perAddress
//   connections, and while fewer than a quarter of the slots are free,
//   which keeps room for new players.
// - ENet itself holds one address to mostFromOneAddress() slots, counting
//   connections still in their handshake, which the server never sees;
//   the rest of the slots stay for the other addresses.
//
// The server asks for a verdict at every connect event, with the new peer
// already in its slot, and refuses by disconnecting at once. It only
// counts: O(1) per call but for the lookups of two small hash maps.
//
// Not locked: the server's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace quor {

struct AdmissionLimits {
  size_t perPlayer = 16;
  size_t perAddress = 64;
};

// A peer's IPv4 address (as ENet holds it) and port.
struct PeerAddress {
  uint32_t ip = 0;
  uint16_t port = 0;
  uint64_t playerKey() const { return (uint64_t{ip} << 16) | port; }
};

class PeerAdmission {
 public:
  PeerAdmission(size_t slotCount, AdmissionLimits limits);

  // Empty when a connection from address in slot may stay, with freeSlots
  // slots of the host free besides it; otherwise why not, for the log.
  std::string refusal(const PeerAddress& address, bool extra, size_t freeSlots) const;

  // The slots kept for new players' first connections.
  size_t reservedSlots() const;
  // The bound for ENet's duplicatePeers: all but the reserved slots, and
  // never below perAddress.
  size_t mostFromOneAddress() const;

  // The connection in slot was kept; it counts until left(slot).
  void admitted(size_t slot, const PeerAddress& address);
  // It is gone (a second call does nothing).
  void left(size_t slot);
  bool holds(size_t slot) const { return held_[slot]; }

 private:
  AdmissionLimits limits_;
  size_t slotCount_;
  std::vector<PeerAddress> addresses_;
  std::vector<bool> held_;
  std::unordered_map<uint64_t, size_t> perPlayer_;
  std::unordered_map<uint32_t, size_t> perAddress_;
};

// The text of an address as the log shows it: "1.2.3.4" (ip in ENet's
// order, that of the network).
std::string ipText(uint32_t ip);

}  // namespace quor
