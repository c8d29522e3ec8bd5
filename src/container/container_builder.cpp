#include "container/container_builder.h"

#include <zlib.h>

#include <algorithm>
#include <new>

#include "base/encoding.h"
#include "container/container.h"
#include "container/container_writer.h"

namespace quor {

// compress2's parameters: deflateInit at level 9 is deflateInit2 with these.
struct ContainerBuilder::Stream {
  z_stream z{};
  bool started = false;
  ~Stream() {
    if (started) deflateEnd(&z);
  }
};

ContainerBuilder::ContainerBuilder(uint32_t type) : type_(type) {}
ContainerBuilder::~ContainerBuilder() = default;

Status ContainerBuilder::start() {
  if (stream_) return {};
  stream_.reset(new (std::nothrow) Stream);
  if (!stream_) return Status::outOfMemory("zlib: out of memory");
  int result = deflateInit2(&stream_->z, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
  if (result == Z_MEM_ERROR) return Status::outOfMemory("zlib: out of memory");
  if (result != Z_OK) return Status::corrupt("zlib: failed");
  stream_->started = true;
  return {};
}

// Runs deflate on the stream's input until it took all of it (or, at
// Z_FINISH, ended the stream), into the last piece and new ones.
Status ContainerBuilder::deflateSome(int flush) {
  z_stream& z = stream_->z;
  for (;;) {
    if (pieces_.empty() || lastPieceUsed_ == kContainerPieceSize) {
      try {
        pieces_.emplace_back(new uint8_t[kContainerPieceSize]);
      } catch (const std::bad_alloc&) {
        return Status::outOfMemory("zlib: out of memory");
      }
      lastPieceUsed_ = 0;
    }
    size_t room = kContainerPieceSize - lastPieceUsed_;
    z.next_out = pieces_.back().get() + lastPieceUsed_;
    z.avail_out = static_cast<uInt>(room);
    int result = deflate(&z, flush);
    if (result == Z_STREAM_ERROR) return Status::corrupt("zlib: failed");
    size_t produced = room - z.avail_out;
    lastPieceUsed_ += produced;
    bodyLength_ += produced;
    if (bodyLength_ > kMaxContainerLength) {
      return Status::tooLarge("zlib: not enough space in the buffer to compress");
    }
    // Deflate took all the input when it left room in the output.
    if (flush == Z_FINISH ? result == Z_STREAM_END : z.avail_out != 0) return {};
  }
}

Status ContainerBuilder::add(const uint8_t* bytes, size_t count) {
  if (finished_) return Status::corrupt("zlib: failed");
  while (count > 0) {
    size_t piece = std::min(count, kContainerPieceSize);
    inputLength_ += piece;
    if (inputLength_ > kMaxContainerLength) {
      return Status::tooLarge("the input is larger than a container holds");
    }
    Status started = start();
    if (!started.ok()) return started;
    stream_->z.next_in = const_cast<uint8_t*>(bytes);
    stream_->z.avail_in = static_cast<uInt>(piece);
    Status status = deflateSome(Z_NO_FLUSH);
    if (!status.ok()) return status;
    bytes += piece;
    count -= piece;
  }
  return {};
}

Status ContainerBuilder::finish() {
  if (finished_) return Status::corrupt("zlib: failed");
  Status started = start();
  if (!started.ok()) return started;
  finished_ = true;
  stream_->z.avail_in = 0;
  Status status = deflateSome(Z_FINISH);
  stream_.reset();  // the compressed bytes are all that is needed now
  return status;
}

uint64_t ContainerBuilder::size() const { return kContainerHeaderSize + bodyLength_; }

Status ContainerBuilder::writeTo(std::ostream& out) const {
  ByteWriter header;
  std::string_view tag = compressedTag(type_);
  header.raw(tag.data(), tag.size());
  header.u32(static_cast<uint32_t>(bodyLength_));
  header.u32(static_cast<uint32_t>(inputLength_));
  out.write(reinterpret_cast<const char*>(header.bytes().data()),
            static_cast<std::streamsize>(header.bytes().size()));
  uint64_t left = bodyLength_;
  for (const auto& piece : pieces_) {
    size_t length = static_cast<size_t>(std::min<uint64_t>(left, kContainerPieceSize));
    out.write(reinterpret_cast<const char*>(piece.get()), static_cast<std::streamsize>(length));
    left -= length;
  }
  if (!out) return Status::ioError("cannot write the container");
  return {};
}

}  // namespace quor
