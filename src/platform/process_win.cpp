#include <windows.h>

#include <cstdio>
#include <vector>

#include "base/text_replace.h"
#include "platform/process.h"

namespace quor {

void startProcess(const std::string& commandLine) {
  std::string line = commandLine;
  replaceAll(line, "/", "\\");
  std::vector<char> writable(line.begin(), line.end());
  writable.push_back('\0');
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof(process));
  if (!CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE,
                      CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &process)) {
    std::printf("CreateProcess failed (%d).\n", static_cast<int>(GetLastError()));
    std::fflush(stdout);
  }
  if (process.hProcess) CloseHandle(process.hProcess);
  if (process.hThread) CloseHandle(process.hThread);
}

}  // namespace quor
