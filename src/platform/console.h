// Console output: log records in a colour, and one status line rewritten in
// place below them. On Windows colours and the status line go through the
// console API; elsewhere through ANSI escapes, and only when standard
// output is a terminal.
//
// Called by the log's writer thread only (tests aside): the status line
// calls assume no other thread writes to standard output meanwhile.
#pragma once

#include <cstdint>
#include <string>

namespace quor {

// Writes the record to standard output (standard error when toError: the
// event stream then has standard output to itself) and flushes it.
// attributes uses the Windows console bits (1 blue, 2 green, 4 red, 8
// intensity); 0 leaves the colour as it is.
void writeConsoleRecord(const std::string& record, uint16_t attributes, bool toError = false);

// Whether standard output is a terminal (a console window on Windows), the
// only place a status line is drawn. One system call.
bool standardOutputIsTerminal();

// Replaces the line the cursor is on with text, cut to one character less
// than the terminal is wide so that it never wraps, and leaves the cursor
// on that line. Nothing when standard output is no terminal.
void drawConsoleStatus(const std::string& text);

// Blanks the line the cursor is on and puts the cursor at its start, where
// the next record then begins. Nothing when standard output is no terminal.
void clearConsoleStatus();

}  // namespace quor
