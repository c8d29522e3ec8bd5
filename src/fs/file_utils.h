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
// Links below root (platform/links.h: symbolic links, Windows junctions)
// are neither listed nor followed, so a listing never leaves root and
// never loops; they go to *links when given, in the order they were met.
// root itself is followed when it is a link. One status query per entry
// more than the listing itself.
Status listFilesRecursive(const std::string& root, std::vector<std::string>* paths,
                          std::vector<std::string>* links = nullptr);

// Every folder below root, each before its contents (pre-order). Links as
// for listFilesRecursive.
Status listFoldersRecursive(const std::string& root, std::vector<std::string>* paths,
                            std::vector<std::string>* links = nullptr);

// The listing path ("./logs/events.jsonl") under which a scan of "./"
// meets file, given as the user wrote it (relative or absolute); "" when
// file lies outside the current folder. Only the words are compared, so a
// link on the way is not seen through.
std::string pathInCurrentFolder(const std::string& file);

// Creates the folders before the last '/' of path, with missing parents.
// A path without '/' needs nothing.
Status createParentFolders(const std::string& path);

}  // namespace quor
