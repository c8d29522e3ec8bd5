#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "platform/console.h"

namespace quor {
namespace {

// The console behind standard output, with its screen buffer; false when
// standard output is redirected to a file or a pipe.
bool consoleInfo(HANDLE* console, CONSOLE_SCREEN_BUFFER_INFO* info) {
  *console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (*console == INVALID_HANDLE_VALUE || GetConsoleMode(*console, &mode) == 0) return false;
  return GetConsoleScreenBufferInfo(*console, info) != 0;
}

// Blanks the cursor's line and puts the cursor at its start. Returns the
// line's width.
SHORT blankCursorLine(HANDLE console, const CONSOLE_SCREEN_BUFFER_INFO& info) {
  COORD start{0, info.dwCursorPosition.Y};
  DWORD written = 0;
  FillConsoleOutputCharacterA(console, ' ', static_cast<DWORD>(info.dwSize.X), start, &written);
  FillConsoleOutputAttribute(console, info.wAttributes, static_cast<DWORD>(info.dwSize.X), start,
                             &written);
  SetConsoleCursorPosition(console, start);
  return info.dwSize.X;
}

}  // namespace

void writeConsoleRecord(const std::string& record, uint16_t attributes, bool toError) {
  HANDLE console = GetStdHandle(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  FILE* out = toError ? stderr : stdout;
  CONSOLE_SCREEN_BUFFER_INFO saved;
  bool haveInfo = GetConsoleScreenBufferInfo(console, &saved) != 0;
  bool coloured = attributes != 0 && haveInfo;
  if (coloured) SetConsoleTextAttribute(console, attributes);
  std::fwrite(record.data(), 1, record.size(), out);
  std::fflush(out);
  if (coloured) SetConsoleTextAttribute(console, saved.wAttributes);
}

bool standardOutputIsTerminal() {
  HANDLE console;
  CONSOLE_SCREEN_BUFFER_INFO info;
  return consoleInfo(&console, &info);
}

void drawConsoleStatus(const std::string& text) {
  HANDLE console;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!consoleInfo(&console, &info)) return;
  std::fflush(stdout);
  SHORT width = blankCursorLine(console, info);
  size_t shown = width > 1 ? (std::min)(text.size(), static_cast<size_t>(width - 1)) : 0;
  DWORD written = 0;
  WriteConsoleA(console, text.data(), static_cast<DWORD>(shown), &written, nullptr);
}

void clearConsoleStatus() {
  HANDLE console;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!consoleInfo(&console, &info)) return;
  std::fflush(stdout);
  blankCursorLine(console, info);
}

}  // namespace quor
