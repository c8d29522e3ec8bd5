#include "container/container_writer.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

#include "base/encoding.h"
#include "container/container.h"
#include "fs/file_io.h"
#include "fs/file_stream.h"

namespace quor {
namespace {

// The lengths' place in the header, after the 32 tag bytes.
constexpr size_t kLengthsOffset = 32;

// compress2's stream: deflateInit at the given level is deflateInit2 with
// these, and the same parameters over the same bytes give the same body
// however the input is split into pieces.
constexpr int kLevel = 9;
constexpr int kWindowBits = 15;
constexpr int kMemoryLevel = 8;

// The header with both lengths 0, a placeholder until they are known.
Bytes placeholderHeader(uint32_t type) {
  ByteWriter writer;
  std::string_view tag = compressedTag(type);
  writer.raw(tag.data(), tag.size());
  writer.u32(0);
  writer.u32(0);
  return writer.bytes();
}

void setLengths(Bytes& header, uint64_t compressedLength, uint64_t uncompressedLength) {
  ByteWriter lengths;
  lengths.u32(static_cast<uint32_t>(compressedLength));
  lengths.u32(static_cast<uint32_t>(uncompressedLength));
  std::copy(lengths.bytes().begin(), lengths.bytes().end(), header.begin() + kLengthsOffset);
}

// A deflate stream that is ended on every path.
class Deflater {
 public:
  Deflater() = default;
  ~Deflater() {
    if (started_) deflateEnd(&stream_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  Status start() {
    int result = deflateInit2(&stream_, kLevel, Z_DEFLATED, kWindowBits, kMemoryLevel,
                              Z_DEFAULT_STRATEGY);
    if (result == Z_MEM_ERROR) return Status::outOfMemory("zlib: out of memory");
    if (result != Z_OK) return Status::corrupt("zlib: failed");
    started_ = true;
    return {};
  }
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
  bool started_ = false;
};

// Deflates the source's pieces into out's body; the lengths are counted
// into *inputLength and *bodyLength.
Status deflateInto(const ContainerSource& source, ByteSink& out, uint64_t maxLength,
                   uint64_t* inputLength, uint64_t* bodyLength) {
  Deflater deflater;
  Status status = deflater.start();
  if (!status.ok()) return status;
  z_stream& stream = deflater.stream();
  auto input = std::make_unique<uint8_t[]>(kContainerPieceSize);
  auto output = std::make_unique<uint8_t[]>(kContainerPieceSize);
  int flush = Z_NO_FLUSH;
  while (flush != Z_FINISH) {
    size_t got = 0;
    status = source(input.get(), kContainerPieceSize, &got);
    if (!status.ok()) return status;
    *inputLength += got;
    if (*inputLength > maxLength) {
      return Status::tooLarge("the input is larger than a container holds");
    }
    flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = input.get();
    stream.avail_in = static_cast<uInt>(got);
    do {  // until deflate leaves room in the output: it took all the input
      stream.next_out = output.get();
      stream.avail_out = static_cast<uInt>(kContainerPieceSize);
      int result = deflate(&stream, flush);
      if (result == Z_STREAM_ERROR) return Status::corrupt("zlib: failed");
      size_t produced = kContainerPieceSize - stream.avail_out;
      *bodyLength += produced;
      if (*bodyLength > maxLength) {
        return Status::tooLarge("zlib: not enough space in the buffer to compress");
      }
      status = out.write(output.get(), produced);
      if (!status.ok()) return status;
    } while (stream.avail_out == 0);
  }
  return {};
}

}  // namespace

Status containerEncodeToFile(uint32_t type, const ContainerSource& source,
                             const std::string& outputPath, uint64_t maxLength) {
  std::unique_ptr<TemporaryCopySink> out;
  Bytes head = placeholderHeader(type);
  Status status = TemporaryCopySink::create(outputPath, &out);
  if (status.ok()) status = out->write(head.data(), head.size());
  uint64_t inputLength = 0;
  uint64_t bodyLength = 0;
  if (status.ok()) status = deflateInto(source, *out, maxLength, &inputLength, &bodyLength);
  if (!status.ok()) return status;
  setLengths(head, bodyLength, inputLength);
  status = out->finish(head.data(), head.size());
  return status.ok() ? moveTemporaryCopyInto(outputPath) : status;
}

Status containerEncodeFile(uint32_t type, const std::string& inputPath,
                           const std::string& outputPath) {
  std::unique_ptr<FileSource> input;
  Status opened = FileSource::open(inputPath, &input);
  if (!opened.ok()) return opened;
  return containerEncodeToFile(
      type,
      [&input](uint8_t* buffer, size_t capacity, size_t* got) {
        return input->read(buffer, capacity, got);
      },
      outputPath);
}

}  // namespace quor
