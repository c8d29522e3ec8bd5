// The walk through the server list (client/server_list.h) from its first
// entry to its last: each entry's host resolved to its addresses, and
// those tried one by one in a shuffled order, so that one name can spread
// players over several servers and still be reached while one of them is
// down. The walk only goes forward: a server given once is not given
// again.
//
// The list is read entry by entry as the walk goes on, as before: entries
// after the one in use are not read until the walk needs them. Resolving
// blocks (platform/host_addresses.h). One thread at a time.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "client/server_list.h"

namespace quor {

// A host text's IPv4 addresses in network byte order; empty when it does
// not resolve. resolveHostAddresses on a real run; tests inject their own.
using HostResolver = std::function<std::vector<uint32_t>(const std::string& host)>;

struct ServerTarget {
  ServerEntry entry;
  // None when the entry's host did not resolve: an attempt that fails at
  // once.
  std::optional<uint32_t> address;
  uint16_t port = 0;
  // No other address of the same entry follows.
  bool lastOfEntry = true;
  // The entry's host is an http:// or https:// URL: the web location of an
  // update data folder (update/web_server.h), never resolved here.
  bool web = false;
};

class ServerWalk {
 public:
  // Entries not named preferredName are passed over unless it is empty.
  // seed orders each name's addresses.
  ServerWalk(const std::string& listPath, std::string preferredName, HostResolver resolve,
             uint64_t seed);

  bool listFound() const { return list_.is_open(); }
  const std::string& listPath() const { return listPath_; }

  // The next server to try, or none when the list has ended.
  std::optional<ServerTarget> next();
  // How many servers next gave.
  size_t givenCount() const { return givenCount_; }
  // What next gave last; none before the first.
  const std::optional<ServerTarget>& lastGiven() const { return last_; }

 private:
  bool startNextEntry();

  std::string listPath_;
  std::ifstream list_;
  std::string preferredName_;
  HostResolver resolve_;
  std::mt19937_64 order_;
  std::optional<ServerEntry> entry_;
  std::vector<uint32_t> addresses_;
  size_t nextAddress_ = 0;
  bool unresolvedGiven_ = false;
  std::optional<ServerTarget> last_;
  size_t givenCount_ = 0;
};

// "\"name\" (host, address) on port N", for log lines.
std::string describeServer(const ServerTarget& target);

// An address in network byte order as dotted text ("127.0.0.1").
std::string dottedAddress(uint32_t address);

// A seed that differs between players and runs.
uint64_t freshWalkSeed();

}  // namespace quor
