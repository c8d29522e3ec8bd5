// Finds the link on the way of a game-folder path, so that nothing is
// written or deleted through one: a player who moved a folder elsewhere
// and left a link (or a Windows junction) in its place keeps what is
// there, and the link stays as it is.
#pragma once

#include <string>
#include <unordered_map>

namespace quor {

// Remembers every folder it has asked about, so that the paths of one
// folder cost one query for the folder and one for each path. Asks the
// file system as it is now: a link made after the question is not seen.
// Not thread-safe; one finder per thread.
class LinkFinder {
 public:
  // The first entry on path's way that is a link (platform/links.h): a
  // folder above it ("./data/common/shared" for
  // "./data/common/shared/a.txt") or path itself. Empty when there is
  // none. path is in the data-set form ("./" and '/' separators).
  std::string linkOn(const std::string& path);

 private:
  bool isLinkAt(const std::string& prefix, bool remember);

  std::unordered_map<std::string, bool> folders_;  // folder path -> is a link
};

}  // namespace quor
