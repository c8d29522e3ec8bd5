// Create mode: writes the update data set of the current folder into
// "server_data/update_data/": N.compressed for every non-empty file,
// N.patch for every file that changed against the old build, and
// manifest.manifest.
//
// Memory: a file without a patch is compressed piece by piece (about
// 1 MiB whatever its size, up to the container's 4 GiB). A patch needs the
// old and the new file whole plus bsdiff's working memory (bsdiffMemory in
// patch/diff.h, about 9 bytes per old byte); a file whose patch would need
// more than the budget gets none and is published whole, with the line
// "file too large to patch within memory, published whole: <path>".
#pragma once

#include <cstdint>
#include <string>

#include "create/sign_data_set.h"
#include "dataset/dataset.h"

namespace quor {

// Memory one patch may take in all, old and new file included: 4 GiB, so
// files up to about 370 MiB get patches.
inline constexpr uint64_t kPatchMemoryBudget = uint64_t(4) << 30;

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
