#include "server/peer_admission.h"

#include <algorithm>

namespace quor {
namespace {

size_t countOf(const auto& counts, const auto& key) {
  auto found = counts.find(key);
  return found == counts.end() ? 0 : found->second;
}

void drop(auto& counts, const auto& key) {
  auto found = counts.find(key);
  if (found == counts.end()) return;
  if (--found->second == 0) counts.erase(found);
}

}  // namespace

std::string ipText(uint32_t ip) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&ip);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
         std::to_string(bytes[3]);
}

PeerAdmission::PeerAdmission(size_t slotCount, AdmissionLimits limits)
    : limits_(limits), slotCount_(slotCount), addresses_(slotCount), held_(slotCount, false) {}

std::string PeerAdmission::refusal(const PeerAddress& address, bool extra, size_t freeSlots) const {
  size_t player = countOf(perPlayer_, address.playerKey());
  if (player >= limits_.perPlayer) {
    return std::to_string(player) + " connections from " + ipText(address.ip) + ":" +
           std::to_string(address.port) + " already";
  }
  // A connection beside one the client holds already is an extra, whatever
  // the client marked it. Only extras are refused for their address: one
  // address may be a whole carrier's players.
  extra = extra || player != 0;
  size_t fromAddress = countOf(perAddress_, address.ip);
  if (extra && fromAddress >= limits_.perAddress) {
    return std::to_string(fromAddress) + " connections from " + ipText(address.ip) + " already";
  }
  if (extra && freeSlots < reservedSlots()) {
    return "an extra connection, " + std::to_string(freeSlots) + " of " + std::to_string(slotCount_) +
           " slots free";
  }
  return {};
}

size_t PeerAdmission::reservedSlots() const { return (slotCount_ + 3) / 4; }

size_t PeerAdmission::mostFromOneAddress() const {
  return std::max(limits_.perAddress, slotCount_ - reservedSlots());
}

void PeerAdmission::admitted(size_t slot, const PeerAddress& address) {
  left(slot);
  held_[slot] = true;
  addresses_[slot] = address;
  ++perPlayer_[address.playerKey()];
  ++perAddress_[address.ip];
}

void PeerAdmission::left(size_t slot) {
  if (!held_[slot]) return;
  held_[slot] = false;
  drop(perPlayer_, addresses_[slot].playerKey());
  drop(perAddress_, addresses_[slot].ip);
}

}  // namespace quor
