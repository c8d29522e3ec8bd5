// The split patch: the records of a patch body (patch.h) with their three
// kinds of bytes in three zstd frames, each compressed on its own with a
// window that spans it, so that the diff bytes (mostly zeros) and the new
// bytes (like the file itself) each find their own matches:
//
//   offset 0   splitPatchMagic   "quor_zdiff" and six spaces, 16 bytes
//   offset 16  newLength         unsigned 64-bit little-endian
//   offset 24  controlSize       unsigned 64-bit little-endian
//   offset 32  diffSize          unsigned 64-bit little-endian
//   offset 40  extraSize         unsigned 64-bit little-endian
//   offset 48  control frame     controlSize bytes: the records' control
//                                triples, kControlSize bytes each, in order
//              diff frame        diffSize bytes: every record's diff bytes
//              extra frame       extraSize bytes: every record's extra bytes
//
// and nothing after the extra frame. The records are the body's: applied
// in order they must produce exactly newLength bytes.
//
// Memory on the player's side: the three decoders' windows, at most
// kSplitPatchWindowBytes together whatever the file, and two 256 KiB
// buffers for the body. Any thread may use its own objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/byte_stream.h"
#include "base/status.h"
#include "container/zstd_stream.h"

namespace quor {

inline constexpr size_t kSplitPatchHeaderSize = 48;
extern const char splitPatchMagic[16];  // no terminator

// The windows create mode gives the three frames at most, and the most a
// player's decoder accepts of each.
// Small windows cost little here (under 1% on a 129 MB library across
// major versions) and let a player apply several split patches at once.
inline constexpr int kControlWindowLog = 20;
inline constexpr int kDiffWindowLog = 22;
inline constexpr int kExtraWindowLog = 24;
inline constexpr uint64_t kSplitPatchWindowBytes =
    (uint64_t(1) << kControlWindowLog) + (uint64_t(1) << kDiffWindowLog) +
    (uint64_t(1) << kExtraWindowLog);

// The split patch of a patch body held in memory, at settings.level (the
// windows are the ones above). Fails for a body that is no sound patch
// ("bspatch: ..."), or with the encoder's failure. One encoder is alive
// at a time: the body is read once per frame.
Status encodeSplitPatch(const uint8_t* body, size_t bodySize, const ZstdSettings& settings,
                        std::string* patch);

// The patch body of the split patch in source, pulled out piece by piece
// for applyPatchStream. A header that is cut, foreign, or whose sizes do
// not add up to the source's size fails with "zdiff: ...", as do frames
// that hold more bytes than the records use; a damaged frame fails with
// its "zstd: ..." message.
class SplitPatchBodySource : public ByteSource {
 public:
  explicit SplitPatchBodySource(SeekableSource& source);
  ~SplitPatchBodySource() override;
  SplitPatchBodySource(const SplitPatchBodySource&) = delete;
  SplitPatchBodySource& operator=(const SplitPatchBodySource&) = delete;

  Status read(uint8_t* out, size_t want, size_t* got) override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The new file's length a split patch's header names, from its first
// bytes; 0 when they are no split patch header.
uint64_t splitPatchNewLength(const uint8_t* header, size_t size);

}  // namespace quor
