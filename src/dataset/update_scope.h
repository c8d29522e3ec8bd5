// Which game-folder paths the update may replace or delete.
#pragma once

#include <string>
#include <vector>

namespace quor {

// Folders that are left alone while the player has them, unless --full:
// "/saves/", "/server_data/", "/settings/".
extern const std::vector<std::string> protectedFolders;

// The names of the folders the rules below single out: "data",
// "editor_data" and the protected folders. A path that reaches one of them
// under another name slips past the rules (see isSafeManifestPath).
const std::vector<std::string>& scopeFolderNames();

// path is a data-set path such as ./data/quor/a.map; full is --full.
// Rules, first match decides (all case-sensitive substring tests):
//   "/data/" without "/data/quor/" or "/data/common/" -> false;
//   "updater.log" -> false; "/editor_data/" -> false; full -> true;
//   a protected folder pattern whose "." + pattern exists -> false;
//   otherwise true. An existence test that fails for any reason other than
//   "not found" counts as present, so the folder stays protected.
bool isInUpdateScope(std::string path, bool full);

}  // namespace quor
