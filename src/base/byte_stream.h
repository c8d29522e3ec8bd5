// Bytes that flow piece by piece: a source they are pulled from and a sink
// they are pushed to, so that a file of any size passes through a few
// fixed buffers instead of being held whole. An implementation is used by
// one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/status.h"

namespace quor {

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Fills out with up to want bytes and sets *got to their count, which is
  // less than want only at the end of the bytes. On failure *got is
  // undefined and the source is not read any further.
  virtual Status read(uint8_t* out, size_t want, size_t* got) = 0;
};

// A source of a known size that can be read from any position.
class SeekableSource : public ByteSource {
 public:
  // The size when the source was opened.
  virtual uint64_t size() const = 0;
  // The next read starts at position; beyond the end it reads nothing.
  virtual Status seek(uint64_t position) = 0;
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;

  // Takes all size bytes, or fails.
  virtual Status write(const uint8_t* data, size_t size) = 0;
};

// Bytes in memory that stay owned by the caller.
class MemorySource : public SeekableSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  Status read(uint8_t* out, size_t want, size_t* got) override;
  uint64_t size() const override { return size_; }
  Status seek(uint64_t position) override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

}  // namespace quor
