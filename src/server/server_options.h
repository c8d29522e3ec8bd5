// Command line of update_server:
//   --port N     UDP port to listen on (default 7777)
//   --data DIR   folder whose files are served (default
//                "server_data/update_data/")
//   --peers N    connection slots, 1 to 4095 (default 64)
//   --no-ranges  serve whole files only
//   --help       usage
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dataset/layout.h"

namespace quor {

struct ServerOptions {
  uint16_t port = 7777;
  std::string dataFolder = kUpdateDataFolder;
  size_t peerSlots = 64;
  bool help = false;
  // --no-ranges: answer only the requests of clients that know no ranges,
  // as a server built before them does (for tests and comparisons).
  bool ranges = true;
};

// Fills options from args (without the program name), as main received
// them: the folder becomes UTF-8 like every path inside the program.
// Returns an empty text on success, otherwise what is wrong with the
// command line.
std::string parseServerOptions(const std::vector<std::string>& args, ServerOptions& options);

std::string serverUsage();

}  // namespace quor
