#include "app/write_check.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

namespace quor {
namespace {

constexpr const char* kTestFile = "QUOR_WRITE_TEST.FILE";

void printRefusal() {
  const char* lines[] = {
      "########################################",
      "####  ERROR: unable to write files  ####",
      "########################################",
      "",
      "Game is probably in a location with restricted write permissions",
      "for example \"c:/program files/\".",
      "Please move your game folder to different directory",
  };
  for (const char* line : lines) std::cout << line << std::endl;
}

}  // namespace

bool checkWritePermission() {
  { std::ofstream probe(kTestFile, std::ios::out | std::ios::trunc); }
  // A status query that fails for another reason than "not found" cannot
  // tell; the file is then taken as created, and the update itself will
  // report what it cannot write.
  std::error_code ec;
  auto type = std::filesystem::status(kTestFile, ec).type();
  bool present = type != std::filesystem::file_type::not_found;
  std::filesystem::remove(kTestFile, ec);
  if (!present) printRefusal();
  return present;
}

}  // namespace quor
