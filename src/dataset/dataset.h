// A data set: every file below a root, keyed by path, with its checksum.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "fs/file_utils.h"

namespace quor {

// Path (root as written, '/' separators) -> fileChecksum. Folders are not
// entries; empty files are, with checksum 0.
using DataSet = std::unordered_map<std::string, int32_t>;

// Scans every file below root but the staging folder's and the releases'
// (dataset/layout.h), which are no part of any game. Links below root are
// not entries and are not followed (listFilesRecursive): nothing behind one
// is in the set, so nothing there is ever deleted or taken for the game's.
// A root that does not exist gives an empty set; a folder that cannot be
// read stops the scan and is reported in *status (the set then holds what
// was scanned before it).
DataSet scanDataSet(std::string root, Status* status = nullptr);

// Sum, modulo 2^32, of the checksums of every file below "data/quor/" and
// "data/common/" and of "quor.exe", relative to the current folder.
uint32_t datasetChecksum();

}  // namespace quor
