// The patch body and its application. A patch body is
//
//   offset 0   patchMagic   "quor_bsdiff" and five spaces, 16 bytes
//   offset 16  newLength    unsigned 32-bit little-endian
//   offset 20  records      back to back up to the end of the body
//
// and each record is a control triple (diffLength, extraLength, oldSeek),
// three signed 64-bit numbers in the offset encoding below, followed by
// diffLength diff bytes (new − old, mod 256, along the old file) and
// extraLength extra bytes (new bytes as they are). The records of a sound
// patch produce exactly newLength bytes. The body travels as the content of
// a binary_patch container.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/encoding.h"
#include "base/status.h"

namespace quor {

inline constexpr size_t kPatchMagicSize = 16;
extern const char patchMagic[kPatchMagicSize];  // no terminator

// Size of the fixed part of a body: patchMagic and newLength.
inline constexpr size_t kPatchHeaderSize = 20;
// Size of one encoded control triple.
inline constexpr size_t kControlSize = 24;

// Sign and magnitude in 8 bytes: |value| little-endian in 63 bits, bit 7 of
// byte 7 set for negative values. A set sign with magnitude 0 reads as 0.
void writeOffset(int64_t value, uint8_t* destination);
int64_t readOffset(const uint8_t* source);

struct ControlTriple {
  int64_t diffLength;
  int64_t extraLength;
  int64_t oldSeek;
};

// The triple in the kControlSize bytes at encoded.
ControlTriple decodeControl(const uint8_t* encoded);
// Whether both lengths are ones bsdiff writes: 0 to 0x7FFFFFFF.
bool validLengths(const ControlTriple& control);

// The one way bspatch reads the records: sequential reads from the body
// bytes after the header. read() returns 0 when it delivered all count
// bytes and a non-zero status otherwise (then it delivered nothing).
class PatchReader {
 public:
  PatchReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  int read(uint8_t* buffer, uint64_t count);
  size_t remaining() const { return size_ - position_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// Applies the patch body to old and puts the new file into *result. old
// may be null when oldLength is 0, patch null when the body could not be
// decoded. Fails, with a "bspatch: ..." message, for a missing, short or
// foreign header and for any patch whose records do not produce exactly
// newLength bytes (invalid lengths, a record past newLength, a body that
// ends early or goes on after the new file is complete). A patch for an
// empty file yields an empty buffer. Nothing is ever allocated beyond what
// the body itself can fill.
Status bspatch(const uint8_t* old, uint32_t oldLength, const uint8_t* patch,
               uint32_t patchLength, Bytes* result);

}  // namespace quor
