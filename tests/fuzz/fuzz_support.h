// What the fuzz targets share: a log that counts lines and keeps nothing,
// and a reader that splits one fuzz input into parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace quor::fuzz {

// Lines logged (logLine and logError) since the last afterInput().
size_t loggedLines();

// Call at the end of every input.
void afterInput();

// Stops the program with a message when a property of the code under test
// does not hold; libFuzzer records the input as a crash.
inline void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz property violated: %s\n", what);
  std::abort();
}

// Takes parts off the front of one input.
class InputSplitter {
 public:
  InputSplitter(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // A 16-bit little-endian number, 0 for missing bytes.
  uint16_t u16() {
    uint16_t value = 0;
    for (int i = 0; i < 2 && at_ < size_; ++i) value |= uint16_t(data_[at_++] << (8 * i));
    return value;
  }
  // Up to count bytes, copied into a buffer of exactly their size so that
  // the sanitizer sees any read past its end.
  std::vector<uint8_t> take(size_t count) {
    count = count < size_ - at_ ? count : size_ - at_;
    std::vector<uint8_t> part(data_ + at_, data_ + at_ + count);
    at_ += count;
    return part;
  }
  std::vector<uint8_t> rest() { return take(size_ - at_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace quor::fuzz
