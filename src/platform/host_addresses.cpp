#include "platform/host_addresses.h"

// getaddrinfo has the same form on both systems; only its headers differ.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>

namespace quor {

std::vector<uint32_t> resolveHostAddresses(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  std::vector<uint32_t> addresses;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
  for (addrinfo* at = found; at != nullptr && addresses.size() < kMaxHostAddresses;
       at = at->ai_next) {
    if (at->ai_family != AF_INET || at->ai_addr == nullptr) continue;
    uint32_t address = reinterpret_cast<const sockaddr_in*>(at->ai_addr)->sin_addr.s_addr;
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
      addresses.push_back(address);
    }
  }
  freeaddrinfo(found);
  return addresses;
}

}  // namespace quor
