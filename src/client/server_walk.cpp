#include "client/server_walk.h"

#include <algorithm>
#include <chrono>

#include "platform/http_client.h"
#include "platform/native_path.h"

namespace quor {

ServerWalk::ServerWalk(const std::string& listPath, std::string preferredName,
                       HostResolver resolve, uint64_t seed)
    : listPath_(listPath),
      list_(toNativePath(listPath), std::ios::binary),
      preferredName_(std::move(preferredName)),
      resolve_(std::move(resolve)),
      order_(seed) {}

bool ServerWalk::startNextEntry() {
  while ((entry_ = readServerEntry(list_))) {
    if (!preferredName_.empty() && preferredName_ != entry_->name) continue;
    // A web location is no host to resolve; the update mode reaches it.
    addresses_ = isHttpUrl(entry_->host) ? std::vector<uint32_t>{} : resolve_(entry_->host);
    std::shuffle(addresses_.begin(), addresses_.end(), order_);
    nextAddress_ = 0;
    unresolvedGiven_ = false;
    return true;
  }
  return false;
}

std::optional<ServerTarget> ServerWalk::next() {
  bool entryUsedUp = !entry_ || (addresses_.empty() ? unresolvedGiven_
                                                    : nextAddress_ == addresses_.size());
  if (entryUsedUp && !startNextEntry()) return std::nullopt;
  last_ = ServerTarget{*entry_, std::nullopt, parsePortText(entry_->port), true};
  ++givenCount_;
  last_->web = isHttpUrl(entry_->host);
  if (addresses_.empty()) {
    unresolvedGiven_ = true;
    return last_;
  }
  last_->address = addresses_[nextAddress_++];
  last_->lastOfEntry = nextAddress_ == addresses_.size();
  return last_;
}

std::string dottedAddress(uint32_t address) {
  // Network byte order: the first byte in memory is the first number.
  const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

std::string describeServer(const ServerTarget& target) {
  if (target.web) return "\"" + target.entry.name + "\" (" + target.entry.host + ")";
  std::string where = target.entry.host;
  if (target.address) where += ", " + dottedAddress(*target.address);
  return "\"" + target.entry.name + "\" (" + where + ") on port " + std::to_string(target.port);
}

uint64_t freshWalkSeed() {
  std::random_device device;
  uint64_t seed = (static_cast<uint64_t>(device()) << 32) ^ device();
  return seed ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

}  // namespace quor
