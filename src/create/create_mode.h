// Create mode: writes the update data set of the current folder into
// "server_data/update_data/": N.compressed for every non-empty file,
// N.patch for every file that changed against the old build, and
// manifest.manifest.
//
// Memory: a file without a patch is compressed piece by piece (about
// 1 MiB whatever its size, up to the container's 4 GiB). A patch needs the
// old and the new file whole plus the diff's working memory, which must
// fit the budget: bsdiff's (bsdiffMemory in patch/diff.h, about 9 bytes per
// old byte) when it fits, else the block index's (patch/block_diff.h, from
// about 1 byte per old byte down to a few MiB). A file for which not even that
// fits gets no patch and is published whole, with the line "file too large
// to patch within memory, published whole: <path>".
#pragma once

#include <cstdint>
#include <string>

#include "create/sign_data_set.h"
#include "dataset/dataset.h"

namespace quor {

// Memory one patch may take beyond the old and new file: 2 GiB, so files
// up to about 200 MiB get bsdiff's patches and larger ones the block
// index's.
inline constexpr uint64_t kPatchMemoryBudget = uint64_t(2) << 30;

// dataSet is the scan of "./"; oldFolder the older build ('/' separators,
// no trailing one), empty for none. Returns false when the data set could
// not be published completely; no manifest is written then. Tests lower
// patchMemoryBudget. With signing, manifest.sig is written too
// (create/sign_data_set.h); a key that cannot be read stops the run before
// anything is written, and a data set that cannot be signed keeps no
// manifest.
bool createUpdateData(const DataSet& dataSet, std::string oldFolder,
                      uint64_t patchMemoryBudget = kPatchMemoryBudget,
                      const SigningRequest* signing = nullptr);

}  // namespace quor
