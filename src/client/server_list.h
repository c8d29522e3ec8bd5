// The server list settings/servers.config: entries of three lines each
// (server name, host, port), read line by line; a carriage return before a
// line feed is not part of the line. Reading ends at the end of the file
// or at the first entry whose host or port line is empty.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

namespace quor {

struct ServerEntry {
  std::string name;  // may be empty
  std::string host;  // a host name or a dotted IPv4 address
  std::string port;  // as written; see parsePortText
};

// The next entry of the list, or nothing when the list has ended. Reads
// only the three lines of that entry, so entries after a successful one
// are never read.
std::optional<ServerEntry> readServerEntry(std::istream& in);

// The port a port line stands for: leading blanks skipped, an optional
// sign, then decimal digits up to the first other character; text that
// does not begin with a number gives 0. The port is the low 16 bits of the
// number ("65537" → 1, "123x" → 123, "abc" → 0).
uint16_t parsePortText(std::string_view text);

}  // namespace quor
