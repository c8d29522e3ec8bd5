// Command line of update_server:
//   --port N     UDP port to listen on (default 7777)
//   --data DIR   folder whose files are served (default
//                "server_data/update_data/")
//   --peers N    connection slots, 1 to 4095 (default 4095)
//   --per-address N   connections one IP address may hold before its
//                players' extra connections are refused; first connections
//                are not (default 64)
//   --per-player N    connections one address and port may hold (default 16)
//   --idle-seconds N  a connection that fetches nothing (keep-alives and
//                refusals do not count), with no data queued or in flight,
//                for N seconds is closed (default 30)
//   --stall-seconds N  a connection whose data in flight drains at less
//                than 8 KiB a second over N seconds is closed (default 20)
//   --no-ranges  serve whole files only
//   --metrics ADDRESS:PORT  the operators' endpoint (metrics_endpoint.h)
//   --help       usage
#pragma once

#include "base/status.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dataset/layout.h"

namespace quor {

struct ServerOptions {
  uint16_t port = 7777;
  std::string dataFolder = kUpdateDataFolder;
  // ENet's most: 500 players with 8 connections each, and room to spare.
  size_t peerSlots = 4095;
  // Generous for players behind one router, each with several connections.
  size_t perAddress = 64;
  // One client's connections: it opens at most 16.
  size_t perPlayer = 16;
  // A real client asks at least every 10 s while it keeps a connection
  // it is not using.
  uint32_t idleSeconds = 30;
  // Long enough for a slow line's round trips and resends.
  uint32_t stallSeconds = 20;
  bool help = false;
  // --no-ranges: answer only the requests of clients that know no ranges,
  // as a server built before them does (for tests and comparisons).
  bool ranges = true;
  // --metrics: where the operators' HTTP endpoint listens; empty: none.
  std::string metricsAddress;
  uint16_t metricsPort = 0;
};

// Fills options from args (without the program name), as main received
// them: the folder becomes UTF-8 like every path inside the program.
// On failure the Status says what is wrong with the command line.
Status parseServerOptions(const std::vector<std::string>& args, ServerOptions& options);

std::string serverUsage();

}  // namespace quor
