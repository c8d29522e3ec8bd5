#include "fs/link_finder.h"

#include "platform/links.h"
#include "platform/native_path.h"

namespace quor {

bool LinkFinder::isLinkAt(const std::string& prefix, bool remember) {
  if (!remember) return isLink(toNativePath(prefix));
  auto [it, added] = folders_.try_emplace(prefix, false);
  if (added) it->second = isLink(toNativePath(prefix));
  return it->second;
}

std::string LinkFinder::linkOn(const std::string& path) {
  // "./" itself is the game folder, whatever it is.
  size_t from = path.starts_with("./") ? 2 : 0;
  for (size_t slash = path.find('/', from); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string folder = path.substr(0, slash);
    if (isLinkAt(folder, true)) return folder;
  }
  if (isLinkAt(path, false)) return path;
  return {};
}

}  // namespace quor
