#include "create/create_mode.h"

#include "log/log.h"

namespace quor {

bool createUpdateData(const DataSet& dataSet, std::string oldFolder) {
  (void)dataSet;
  (void)oldFolder;
  logLine("Creating update data...");
  return true;
}

}  // namespace quor
