#include "server/peer_admission.h"

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
  size_t fromAddress = countOf(perAddress_, address.ip);
  if (fromAddress >= limits_.perAddress) {
    return std::to_string(fromAddress) + " connections from " + ipText(address.ip) + " already";
  }
  // Room for new players: a quarter of the slots (rounded up).
  if (extra && freeSlots < (slotCount_ + 3) / 4) {
    return "an extra connection, " + std::to_string(freeSlots) + " of " + std::to_string(slotCount_) +
           " slots free";
  }
  return {};
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
