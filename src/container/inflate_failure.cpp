#include "container/inflate_failure.h"

#include <zlib.h>

namespace quor {

Status inflateFailure(int code) {
  switch (code) {
    case Z_MEM_ERROR:
      return Status::outOfMemory("zlib: out of memory");
    case Z_BUF_ERROR:
      return Status::corrupt("zlib: not enough space in the buffer to uncompress");
    case Z_DATA_ERROR:
    case Z_NEED_DICT:  // a preset dictionary, which no container uses
      return Status::corrupt("zlib: corrupted or incomplete data");
    default:
      return Status::corrupt("zlib: failed");
  }
}

}  // namespace quor
