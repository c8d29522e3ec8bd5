#include "dataset/dataset.h"

#include "base/text_replace.h"
#include "dataset/layout.h"
#include "dataset/md5.h"

namespace quor {

DataSet scanDataSet(std::string root, Status* status) {
  DataSet set;
  std::vector<std::string> paths;
  Status listed = listFilesRecursive(root, &paths);
  if (status) *status = listed;
  for (std::string& path : paths) {
    replaceAll(path, "\\", "/");
    // Neither a download in progress nor the publisher's releases are game
    // files (dataset/layout.h).
    if (isStagingPath(root, path) || isReleasesPath(root, path)) continue;
    set[path] = fileChecksum(path);
  }
  return set;
}

uint32_t datasetChecksum() {
  // A folder that cannot be read adds what could be listed: the sum only
  // tells versions apart.
  std::vector<std::string> paths;
  std::vector<std::string> common;
  (void)listFilesRecursive("data/quor/", &paths);
  (void)listFilesRecursive("data/common/", &common);
  paths.insert(paths.end(), common.begin(), common.end());
  paths.push_back("quor.exe");
  uint32_t sum = 0;
  for (const std::string& path : paths) sum += static_cast<uint32_t>(fileChecksum(path));
  return sum;
}

}  // namespace quor
