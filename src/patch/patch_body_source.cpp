#include "patch/patch_body_source.h"

#include <algorithm>
#include <cstring>

namespace quor {

PatchBodySource::PatchBodySource(const uint8_t* old, uint32_t oldLength, const uint8_t* newData,
                                 uint32_t newLength, RecordSource& records)
    : old_(old), oldLength_(oldLength), new_(newData), records_(records) {
  static_assert(kPatchHeaderSize <= kControlSize);
  std::memcpy(fixed_, patchMagic, kPatchMagicSize);
  for (int i = 0; i < 4; ++i) fixed_[kPatchMagicSize + i] = uint8_t(newLength >> (8 * i));
  fixedLength_ = kPatchHeaderSize;
}

bool PatchBodySource::startRecord() {
  newPos_ += record_.diffLength + record_.extraLength;
  oldPos_ += record_.diffLength + record_.oldSeek;
  if (!records_.next(&record_)) {
    finished_ = true;
    return false;
  }
  writeOffset(record_.diffLength, fixed_);
  writeOffset(record_.extraLength, fixed_ + 8);
  writeOffset(record_.oldSeek, fixed_ + 16);
  fixedLength_ = kControlSize;
  fixedDone_ = 0;
  diffDone_ = 0;
  extraDone_ = 0;
  return true;
}

// Copies what is left of the fixed bytes, diff bytes and extra bytes of
// the current record; returns the count copied.
size_t PatchBodySource::copyPending(uint8_t* out, size_t want) {
  size_t done = 0;
  if (fixedDone_ < fixedLength_) {
    size_t piece = std::min(want, fixedLength_ - fixedDone_);
    std::memcpy(out, fixed_ + fixedDone_, piece);
    fixedDone_ += piece;
    done += piece;
  }
  if (done < want && diffDone_ < record_.diffLength) {
    size_t piece = size_t(std::min<int64_t>(int64_t(want - done), record_.diffLength - diffDone_));
    const uint8_t* newBytes = new_ + newPos_ + diffDone_;
    int64_t oldAt = oldPos_ + diffDone_;
    for (size_t i = 0; i < piece; ++i, ++oldAt) {
      // bspatch adds nothing where the old file has no byte.
      uint8_t oldByte = oldAt >= 0 && oldAt < oldLength_ ? old_[oldAt] : 0;
      out[done + i] = uint8_t(newBytes[i] - oldByte);
    }
    diffDone_ += int64_t(piece);
    done += piece;
  }
  if (done < want && extraDone_ < record_.extraLength) {
    size_t piece =
        size_t(std::min<int64_t>(int64_t(want - done), record_.extraLength - extraDone_));
    std::memcpy(out + done, new_ + newPos_ + record_.diffLength + extraDone_, piece);
    extraDone_ += int64_t(piece);
    done += piece;
  }
  return done;
}

Status PatchBodySource::read(uint8_t* out, size_t want, size_t* got) {
  *got = 0;
  while (*got < want && !finished_) {
    size_t copied = copyPending(out + *got, want - *got);
    *got += copied;
    if (copied == 0) startRecord();
  }
  return {};
}

}  // namespace quor
