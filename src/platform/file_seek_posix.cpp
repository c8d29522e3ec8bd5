#include "platform/file_seek.h"

#include <sys/types.h>

namespace quor {

bool seekFile(FILE* file, uint64_t position) {
  return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

}  // namespace quor
