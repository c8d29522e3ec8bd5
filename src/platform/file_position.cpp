#include "platform/file_position.h"

#include <sys/types.h>

namespace quor {

int seekFile(FILE* file, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET);
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET);
#endif
}

}  // namespace quor
