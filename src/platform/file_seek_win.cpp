#include "platform/file_seek.h"

namespace quor {

bool seekFile(FILE* file, uint64_t position) {
  return _fseeki64(file, static_cast<__int64>(position), SEEK_SET) == 0;
}

}  // namespace quor
