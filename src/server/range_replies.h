// The update server's answers to the range messages: the RangeOffer, and
// the FileRangeReply to a FileRangeRequest, whose data is read from the
// file on disk for that reply only. Serving a file of any size in pieces
// thus costs one piece of memory per reply in flight, never a copy of the
// file. Called on the server's thread.
#pragma once

#include <cstdint>
#include <string>

#include "server/reply_copies.h"

namespace quor {

// The server's RangeOffer: version 1, pieces of kMaxPieceSize bytes.
ReplyCopy rangeOfferPacket();

struct RangeReply {
  ReplyCopy packet;        // no bytes when not even a reply without data fits in memory
  uint32_t status = 0;     // a RangeStatus of protocol/file_update_messages.h
  uint64_t fileSize = 0;
  std::string refusal;     // why the status is kRangeStatusRefused
};

// The reply to a request for length bytes (capped at kMaxPieceSize) of the
// file name of folder from offset on: the name rules of served_files.h; an
// offset past the end gets kRangeStatusBeyondEnd; the data is
// min(length, kMaxPieceSize, fileSize - offset) bytes.
RangeReply readRangeReply(const std::string& folder, const std::string& name, uint64_t offset,
                          uint32_t length);

// The answer to a request for name from offset on that the server has no
// room to queue: kRangeStatusBusy, no data, the offset echoed.
ReplyCopy busyRangeReply(const std::string& name, uint64_t offset);

// The size of a range reply of name carrying dataSize bytes.
uint64_t rangeReplyBytes(const std::string& name, uint64_t dataSize);

}  // namespace quor
