// A container (see container.h) made in memory from bytes added piece by
// piece: the same bytes as containerEncode gives for all of them at once
// (deflate's output does not depend on how its input is split).
//
// Memory: zlib's deflate state at level 9 (about 270 KiB) and the
// compressed bytes so far, held in pieces of kContainerPieceSize that are
// never moved, so the peak is the container's size and one piece. Time:
// deflate's, paid as bytes are added. Used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <vector>

#include "base/status.h"

namespace quor {

class ContainerBuilder {
 public:
  explicit ContainerBuilder(uint32_t type);
  ~ContainerBuilder();
  ContainerBuilder(const ContainerBuilder&) = delete;
  ContainerBuilder& operator=(const ContainerBuilder&) = delete;

  // Compresses count more bytes. Fails with "zlib: out of memory", with
  // kTooLarge ("the input is larger than a container holds", "zlib: not
  // enough space in the buffer to compress") when a length outgrows its 32
  // bits, or after finish(); after a failure the builder is of no use.
  Status add(const uint8_t* bytes, size_t count);
  // Ends the compressed stream. The same failures as add().
  Status finish();
  // The container's bytes so far: the header and what deflate has given
  // out, which lags the input until finish().
  uint64_t size() const;
  // Writes the finished container; an I/O error when the stream fails.
  Status writeTo(std::ostream& out) const;

 private:
  Status start();
  Status deflateSome(int flush);

  uint32_t type_;
  struct Stream;
  std::unique_ptr<Stream> stream_;  // zlib's, started on first use
  std::vector<std::unique_ptr<uint8_t[]>> pieces_;
  size_t lastPieceUsed_ = 0;
  uint64_t inputLength_ = 0;
  uint64_t bodyLength_ = 0;
  bool finished_ = false;
};

}  // namespace quor
