// A container decoded piece by piece: the uncompressed bytes are pulled
// out while the body is inflated, so a container of any size costs a
// 256 KiB input buffer and zlib's state (about 45 KiB), never memory sized
// from its header. Every verdict and message is containerDecode's on the
// same bytes: a tag of another type (kNotFound), zlib's complaint ("zlib:
// corrupted or incomplete data" for a bad or cut body, "zlib: not enough
// space in the buffer to uncompress" for more content than the header
// says) or "different size" (for less). Bytes after the zlib stream, in
// the body or after it, are ignored, and a body shorter than its length
// ends where the source does, as there.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>

#include "base/byte_stream.h"
#include "base/status.h"

namespace quor {

class ContainerReader : public ByteSource {
 public:
  // Reads the container from the source's current position; the source
  // must outlive the reader.
  explicit ContainerReader(ByteSource& source);
  ~ContainerReader() override;
  ContainerReader(const ContainerReader&) = delete;
  ContainerReader& operator=(const ContainerReader&) = delete;

  // Reads the header and checks its tag as containerDecode(type, ...) does.
  // Once, before the first read.
  Status open(uint32_t type);
  // The content's length as the header gives it; after open.
  uint32_t uncompressedLength() const { return uncompressedLength_; }

  // The next bytes of the content. *got < want only at the end of a sound
  // container: whether the body is sound is known once its end is read.
  // A failure of the container or of the source is returned by the read
  // that meets it and by every read after.
  Status read(uint8_t* out, size_t want, size_t* got) override;
  // Reads and drops the rest of the content: the container's verdict.
  Status finish();

 private:
  Status refillInput();
  Status settleEnd();
  Status fail(Status status);

  ByteSource& source_;
  std::unique_ptr<uint8_t[]> input_;
  z_stream stream_{};
  bool inflating_ = false;
  bool ended_ = false;
  Status failure_;
  uint32_t bodyLeft_ = 0;  // body bytes not yet taken from the source
  uint32_t uncompressedLength_ = 0;
  uint32_t contentLeft_ = 0;  // bytes the header still promises
};

}  // namespace quor
