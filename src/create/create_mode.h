// Create mode: writes the update data set of the current folder into
// "server_data/update_data/": N.compressed for every non-empty file,
// N.patch for every file that changed against the old build, and
// manifest.manifest.
#pragma once

#include <string>

#include "dataset/dataset.h"

namespace quor {

// dataSet is the scan of "./"; oldFolder the older build ('/' separators,
// no trailing one), empty for none. Returns false when the data set could
// not be published completely; no manifest is written then.
bool createUpdateData(const DataSet& dataSet, std::string oldFolder);

}  // namespace quor
