// The IPv4 addresses a host name stands for, from the system's resolver
// (getaddrinfo on every system). A dotted address gives itself.
//
// Blocks while the resolver works (DNS: up to its own time-outs, seconds).
// Any thread; on Windows after WSAStartup (the ENet host's creation does
// that).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quor {

// A name spread over more addresses than this is cut off here: each
// address that does not answer costs the player a connect wait.
inline constexpr size_t kMaxHostAddresses = 16;

// Addresses in network byte order, as ENet takes them, without repeats,
// in the resolver's order; empty when the name does not resolve.
std::vector<uint32_t> resolveHostAddresses(const std::string& host);

}  // namespace quor
