#include "app/banner.h"

namespace quor {

const std::array<std::string, 7>& bannerLines() {
  static const std::array<std::string, 7> lines = {
      std::string(53, '='),
      "      __                              |              ",
      "     /  \\ |  | __ ._  __   |  | __  __| __._|_ _ ._  ",
      "     \\__\\ |__|(__)|        |__||__)(__|(__| |_(/_|   ",
      "                               |                     ",
      std::string(18, ' ') + "v2" + std::string(33, ' '),
      std::string(53, '='),
  };
  return lines;
}

}  // namespace quor
