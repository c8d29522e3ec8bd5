#include "base/encoding.h"

#include <cmath>
#include <cstring>

namespace quor {

void ByteWriter::u32(uint32_t value) {
  uint8_t le[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                   uint8_t(value >> 24)};
  raw(le, 4);
}

void ByteWriter::u64(uint64_t value) {
  u32(static_cast<uint32_t>(value));
  u32(static_cast<uint32_t>(value >> 32));
}

void ByteWriter::f32(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  u32(bits);
}

void ByteWriter::u8(uint8_t value) { bytes_.push_back(value); }

void ByteWriter::text(std::string_view value) {
  raw(value.data(), value.size());
  bytes_.push_back(0);
}

void ByteWriter::blob(const uint8_t* data, uint32_t size) {
  u32(size);
  raw(data, size);
}

void ByteWriter::raw(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  bytes_.insert(bytes_.end(), p, p + size);
}

ByteReader::ByteReader(const uint8_t* data, size_t size, size_t start)
    : data_(data), size_(size), position_(start <= size ? start : size) {
  if (start > size) overrun_ = true;
}

bool ByteReader::take(void* out, size_t count) {
  if (count > remaining()) {
    position_ = size_;
    overrun_ = true;
    return false;
  }
  if (count != 0) std::memcpy(out, data_ + position_, count);
  position_ += count;
  return true;
}

uint32_t ByteReader::u32() {
  uint8_t le[4];
  if (!take(le, 4)) return 0;
  return uint32_t(le[0]) | uint32_t(le[1]) << 8 | uint32_t(le[2]) << 16 |
         uint32_t(le[3]) << 24;
}

uint64_t ByteReader::u64() {
  uint8_t le[8];
  if (!take(le, 8)) return 0;
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | le[i];
  return value;
}

float ByteReader::f32() {
  uint32_t bits = u32();
  float value;
  std::memcpy(&value, &bits, 4);
  return value;
}

uint8_t ByteReader::u8() {
  uint8_t value = 0;
  take(&value, 1);
  return value;
}

std::string ByteReader::text() {
  if (remaining() == 0) {
    overrun_ = true;
    return {};
  }
  const uint8_t* begin = data_ + position_;
  const void* nul = std::memchr(begin, 0, remaining());
  if (nul == nullptr) {
    std::string cut(reinterpret_cast<const char*>(begin), remaining());
    position_ = size_;
    overrun_ = true;
    return cut;
  }
  size_t length = static_cast<const uint8_t*>(nul) - begin;
  position_ += length + 1;
  return std::string(reinterpret_cast<const char*>(begin), length);
}

Bytes ByteReader::blob() {
  uint32_t count = u32();
  if (overrun_ || count > remaining()) {
    position_ = size_;
    overrun_ = true;
    return {};
  }
  Bytes out(data_ + position_, data_ + position_ + count);
  position_ += count;
  return out;
}

uint32_t ByteReader::listCount() {
  uint32_t count = u32();
  if (count <= kMaxListElements) return count;
  overrun_ = true;
  position_ = size_;
  return 0;
}

std::vector<uint32_t> ByteReader::u32List() {
  std::vector<uint32_t> values;
  for (uint32_t count = listCount(); count > 0 && !overrun_; --count) {
    uint32_t value = u32();
    if (overrun_) break;
    values.push_back(value);
  }
  return values;
}

std::vector<std::string> ByteReader::textList() {
  std::vector<std::string> texts;
  for (uint32_t count = listCount(); count > 0 && !overrun_; --count) {
    std::string value = text();
    if (overrun_) break;
    texts.push_back(std::move(value));
  }
  return texts;
}

std::vector<std::pair<uint32_t, std::string>> ByteReader::numberedTextList() {
  std::vector<std::pair<uint32_t, std::string>> pairs;
  for (uint32_t count = listCount(); count > 0 && !overrun_; --count) {
    uint32_t number = u32();
    std::string label = text();
    if (overrun_) break;
    pairs.emplace_back(number, std::move(label));
  }
  return pairs;
}

std::string decimalText(uint32_t value) { return std::to_string(value); }

std::string decimalText(int32_t value) { return std::to_string(value); }

std::string percentText(float fraction) {
  float percent = std::round(fraction * 100.0f);
  // Keep the conversion defined for values no progress line can reach.
  if (!(percent > -2147483648.0f)) percent = -2147483648.0f;
  if (!(percent < 2147483647.0f)) percent = 2147483520.0f;
  return decimalText(static_cast<int32_t>(percent)) + "%";
}

}  // namespace quor
