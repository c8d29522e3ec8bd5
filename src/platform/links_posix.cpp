#include "platform/links.h"

#include <system_error>

namespace quor {

bool isLink(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::symlink;
}

}  // namespace quor
