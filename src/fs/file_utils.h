// Listings, folder creation and the path conventions shared by every mode.
// Paths are narrow strings relative to the current folder with '/' as the
// only separator; a listing's paths begin with its root as the caller wrote
// it, so a scan of "./" yields paths like ./data/common/x.txt.
#pragma once

#include <string>
#include <vector>

#include "base/status.h"

namespace quor {

// File-system failures are returned, never thrown, as an I/O error whose
// message reads "<what> <path>: <system's reason>".

// Every entry below root that is not a folder, depth first in the order the
// file system lists them; a folder's contents stand where it was met. A
// root that does not exist yields an empty list. Stops at the first folder
// that cannot be read and says so; *paths then holds what was listed
// before it.
Status listFilesRecursive(const std::string& root, std::vector<std::string>* paths);

// Every folder below root, each before its contents (pre-order).
Status listFoldersRecursive(const std::string& root, std::vector<std::string>* paths);

// Creates the folders before the last '/' of path, with missing parents.
// A path without '/' needs nothing.
Status createParentFolders(const std::string& path);

}  // namespace quor
