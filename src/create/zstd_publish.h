// The second encoding of create mode's output (dataset/layout.h): a file
// compressed whole with zstd ("N.zst"), and the smaller of two zstd
// patches: the split patch of the classic patch's records ("N.zdiff",
// patch/split_patch.h) and the new file compressed with the old one as
// its prefix ("N.zfrom", only where both fit one window a player
// decodes). Every frame is made at the publisher's level; whole files get
// a window of at most 2^kWholeFileWindowLog, so that a player decodes one
// in well under 128 MiB.
//
// Costs: zstdWholeMemory and zstdPatchMemory give an encoder's working
// memory, for create mode's memory budget. Any thread may call these.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/encoding.h"
#include "base/status.h"
#include "container/zstd_stream.h"
#include "dataset/layout.h"
#include "fs/file_stream.h"

namespace quor {

// Which encodings create mode writes (--encodings, --zstd-level).
struct Encodings {
  bool classic = true;  // N.compressed and N.patch, for every updater
  bool zstd = true;     // N.zst, N.zdiff or N.zfrom, and encodings.index
  int zstdLevel = kDefaultZstdLevel;
};

ZstdSettings wholeFileSettings(int level, uint64_t size);
uint64_t zstdWholeMemory(int level, uint64_t size);
// The most either patch kind's encoder takes, beyond the two files and
// the classic body.
uint64_t zstdPatchMemory(int level, uint64_t oldSize, uint64_t newSize);

// A zstd frame streamed into a file: the bytes are added in pieces, and
// the file appears only when finished.
class ZstdFileWriter {
 public:
  static Status open(const std::string& output, const ZstdSettings& settings,
                     uint64_t contentSize, std::unique_ptr<ZstdFileWriter>* writer);
  Status add(const uint8_t* data, size_t size);
  // Writes the end of the frame and moves the file into place; *fileSize
  // is its size.
  Status finish(uint64_t* fileSize);

 private:
  ZstdFileWriter() = default;
  Status flush(bool always);

  std::string output_;
  std::unique_ptr<ZstdEncoder> encoder_;
  std::unique_ptr<TemporaryCopySink> sink_;
  std::string ready_;  // compressed bytes not written yet
  uint64_t written_ = 0;
};

// Compresses data whole into output.
Status writeZstdWhole(const std::string& output, int level, const uint8_t* data, size_t size,
                      uint64_t* fileSize);

// The smaller zstd patch of old -> current: body is the classic patch's
// body between them. *bytes is empty when neither could be made.
struct ZstdPatch {
  DataKind kind = DataKind::kSplitPatch;
  std::string bytes;
};
Status makeZstdPatch(int level, const Bytes& old, const Bytes& current, const Bytes& body,
                     ZstdPatch* patch);

}  // namespace quor
