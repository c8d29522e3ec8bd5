// A read-only, seekable std::istream over bytes that stay owned by the
// caller, so decoding a received file does not copy it first.
#pragma once

#include <cstdint>
#include <istream>
#include <streambuf>

namespace quor {

class MemoryStreamBuf : public std::streambuf {
 public:
  MemoryStreamBuf(const uint8_t* data, size_t size);

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;
};

class MemoryInputStream : public std::istream {
 public:
  MemoryInputStream(const uint8_t* data, size_t size) : std::istream(nullptr), buffer_(data, size) {
    rdbuf(&buffer_);
  }

 private:
  MemoryStreamBuf buffer_;
};

}  // namespace quor
