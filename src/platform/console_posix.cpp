#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/console.h"

namespace quor {
namespace {

// ANSI foreground code for the Windows attribute bits: red, green and blue
// swap places, and the intensity bit selects the bright range.
std::string ansiColour(uint16_t attributes) {
  int colour = ((attributes & 4) ? 1 : 0) | ((attributes & 2) ? 2 : 0) |
               ((attributes & 1) ? 4 : 0);
  int base = (attributes & 8) ? 90 : 30;
  return "\033[" + std::to_string(base + colour) + "m";
}

// Columns of the terminal, or 80 when it does not say.
size_t terminalWidth() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

}  // namespace

void writeConsoleRecord(const std::string& record, uint16_t attributes, bool toError) {
  FILE* out = toError ? stderr : stdout;
  bool colour = attributes != 0 && isatty(toError ? STDERR_FILENO : STDOUT_FILENO);
  if (colour) std::fputs(ansiColour(attributes).c_str(), out);
  std::fwrite(record.data(), 1, record.size(), out);
  if (colour) std::fputs("\033[0m", out);
  std::fflush(out);
}

bool standardOutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

void drawConsoleStatus(const std::string& text) {
  if (!standardOutputIsTerminal()) return;
  std::string line = "\r" + text.substr(0, terminalWidth() - 1) + "\033[K";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void clearConsoleStatus() {
  if (!standardOutputIsTerminal()) return;
  std::fputs("\r\033[K", stdout);
  std::fflush(stdout);
}

}  // namespace quor
