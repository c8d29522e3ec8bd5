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
//   "updater.log" or "updater.version" -> false; "/editor_data/" -> false; full -> true;
//   a protected folder pattern whose "." + pattern exists -> false;
//   otherwise true. An existence test that fails for any reason other than
//   "not found" counts as present, so the folder stays protected.
bool isInUpdateScope(std::string path, bool full);

// isInUpdateScope for every path the update writes, empties or deletes.
// Where file names ignore case, the manifest's "./SAVES/game1.sav" is the
// player's ./saves/game1.sav, and a player's ./SAVES/game1.sav is in the
// protected folder too: the path must then be in scope with its ASCII
// letters made small as well, so that the rules, written in small letters,
// hold in any case. Names ignore case on Windows, and on Linux too in a
// game folder on vfat or exFAT or with ext4's casefold, which a program
// cannot tell in advance without writing: so the rule holds everywhere
// (namesIgnoreCase false is isInUpdateScope itself). Where case does tell
// names apart, it only keeps a manifest from writing ./SAVES/ beside a
// player's ./saves/.
bool isInUpdateScopeInAnyCase(const std::string& path, bool full, bool namesIgnoreCase = true);

}  // namespace quor
