// The compressed file container: a 32-byte text tag naming the kind of
// content, the compressed and the uncompressed length (in that order, both
// unsigned 32-bit little-endian) and one zlib stream made by compress2 at
// level 9 (container_writer.h makes the same bytes piece by piece). Every
// ".compressed" file and the outer layer of every ".patch" file is one
// container.
//
//   offset 0   tag                 "quor_compressed:" + type name, space-padded
//   offset 32  compressedLength
//   offset 36  uncompressedLength
//   offset 40  body                compressedLength bytes of zlib data
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string_view>

#include "base/encoding.h"
#include "base/status.h"

namespace quor {

enum CompressedFileType : uint32_t {
  generic = 0,
  world_text = 1,
  world_xml = 2,
  save_file = 3,
  mesh = 4,
  s3tc = 5,
  binary_patch = 6,
  world_binary = 7,
};

// The 32 tag bytes of the type (no terminator). A code above 7 logs
// "unknown compressed file type N" and yields the tag of code 0.
std::string_view compressedTag(uint32_t type);

// Compresses size bytes of data and writes one container of the given type
// at the stream's current position. Fails with zlib's complaint ("zlib:
// out of memory", "zlib: not enough space in the buffer to compress") or
// an I/O error when the stream reports a failed write.
Status containerEncode(uint32_t type, const uint8_t* data, uint32_t size, std::ostream& out);

// Size of the tag and the two lengths, before the body.
inline constexpr size_t kContainerHeaderSize = 40;

struct ContainerHeader {
  uint32_t compressedLength = 0;
  uint32_t uncompressedLength = 0;
};

// Checks the tag of a container's first size bytes as containerDecode
// does and reads its lengths into *header. size is below
// kContainerHeaderSize only when the container is that short; the bytes it
// lacks read as zero. kNotFound for a tag of another type.
Status readContainerHeader(uint32_t type, const uint8_t* bytes, size_t size,
                           ContainerHeader* header);

// Reads one container from position 0 of the stream. Code 0 accepts any
// container tag (only "quor_compressed:" is compared); every other code
// needs its own 32 tag bytes. On success the uncompressed bytes
// fill *content and the stream is left the stream where the body ended. Otherwise
// the stream is cleared and back at position 0, so that another type can
// be tried on it; the status is kNotFound for a tag of another type (no
// failure worth reporting in itself), and otherwise zlib's complaint or
// "different size". Lengths in the header never cost more memory than the
// stream's own bytes justify.
Status containerDecode(uint32_t type, std::istream& in, Bytes* content);

}  // namespace quor
