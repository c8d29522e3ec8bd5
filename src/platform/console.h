// Console output of one log record in a colour. On Windows the colour is
// set through the console API and restored after the record; elsewhere ANSI
// escapes are used, and only when standard output is a terminal.
#pragma once

#include <cstdint>
#include <string>

namespace quor {

// Writes the record to standard output and flushes it. attributes uses the
// Windows console bits (1 blue, 2 green, 4 red, 8 intensity); 0 leaves the
// colour as it is.
void writeConsoleRecord(const std::string& record, uint16_t attributes);

}  // namespace quor
