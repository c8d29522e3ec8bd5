// A patch body (see patch.h) produced piece by piece from its records, the
// old and the new file: the diff and extra bytes are made as they are
// read, so the body costs no memory of its own whatever its length. Used by
// one thread at a time.
#pragma once

#include <cstdint>

#include "base/byte_stream.h"
#include "patch/patch.h"

namespace quor {

// Yields the records of a patch in order.
class RecordSource {
 public:
  virtual ~RecordSource() = default;
  // The next record; false after the last one.
  virtual bool next(ControlTriple* record) = 0;
};

class PatchBodySource : public ByteSource {
 public:
  // The files and records must outlive the source. The records must fit
  // the files: their diff and extra bytes together make the new file, and
  // their lengths are ones bspatch accepts.
  PatchBodySource(const uint8_t* old, uint32_t oldLength, const uint8_t* newData,
                  uint32_t newLength, RecordSource& records);

  Status read(uint8_t* out, size_t want, size_t* got) override;

 private:
  size_t copyPending(uint8_t* out, size_t want);
  bool startRecord();

  const uint8_t* old_;
  int64_t oldLength_;
  const uint8_t* new_;
  RecordSource& records_;
  // Bytes of the header or the current control triple not yet read.
  uint8_t fixed_[kControlSize];
  size_t fixedLength_ = 0;
  size_t fixedDone_ = 0;
  ControlTriple record_{0, 0, 0};
  int64_t diffDone_ = 0;
  int64_t extraDone_ = 0;
  int64_t newPos_ = 0;  // where the current record's bytes start
  int64_t oldPos_ = 0;
  bool finished_ = false;
};

}  // namespace quor
