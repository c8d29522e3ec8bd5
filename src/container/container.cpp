#include "container/container.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>

#include "container/inflate_failure.h"
#include "log/log.h"

namespace quor {
namespace {

constexpr std::array<std::string_view, 8> kTags = {
    "quor_compressed:                ",  // generic
    "quor_compressed:world_text      ",
    "quor_compressed:world_xml       ",
    "quor_compressed:save_file       ",
    "quor_compressed:mesh            ",
    "quor_compressed:s3tc            ",
    "quor_compressed:binary_patch    ",
    "quor_compressed:world_binary    ",
};
static_assert(std::all_of(kTags.begin(), kTags.end(),
                          [](std::string_view tag) { return tag.size() == 32; }));

constexpr size_t kTagSize = 32;
static_assert(kContainerHeaderSize == kTagSize + 8);
// "quor_compressed:": all that code 0 compares, so it accepts any container.
constexpr size_t kTagPrefixSize = 16;

// Deflate spends at least two bits on a match of at most 258 bytes and at
// least one bit on a literal, so a body of B bytes never inflates to more
// than 1032 × B bytes. A larger uncompressedLength can never be met.
constexpr uint64_t kMaxInflateRatio = 1032;

// Bytes left between the read position and the end, or -1 when the stream
// cannot tell.
std::streamoff bytesLeft(std::istream& in) {
  if (!in) return 0;
  std::streampos here = in.tellg();
  if (here == std::streampos(-1)) return -1;
  in.seekg(0, std::ios::end);
  std::streampos end = in.tellg();
  in.seekg(here);
  if (end == std::streampos(-1) || !in) {
    in.clear();
    in.seekg(here);
    return -1;
  }
  return end - here;
}

// Reads up to count bytes. Memory follows the bytes actually present, not
// the count, which comes from the data and may claim 4 GiB.
Bytes readBody(std::istream& in, uint32_t count) {
  Bytes body;
  std::streamoff left = bytesLeft(in);
  if (left >= 0) {
    body.resize(static_cast<size_t>(std::min<std::streamoff>(count, left)));
    in.read(reinterpret_cast<char*>(body.data()), static_cast<std::streamsize>(body.size()));
    body.resize(static_cast<size_t>(in.gcount()));
    return body;
  }
  constexpr size_t kFirstPiece = 1 << 16;
  while (body.size() < count && in) {
    size_t have = body.size();
    size_t piece = std::min<size_t>(count - have, std::max(have, kFirstPiece));
    body.resize(have + piece);
    in.read(reinterpret_cast<char*>(body.data() + have), static_cast<std::streamsize>(piece));
    body.resize(have + static_cast<size_t>(in.gcount()));
  }
  return body;
}

bool tagMatches(uint32_t type, const uint8_t* tag, size_t tagBytesRead) {
  std::string_view expected = compressedTag(type);
  size_t compared = type == generic ? kTagPrefixSize : kTagSize;
  if (tagBytesRead < compared) return false;
  return std::memcmp(tag, expected.data(), compared) == 0;
}

// Inflates body into a buffer of uncompressedLength bytes. The buffer is
// never made larger than the body can fill, so a lying header costs no
// memory, and zlib's verdict stays the one a full-size buffer would give.
Status inflateBody(const Bytes& body, uint32_t uncompressedLength, Bytes* content) {
  uint64_t reachable = body.size() * kMaxInflateRatio;
  size_t capacity = static_cast<size_t>(std::min<uint64_t>(uncompressedLength, reachable));
  Bytes output;
  try {
    output.resize(capacity);
  } catch (const std::bad_alloc&) {
    return Status::outOfMemory("zlib: out of memory");
  }
  uLongf produced = static_cast<uLongf>(capacity);
  int result = uncompress(output.data(), &produced, body.data(), static_cast<uLong>(body.size()));
  if (result != Z_OK) return inflateFailure(result);
  if (produced != uncompressedLength) return Status::corrupt("different size");
  *content = std::move(output);
  return {};
}

Status decodeFromStart(uint32_t type, std::istream& in, Bytes* content) {
  uint8_t headerBytes[kContainerHeaderSize];
  in.read(reinterpret_cast<char*>(headerBytes), kContainerHeaderSize);
  ContainerHeader header;
  Status status =
      readContainerHeader(type, headerBytes, static_cast<size_t>(in.gcount()), &header);
  if (!status.ok()) return status;
  Bytes body;
  try {
    body = readBody(in, header.compressedLength);
  } catch (const std::bad_alloc&) {
    return Status::outOfMemory("zlib: out of memory");
  }
  return inflateBody(body, header.uncompressedLength, content);
}

}  // namespace

std::string_view compressedTag(uint32_t type) {
  if (type >= kTags.size()) {
    logError("unknown compressed file type " + decimalText(type));
    return kTags[generic];
  }
  return kTags[type];
}

Status containerEncode(uint32_t type, const uint8_t* data, uint32_t size, std::ostream& out) {
  uint64_t bound = uint64_t(size) + (size >> 12) + (size >> 14) + (size >> 25) + 13;
  // The body length is stored in 32 bits; zlib reports a body that would
  // not fit as a full buffer.
  bound = std::min<uint64_t>(bound, std::numeric_limits<uint32_t>::max());
  Bytes compressed;
  try {
    compressed.resize(static_cast<size_t>(bound));
  } catch (const std::bad_alloc&) {
    return Status::outOfMemory("zlib: out of memory");
  }
  static const uint8_t kNothing = 0;
  uLongf length = static_cast<uLongf>(bound);
  int result = compress2(compressed.data(), &length, size != 0 ? data : &kNothing, size, 9);
  if (result == Z_MEM_ERROR) return Status::outOfMemory("zlib: out of memory");
  if (result == Z_BUF_ERROR) {
    return Status::tooLarge("zlib: not enough space in the buffer to compress");
  }
  if (result != Z_OK) return Status::corrupt("zlib: failed");

  ByteWriter header;
  std::string_view tag = compressedTag(type);
  header.raw(tag.data(), tag.size());
  header.u32(static_cast<uint32_t>(length));
  header.u32(size);
  out.write(reinterpret_cast<const char*>(header.bytes().data()),
            static_cast<std::streamsize>(header.bytes().size()));
  out.write(reinterpret_cast<const char*>(compressed.data()), static_cast<std::streamsize>(length));
  if (!out) return Status::ioError("cannot write the container");
  return {};
}

Status readContainerHeader(uint32_t type, const uint8_t* bytes, size_t size,
                           ContainerHeader* header) {
  if (!tagMatches(type, bytes, size)) {
    return Status::notFound("not a container of type " + decimalText(type));
  }
  uint8_t lengths[8] = {};  // bytes the container lacks count as zero
  if (size > kTagSize) std::memcpy(lengths, bytes + kTagSize, std::min<size_t>(size - kTagSize, 8));
  ByteReader reader(lengths, sizeof lengths);
  header->compressedLength = reader.u32();
  header->uncompressedLength = reader.u32();
  return {};
}

Status containerDecode(uint32_t type, std::istream& in, Bytes* content) {
  in.clear();
  in.seekg(0);
  Status status = decodeFromStart(type, in, content);
  if (!status.ok()) {
    in.clear();
    in.seekg(0);
  }
  return status;
}

}  // namespace quor
