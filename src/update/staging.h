// One update data file being downloaded in pieces into the staging folder
// (dataset/layout.h): "<name>.part" holds the bytes received so far at
// their offsets, "<name>.meta" which pieces are there and which server
// file they belong to (its size and version token, and the piece size).
// A piece is marked only after its bytes are written, so a run cut off at
// any point goes on in the next run from the pieces on disk; a server file
// of another size or version starts the staging afresh.
//
// The meta file, all numbers little-endian:
//   offset 0   magic "quor_staging" + 4 spaces   16 bytes
//   offset 16  fileSize     u64
//   offset 24  fileVersion  u64
//   offset 32  pieceSize    u32
//   offset 36  pieces       ceil(pieceCount / 8) bytes, bit i % 8 of byte
//                           i / 8 set when piece i is on disk
//
// Memory: a bit per piece. Used by the update run's thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/status.h"

namespace quor {

// The smallest pieces the updater stages or collects: smaller ones would
// only multiply the requests.
inline constexpr uint32_t kMinPieceSize = 4096;

// The pieces of pieceSize bytes a file of fileSize bytes comes in.
uint32_t pieceCountOf(uint64_t fileSize, uint32_t pieceSize);
// Which piece size bytes at offset are, when they are one whole piece of
// such a file; an error otherwise. The one rule for every copy of pieces.
Status checkPiece(uint64_t fileSize, uint32_t pieceSize, uint64_t offset, size_t size,
                  uint32_t* piece);

class StagedFile {
 public:
  explicit StagedFile(const std::string& name);
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Takes up what a previous run left; false when there is nothing usable.
  bool loadPrevious();
  // Whether the staging holds pieces of this server file.
  bool matches(uint64_t fileSize, uint64_t fileVersion, uint32_t pieceSize) const;
  // Drops whatever is staged and starts on this server file.
  Status start(uint64_t fileSize, uint64_t fileVersion, uint32_t pieceSize);

  // Writes one whole piece (offset a multiple of the piece size, size the
  // piece's length) and marks it; a piece already there is not written
  // again.
  Status writePiece(uint64_t offset, const uint8_t* data, size_t size);

  bool started() const { return pieceSize_ != 0; }
  uint64_t fileSize() const { return fileSize_; }
  uint32_t pieceSize() const { return pieceSize_; }
  uint32_t pieceCount() const { return static_cast<uint32_t>(have_.size()); }
  bool has(uint32_t piece) const { return have_[piece]; }
  uint64_t pieceOffset(uint32_t piece) const { return uint64_t(piece) * pieceSize_; }
  uint32_t pieceLength(uint32_t piece) const;
  // The first piece at or after from that is not on disk; pieceCount()
  // when there is none.
  uint32_t firstMissing(uint32_t from = 0) const;
  uint64_t stagedBytes() const;
  bool complete() const { return started() && firstMissing() == pieceCount(); }
  // True when pieces of a previous run were taken up.
  bool resumed() const { return resumed_; }

  const std::string& partPath() const { return partPath_; }
  // Removes both files (not the folder: other threads may be staging
  // beside them); the object can start afresh afterwards.
  void remove();

 private:
  Status saveMeta() const;
  void closePart();

  std::string partPath_;
  std::string metaPath_;
  uint64_t fileSize_ = 0;
  uint64_t fileVersion_ = 0;
  uint32_t pieceSize_ = 0;
  std::vector<bool> have_;
  bool resumed_ = false;
  FILE* part_ = nullptr;
};

// Removes the staging folder when nothing is left in it, so that a
// finished update leaves the game folder as it was published. For the
// update run's end, when nothing else writes into it.
void removeEmptyStagingFolder();

// Removes the staged files of every update data name not in keep: what an
// abandoned version left. Missing folder: nothing to do.
void removeStaleStaging(const std::unordered_set<std::string>& keep);

}  // namespace quor
