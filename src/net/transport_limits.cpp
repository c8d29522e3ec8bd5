#include "net/transport_limits.h"

namespace quor {
namespace {

template <typename Host>
void raiseLimits(Host* host) {
  if constexpr (requires(Host* h) { h->maximumPacketSize; }) host->maximumPacketSize = kMaxPacketBytes;
  if constexpr (requires(Host* h) { h->maximumWaitingData; }) host->maximumWaitingData = kMaxPacketBytes;
}

}  // namespace

void raiseTransportLimits(ENetHost* host) { raiseLimits(host); }

}  // namespace quor
