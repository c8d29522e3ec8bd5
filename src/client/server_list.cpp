#include "client/server_list.h"

namespace quor {
namespace {

// A line without its line feed and without a carriage return before it.
std::string readLine(std::istream& in) {
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::optional<ServerEntry> readServerEntry(std::istream& in) {
  if (!in || in.peek() == std::char_traits<char>::eof()) return std::nullopt;
  ServerEntry entry;
  entry.name = readLine(in);
  entry.host = readLine(in);
  entry.port = readLine(in);
  if (entry.host.empty() || entry.port.empty()) return std::nullopt;
  return entry;
}

uint16_t parsePortText(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && isBlank(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  // Only the low 16 bits matter, and they survive wrap-around of the sum.
  uint32_t number = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    number = number * 10 + static_cast<uint32_t>(text[at] - '0');
  }
  if (negative) number = 0u - number;
  return static_cast<uint16_t>(number);
}

}  // namespace quor
