// Listings, folder creation and the path conventions shared by every mode.
// Paths are narrow strings relative to the current folder with '/' as the
// only separator; a listing's paths begin with its root as the caller wrote
// it, so a scan of "./" yields paths like ./data/common/x.txt.
#pragma once

#include <string>
#include <vector>

namespace quor {

// File-system failures are returned, never thrown: an empty text means
// success, anything else reads "<what> <path>: <system's reason>".
using FsError = std::string;

// Every entry below root that is not a folder, depth first in the order the
// file system lists them; a folder's contents stand where it was met. A
// root that does not exist yields an empty list. Stops at the first folder
// that cannot be read and reports it in *error.
std::vector<std::string> listFilesRecursive(const std::string& root, FsError* error);

// Every folder below root, each before its contents (pre-order).
std::vector<std::string> listFoldersRecursive(const std::string& root, FsError* error);

// Creates the folders before the last '/' of path, with missing parents.
// A path without '/' needs nothing.
FsError createParentFolders(const std::string& path);

}  // namespace quor
