#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <vector>

#include "platform/process.h"

extern char** environ;

namespace quor {
namespace {

std::vector<std::string> splitAtSpaces(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  for (char c : line) {
    if (c == ' ') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

}  // namespace

void startProcess(const std::string& commandLine) {
  std::vector<std::string> words = splitAtSpaces(commandLine);
  int error = ENOENT;
  if (!words.empty()) {
    std::string program = words[0];
    if (program.find('/') == std::string::npos) program = "./" + program;
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid;
    error = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
  }
  if (error != 0) {
    std::printf("CreateProcess failed (%d).\n", error);
    std::fflush(stdout);
  }
}

}  // namespace quor
