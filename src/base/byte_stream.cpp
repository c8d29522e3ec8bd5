#include "base/byte_stream.h"

#include <algorithm>
#include <cstring>

namespace quor {

Status MemorySource::read(uint8_t* out, size_t want, size_t* got) {
  size_t count = std::min(want, size_ - position_);
  if (count != 0) std::memcpy(out, data_ + position_, count);
  position_ += count;
  *got = count;
  return {};
}

Status MemorySource::seek(uint64_t position) {
  position_ = static_cast<size_t>(std::min<uint64_t>(position, size_));
  return {};
}

}  // namespace quor
