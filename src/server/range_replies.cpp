#include "server/range_replies.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "protocol/file_update_messages.h"
#include "protocol/transport_limits.h"
#include "server/served_files.h"

namespace quor {
namespace {

// The head, then dataSize bytes of the file read into place. A reply whose
// data cannot be had becomes a refusal without data.
ReplyCopy fillReply(const std::string& folder, FileRangeReply& head, uint32_t dataSize,
                    std::string& refusal) {
  if (dataSize != 0) {
    Bytes start = buildFileRangeReplyHead(head, dataSize);
    size_t size = start.size() + dataSize;
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size]);
    if (!bytes) {
      refusal = "out of memory";
    } else if (!readServedRange(folder, head.name, head.offset, bytes.get() + start.size(), dataSize)
                    .ok()) {
      refusal = "could not be read";
    } else {
      std::memcpy(bytes.get(), start.data(), start.size());
      return {std::move(bytes), size};
    }
    head.status = kRangeStatusRefused;
    head.fileSize = 0;
    head.fileVersion = 0;
  }
  return copyOfPacket(buildFileRangeReplyHead(head, 0));
}

}  // namespace

ReplyCopy rangeOfferPacket() {
  RangeOffer offer;
  offer.maxPieceSize = kMaxPieceSize;
  return copyOfPacket(buildRangeOffer(offer));
}

ReplyCopy busyRangeReply(const std::string& name, uint64_t offset) {
  FileRangeReply head;
  head.name = name;
  head.status = kRangeStatusBusy;
  head.offset = offset;
  return copyOfPacket(buildFileRangeReplyHead(head, 0));
}

uint64_t rangeReplyBytes(const std::string& name, uint64_t dataSize) {
  FileRangeReply head;
  head.name = name;
  return buildFileRangeReplyHead(head, 0).size() + dataSize;
}

RangeReply readRangeReply(const std::string& folder, const std::string& name, uint64_t offset,
                          uint32_t length) {
  FileRangeReply head;
  head.name = name;
  head.offset = offset;
  RangeReply reply;
  FileLookup lookup = lookUpServedRangeFile(folder, name);
  uint32_t dataSize = 0;
  if (!lookup.refusal.empty()) {
    head.status = kRangeStatusRefused;
    reply.refusal = std::move(lookup.refusal);
  } else if (offset > lookup.size) {
    head.status = kRangeStatusBeyondEnd;
    head.fileSize = lookup.size;
    head.fileVersion = lookup.version;
  } else {
    head.fileSize = lookup.size;
    head.fileVersion = lookup.version;
    dataSize = static_cast<uint32_t>(
        std::min<uint64_t>({length, kMaxPieceSize, lookup.size - offset}));
  }
  reply.packet = fillReply(folder, head, dataSize, reply.refusal);
  reply.status = head.status;
  reply.fileSize = head.fileSize;
  return reply;
}

}  // namespace quor
