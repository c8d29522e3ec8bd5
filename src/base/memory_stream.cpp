#include "base/memory_stream.h"

namespace quor {

MemoryStreamBuf::MemoryStreamBuf(const uint8_t* data, size_t size) {
  // The get area is never written through; streambuf only wants char*.
  char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
  setg(begin, begin, begin + size);
}

MemoryStreamBuf::pos_type MemoryStreamBuf::seekoff(off_type offset,
                                                   std::ios_base::seekdir direction,
                                                   std::ios_base::openmode which) {
  if (!(which & std::ios_base::in)) return pos_type(off_type(-1));
  off_type base = direction == std::ios_base::beg   ? 0
                  : direction == std::ios_base::cur ? gptr() - eback()
                                                    : egptr() - eback();
  off_type target = base + offset;
  if (target < 0 || target > egptr() - eback()) return pos_type(off_type(-1));
  setg(eback(), eback() + target, egptr());
  return pos_type(target);
}

MemoryStreamBuf::pos_type MemoryStreamBuf::seekpos(pos_type position,
                                                   std::ios_base::openmode which) {
  return seekoff(off_type(position), std::ios_base::beg, which);
}

}  // namespace quor
