#include "dataset/dataset.h"

#include "base/text_replace.h"
#include "dataset/md5.h"

namespace quor {

DataSet scanDataSet(std::string root, FsError* error) {
  DataSet set;
  for (std::string& path : listFilesRecursive(root, error)) {
    replaceAll(path, "\\", "/");
    set[path] = fileChecksum(path);
  }
  return set;
}

uint32_t datasetChecksum() {
  std::vector<std::string> paths = listFilesRecursive("data/quor/", nullptr);
  std::vector<std::string> common = listFilesRecursive("data/common/", nullptr);
  paths.insert(paths.end(), common.begin(), common.end());
  paths.push_back("quor.exe");
  uint32_t sum = 0;
  for (const std::string& path : paths) sum += static_cast<uint32_t>(fileChecksum(path));
  return sum;
}

}  // namespace quor
