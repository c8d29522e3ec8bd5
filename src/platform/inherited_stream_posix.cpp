#include "platform/inherited_stream.h"

#include <fcntl.h>

#include <climits>

namespace quor {

std::FILE* openInheritedStream(uint64_t number) {
  if (number > INT_MAX) return nullptr;
  int descriptor = static_cast<int>(number);
  int flags = fcntl(descriptor, F_GETFL);
  if (flags == -1 || (flags & O_ACCMODE) == O_RDONLY) return nullptr;
  // "w" on an open descriptor truncates nothing; a pipe stays a pipe.
  return fdopen(descriptor, "w");
}

}  // namespace quor
