#include "container/container_reader.h"

#include <algorithm>
#include <limits>

#include "container/container.h"
#include "container/inflate_failure.h"

namespace quor {
namespace {

constexpr size_t kInputSize = 256 * 1024;
constexpr size_t kDrainSize = 64 * 1024;

}  // namespace

ContainerReader::ContainerReader(ByteSource& source) : source_(source) {}

ContainerReader::~ContainerReader() {
  if (inflating_) inflateEnd(&stream_);
}

Status ContainerReader::open(uint32_t type) {
  uint8_t headerBytes[kContainerHeaderSize];
  size_t got = 0;
  Status status = source_.read(headerBytes, kContainerHeaderSize, &got);
  if (!status.ok()) return fail(status);
  ContainerHeader header;
  status = readContainerHeader(type, headerBytes, got, &header);
  if (!status.ok()) return status;
  bodyLeft_ = header.compressedLength;
  uncompressedLength_ = header.uncompressedLength;
  contentLeft_ = header.uncompressedLength;
  input_ = std::make_unique_for_overwrite<uint8_t[]>(kInputSize);
  int result = inflateInit(&stream_);
  if (result != Z_OK) return fail(inflateFailure(result));
  inflating_ = true;
  return {};
}

Status ContainerReader::read(uint8_t* out, size_t want, size_t* got) {
  *got = 0;
  if (!failure_.ok()) return failure_;
  if (ended_ || want == 0) return {};
  while (*got < want) {
    if (contentLeft_ == 0) {
      Status settled = settleEnd();
      if (!settled.ok()) return fail(settled);
      ended_ = true;
      return {};
    }
    Status refilled = refillInput();
    if (!refilled.ok()) return fail(refilled);
    size_t room = std::min<size_t>({want - *got, contentLeft_, std::numeric_limits<uInt>::max()});
    stream_.next_out = out + *got;
    stream_.avail_out = static_cast<uInt>(room);
    int result = inflate(&stream_, Z_NO_FLUSH);
    size_t produced = room - stream_.avail_out;
    *got += produced;
    contentLeft_ -= static_cast<uint32_t>(produced);
    if (result == Z_STREAM_END) {
      if (contentLeft_ != 0) return fail(Status::corrupt("different size"));
      ended_ = true;
      return {};
    }
    // With room for output and input still to come, a stalled inflate
    // means the body ended before its stream did.
    if (result == Z_BUF_ERROR) return fail(inflateFailure(Z_DATA_ERROR));
    if (result != Z_OK) return fail(inflateFailure(result));
  }
  return {};
}

Status ContainerReader::finish() {
  auto discard = std::make_unique_for_overwrite<uint8_t[]>(kDrainSize);
  size_t got = kDrainSize;
  while (got == kDrainSize) {
    Status status = read(discard.get(), kDrainSize, &got);
    if (!status.ok()) return status;
  }
  return {};
}

Status ContainerReader::refillInput() {
  if (stream_.avail_in != 0 || bodyLeft_ == 0) return {};
  size_t want = std::min<size_t>(kInputSize, bodyLeft_);
  size_t got = 0;
  Status status = source_.read(input_.get(), want, &got);
  if (!status.ok()) return status;
  // A body cut short ends where the source does.
  bodyLeft_ = got < want ? 0 : bodyLeft_ - static_cast<uint32_t>(got);
  stream_.next_in = input_.get();
  stream_.avail_in = static_cast<uInt>(got);
  return {};
}

// The content has all the bytes the header promised: the rest of the body
// must end the stream without another byte. containerDecode inflates into
// a buffer of exactly that size, and uncompress, given no room at all,
// lends one byte of its own and calls every stall a corrupt stream; this
// gives the verdicts of both.
Status ContainerReader::settleEnd() {
  uint8_t spare = 0;
  uInt spareLeft = uncompressedLength_ == 0 ? 1 : 0;
  for (;;) {
    Status refilled = refillInput();
    if (!refilled.ok()) return refilled;
    stream_.next_out = &spare;
    stream_.avail_out = spareLeft;
    int result = inflate(&stream_, Z_NO_FLUSH);
    spareLeft = stream_.avail_out;
    if (result == Z_STREAM_END) return {};
    if (result == Z_OK) continue;
    if (result == Z_BUF_ERROR && uncompressedLength_ == 0) return inflateFailure(Z_DATA_ERROR);
    return inflateFailure(result);
  }
}

Status ContainerReader::fail(Status status) {
  failure_ = std::move(status);
  return failure_;
}

}  // namespace quor
