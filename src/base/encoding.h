// Byte layout of every message and file the updater reads or writes:
// little-endian fixed-width numbers, zero-terminated texts, blobs and lists,
// packed without gaps. ByteWriter is the one writer and ByteReader the one
// reader of these forms; the manifest, the messages and the tests share them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quor {

using Bytes = std::vector<uint8_t>;

class ByteWriter {
 public:
  void u32(uint32_t value);
  // Eight bytes, low half first.
  void u64(uint64_t value);
  void f32(float value);
  void u8(uint8_t value);
  // The bytes of the text followed by one 0x00.
  void text(std::string_view value);
  // A uint32 count, then exactly that many bytes.
  void blob(const uint8_t* data, uint32_t size);
  void raw(const void* data, size_t size);

  const Bytes& bytes() const { return bytes_; }
  Bytes take() { return std::move(bytes_); }

 private:
  Bytes bytes_;
};

// More elements than any list of the protocol or the manifest holds.
constexpr uint32_t kMaxListElements = uint32_t{1} << 20;

// Reads the primitives at a running position and never touches memory
// outside [data, data + size). A read that needs bytes beyond the end
// yields what the exhausted-data rule gives (0 for numbers, a text cut at
// the end, an empty blob) and sets overrun(), which stays set.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size, size_t start = 0);

  uint32_t u32();
  uint64_t u64();
  float f32();
  uint8_t u8();
  // Bytes up to the first 0x00; the position moves past the 0x00. Without
  // a terminator the text runs to the end of the data and overrun() is set.
  std::string text();
  // A count, then that many bytes; a count larger than what is left yields
  // an empty blob, sets overrun() and leaves the position at the end.
  Bytes blob();
  // A list's element count. A count above kMaxListElements is refused as
  // an overrun (the position moves to the end and the count reads 0): one
  // byte of input can decode to a whole std::string, so the bytes present
  // alone would let a large packet grow into gigabytes.
  uint32_t listCount();
  // Lists stop at the first element that overruns, so a hostile count
  // never costs more work than the bytes present.
  std::vector<uint32_t> u32List();
  std::vector<std::string> textList();
  std::vector<std::pair<uint32_t, std::string>> numberedTextList();

  bool overrun() const { return overrun_; }
  size_t position() const { return position_; }
  size_t remaining() const { return size_ - position_; }

 private:
  bool take(void* out, size_t count);

  const uint8_t* data_;
  size_t size_;
  size_t position_;
  bool overrun_ = false;
};

// Decimal digits of the value, "-" first for negative signed values.
std::string decimalText(uint32_t value);
std::string decimalText(int32_t value);
// fraction × 100 in single precision, rounded half away from zero, then "%".
std::string percentText(float fraction);

}  // namespace quor
