// Which connections the update server keeps, so that connections that only
// hold a place cannot lock players out:
//
// - A player (one address and port: every connection of one client comes
//   from its one ENet host) holds at most perPlayer connections, and one
//   IP address (several players behind one router) at most perAddress.
// - A client's extra connections (connect data kExtraConnectionData,
//   net/extra_connections.h) are refused while fewer than a quarter of the
//   slots are free, which keeps room for new players; a first connection
//   is refused only by the two bounds above, or by a full host (which ENet
//   does itself).
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
