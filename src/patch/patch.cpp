#include "patch/patch.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>


namespace quor {

const char patchMagic[kPatchMagicSize] = {'q', 'u', 'o', 'r', '_', 'b', 's', 'd',
                                          'i', 'f', 'f', ' ', ' ', ' ', ' ', ' '};

namespace {

constexpr uint64_t kSignBit = uint64_t(1) << 63;
// Larger diff or extra lengths than this are never written.
constexpr int64_t kMaxPieceLength = 0x7FFFFFFF;

// Adds the old bytes at [oldPos, oldEnd) to the diff bytes at target where
// the old file has them; positions outside it leave the diff bytes as read.
void addOldBytes(const uint8_t* old, int64_t oldLength, int64_t oldPos, int64_t oldEnd,
                 uint8_t* target) {
  int64_t from = std::max<int64_t>(oldPos, 0);
  int64_t to = std::min(oldEnd, oldLength);
  for (int64_t p = from; p < to; ++p) target[p - oldPos] = uint8_t(target[p - oldPos] + old[p]);
}

bool readControl(PatchReader& reader, ControlTriple& control) {
  uint8_t encoded[kControlSize];
  if (reader.read(encoded, kControlSize) != 0) return false;
  control = decodeControl(encoded);
  return true;
}

// sum = a + b, or false when that leaves the signed 64-bit range.
bool checkedAdd(int64_t a, int64_t b, int64_t& sum) {
  if (b > 0 ? a > std::numeric_limits<int64_t>::max() - b
            : a < std::numeric_limits<int64_t>::min() - b) {
    return false;
  }
  sum = a + b;
  return true;
}

// Runs the records until the new file is complete. False when a record is
// invalid or runs past the new file, when the body ends before the new
// file is complete or goes on after it.
bool applyRecords(const uint8_t* old, uint32_t oldLength, PatchReader& reader, Bytes& target) {
  const int64_t newLength = static_cast<int64_t>(target.size());
  int64_t newPos = 0;
  int64_t oldPos = 0;
  while (newPos < newLength) {
    ControlTriple control;
    if (!readControl(reader, control)) return false;
    if (!validLengths(control)) return false;

    if (newPos + control.diffLength > newLength) return false;
    if (reader.read(target.data() + newPos, static_cast<uint64_t>(control.diffLength)) != 0) {
      return false;
    }
    int64_t oldEnd;
    if (!checkedAdd(oldPos, control.diffLength, oldEnd)) return false;
    addOldBytes(old, oldLength, oldPos, oldEnd, target.data() + newPos);
    newPos += control.diffLength;
    oldPos = oldEnd;

    if (newPos + control.extraLength > newLength) return false;
    if (reader.read(target.data() + newPos, static_cast<uint64_t>(control.extraLength)) != 0) {
      return false;
    }
    newPos += control.extraLength;
    if (!checkedAdd(oldPos, control.oldSeek, oldPos)) return false;
  }
  // A patch that goes on after the new file is complete was not made for
  // this length; its remaining records would be silently dropped.
  return reader.remaining() == 0;
}

}  // namespace

void writeOffset(int64_t value, uint8_t* destination) {
  uint64_t magnitude = value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
  magnitude &= ~kSignBit;
  if (value < 0) magnitude |= kSignBit;
  for (int i = 0; i < 8; ++i) destination[i] = uint8_t(magnitude >> (8 * i));
}

int64_t readOffset(const uint8_t* source) {
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = bits << 8 | source[i];
  int64_t magnitude = static_cast<int64_t>(bits & ~kSignBit);
  return (bits & kSignBit) != 0 ? -magnitude : magnitude;
}

ControlTriple decodeControl(const uint8_t* encoded) {
  return {readOffset(encoded), readOffset(encoded + 8), readOffset(encoded + 16)};
}

bool validLengths(const ControlTriple& control) {
  auto valid = [](int64_t length) { return length >= 0 && length <= kMaxPieceLength; };
  return valid(control.diffLength) && valid(control.extraLength);
}

int PatchReader::read(uint8_t* buffer, uint64_t count) {
  if (count > remaining()) return -1;
  if (count != 0) std::memcpy(buffer, data_ + position_, static_cast<size_t>(count));
  position_ += static_cast<size_t>(count);
  return 0;
}

Status bspatch(const uint8_t* old, uint32_t oldLength, const uint8_t* patch,
               uint32_t patchLength, Bytes* result) {
  if (patch == nullptr) return Status::corrupt("bspatch: failed to decompress");
  if (patchLength < kPatchHeaderSize) return Status::corrupt("bspatch: too small");
  if (std::memcmp(patch, patchMagic, kPatchMagicSize) != 0) {
    return Status::corrupt("bspatch: wrong header");
  }
  uint32_t newLength = ByteReader(patch + kPatchMagicSize, 4).u32();
  PatchReader reader(patch + kPatchHeaderSize, patchLength - kPatchHeaderSize);

  // Every new byte is carried by one diff or extra byte of the body, behind
  // at least one control triple, so a length the body cannot fill is
  // refused before any memory is spent on it.
  if (newLength != 0 && reader.remaining() < kControlSize + uint64_t(newLength)) {
    return Status::corrupt("bspatch: corrupt patch");
  }
  Bytes newData;
  try {
    newData.resize(newLength);
  } catch (const std::bad_alloc&) {
    return Status::outOfMemory("bspatch: out of memory");
  }
  if (!applyRecords(old, oldLength, reader, newData)) {
    return Status::corrupt("bspatch: corrupt patch");
  }
  *result = std::move(newData);
  return {};
}

}  // namespace quor
