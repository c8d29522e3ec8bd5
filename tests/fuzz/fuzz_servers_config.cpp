// The servers.config reader on any text: entries are read until the list
// ends, each one consumes its lines, and the port of every entry agrees
// with strtol wherever strtol can tell.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "fuzz_support.h"
#include "client/server_list.h"

namespace quor::fuzz {
namespace {

// The port strtol gives, for texts short enough that it cannot overflow.
void checkPort(const std::string& text) {
  uint16_t port = parsePortText(text);
  size_t digits = 0;
  for (char c : text) digits += (c >= '0' && c <= '9');
  if (digits > 9 || text.find('\0') != std::string::npos) return;
  long reference = std::strtol(text.c_str(), nullptr, 10);
  require(port == static_cast<uint16_t>(static_cast<unsigned long>(reference) & 0xFFFF),
          "parsePortText agrees with strtol");
}

}  // namespace
}  // namespace quor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quor;
  std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream in(text);
  size_t entries = 0;
  while (std::optional<ServerEntry> entry = readServerEntry(in)) {
    // Three lines per entry, the last two not empty: at least 5 bytes.
    fuzz::require(++entries * 5 <= size + 1, "entries consume their lines");
    fuzz::require(!entry->host.empty() && !entry->port.empty(), "host and port are set");
    for (const std::string* line : {&entry->name, &entry->host, &entry->port}) {
      fuzz::require(line->find('\n') == std::string::npos, "a line holds no line feed");
    }
    fuzz::checkPort(entry->port);
  }
  fuzz::checkPort(text);
  fuzz::afterInput();
  return 0;
}
