#include <windows.h>

#include <cstdio>

#include "platform/console.h"

namespace quor {

void writeConsoleRecord(const std::string& record, uint16_t attributes) {
  HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO saved;
  bool haveInfo = GetConsoleScreenBufferInfo(console, &saved) != 0;
  bool coloured = attributes != 0 && haveInfo;
  if (coloured) SetConsoleTextAttribute(console, attributes);
  std::fwrite(record.data(), 1, record.size(), stdout);
  std::fflush(stdout);
  if (coloured) SetConsoleTextAttribute(console, saved.wAttributes);
}

}  // namespace quor
