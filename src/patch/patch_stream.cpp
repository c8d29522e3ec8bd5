#include "patch/patch_stream.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "base/encoding.h"
#include "patch/patch.h"

namespace quor {
namespace {

constexpr size_t kPieceSize = 256 * 1024;

Status corruptPatch() { return Status::corrupt("bspatch: corrupt patch"); }

class PatchApplier {
 public:
  PatchApplier(ByteSource& body, SeekableSource& old, ByteSink& out)
      : body_(body),
        old_(old),
        out_(out),
        piece_(std::make_unique_for_overwrite<uint8_t[]>(kPieceSize)),
        oldPiece_(std::make_unique_for_overwrite<uint8_t[]>(kPieceSize)) {}

  Status run(uint32_t newLength);

 private:
  Status readBody(uint8_t* out, size_t count);
  Status applyRecord(const ControlTriple& control);
  Status copyDiff(int64_t length);
  Status copyExtra(int64_t length);
  Status addOldBytes(int64_t from, uint8_t* target, size_t count);

  ByteSource& body_;
  SeekableSource& old_;
  ByteSink& out_;
  std::unique_ptr<uint8_t[]> piece_;
  std::unique_ptr<uint8_t[]> oldPiece_;
  int64_t oldPos_ = 0;
};

Status PatchApplier::run(uint32_t newLength) {
  int64_t newPos = 0;
  while (newPos < newLength) {
    uint8_t encoded[kControlSize];
    Status status = readBody(encoded, kControlSize);
    if (!status.ok()) return status;
    ControlTriple control = decodeControl(encoded);
    if (!validLengths(control) || newPos + control.diffLength + control.extraLength > newLength) {
      return corruptPatch();
    }
    status = applyRecord(control);
    if (!status.ok()) return status;
    newPos += control.diffLength + control.extraLength;
  }
  // A patch that goes on after the new file is complete was not made for
  // this length.
  uint8_t more;
  size_t got = 0;
  Status status = body_.read(&more, 1, &got);
  if (!status.ok()) return status;
  return got == 0 ? Status() : corruptPatch();
}

// Exactly count bytes of the body; a body that ends first is corrupt.
Status PatchApplier::readBody(uint8_t* out, size_t count) {
  size_t got = 0;
  Status status = body_.read(out, count, &got);
  if (!status.ok()) return status;
  return got == count ? Status() : corruptPatch();
}

Status PatchApplier::applyRecord(const ControlTriple& control) {
  int64_t oldEnd;
  if (__builtin_add_overflow(oldPos_, control.diffLength, &oldEnd)) return corruptPatch();
  Status status = copyDiff(control.diffLength);
  if (!status.ok()) return status;
  oldPos_ = oldEnd;
  status = copyExtra(control.extraLength);
  if (!status.ok()) return status;
  if (__builtin_add_overflow(oldPos_, control.oldSeek, &oldPos_)) return corruptPatch();
  return {};
}

Status PatchApplier::copyDiff(int64_t length) {
  for (int64_t done = 0; done < length;) {
    size_t count = static_cast<size_t>(std::min<int64_t>(length - done, kPieceSize));
    Status status = readBody(piece_.get(), count);
    if (status.ok()) status = addOldBytes(oldPos_ + done, piece_.get(), count);
    if (status.ok()) status = out_.write(piece_.get(), count);
    if (!status.ok()) return status;
    done += static_cast<int64_t>(count);
  }
  return {};
}

Status PatchApplier::copyExtra(int64_t length) {
  for (int64_t done = 0; done < length;) {
    size_t count = static_cast<size_t>(std::min<int64_t>(length - done, kPieceSize));
    Status status = readBody(piece_.get(), count);
    if (status.ok()) status = out_.write(piece_.get(), count);
    if (!status.ok()) return status;
    done += static_cast<int64_t>(count);
  }
  return {};
}

// Adds the old bytes at [from, from + count) to target where the old file
// has them; positions outside it leave the diff bytes as read.
Status PatchApplier::addOldBytes(int64_t from, uint8_t* target, size_t count) {
  int64_t start = std::max<int64_t>(from, 0);
  int64_t end = from + static_cast<int64_t>(count);  // no overflow: checked for the record
  if (start >= end || static_cast<uint64_t>(start) >= old_.size()) return {};
  size_t got = 0;
  Status status = old_.seek(static_cast<uint64_t>(start));
  if (status.ok()) status = old_.read(oldPiece_.get(), static_cast<size_t>(end - start), &got);
  if (!status.ok()) return status;
  uint8_t* aligned = target + (start - from);
  for (size_t i = 0; i < got; ++i) aligned[i] = uint8_t(aligned[i] + oldPiece_[i]);
  return {};
}

}  // namespace

Status applyPatchStream(ByteSource& body, SeekableSource& old, ByteSink& out) {
  uint8_t header[kPatchHeaderSize];
  size_t got = 0;
  Status status = body.read(header, kPatchHeaderSize, &got);
  if (!status.ok()) return status;
  if (got < kPatchHeaderSize) return Status::corrupt("bspatch: too small");
  if (std::memcmp(header, patchMagic, kPatchMagicSize) != 0) {
    return Status::corrupt("bspatch: wrong header");
  }
  uint32_t newLength = ByteReader(header + kPatchMagicSize, 4).u32();
  return PatchApplier(body, old, out).run(newLength);
}

}  // namespace quor
