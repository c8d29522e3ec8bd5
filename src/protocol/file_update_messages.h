// The file update messages (channel 6) in their wire form: what the
// update server and the updater say to each other. Each message has one
// builder (record -> packet bytes) and one decoder (packet bytes ->
// record), so each byte layout is written down once; docs/protocol.md
// gives them as a grammar.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/framing.h"

namespace quor {

// Type numbers of the file update channel.
constexpr uint32_t kManifestRequestType = 1;
constexpr uint32_t kFileRequestType = 2;
constexpr uint32_t kFileReplyType = 3;
constexpr uint32_t kRangeHelloType = 4;
constexpr uint32_t kRangeOfferType = 5;
constexpr uint32_t kFileRangeRequestType = 6;
constexpr uint32_t kFileRangeReplyType = 7;

// The version of the range messages this program speaks.
constexpr uint32_t kRangeProtocolVersion = 1;
// A file served in ranges is at most this large: the container that holds
// it counts its bytes in 32 bits.
constexpr uint64_t kMaxRangeFileBytes = 0xFFFFFFFFu;
// FileRangeReply::status.
constexpr uint32_t kRangeStatusOk = 0;
constexpr uint32_t kRangeStatusRefused = 1;      // no such file, or not served
constexpr uint32_t kRangeStatusBeyondEnd = 2;    // the offset is past the file's end
// The server could not take the request in now (its queues are full): the
// same request may be sent again a little later. Carries no data.
constexpr uint32_t kRangeStatusBusy = 3;

// File update channel (6).
struct ManifestRequest : FramedRecord {};
struct FileRequest : FramedRecord {
  std::string path;
};
// A reply may carry up to a gigabyte, so its decoded form keeps no copy of
// the packet: content points into the packet it was decoded from and is
// valid only as long as that packet.
struct FileReply {
  uint32_t type = kFileReplyType;
  uint32_t aux = 1;
  std::string path;
  ByteSpan content;
};

// Ranges: a client that sends RangeHello before anything else learns from
// the RangeOffer, which arrives before the reply to its next request, that
// the server serves files piece by piece. An older server drops the hello
// and sends no offer.
struct RangeHello : FramedRecord {
  uint32_t version = kRangeProtocolVersion;
};
struct RangeOffer : FramedRecord {
  uint32_t version = kRangeProtocolVersion;
  uint32_t maxPieceSize = 0;  // the most data one FileRangeReply carries
};
struct FileRangeRequest : FramedRecord {
  std::string name;
  uint64_t offset = 0;
  uint32_t length = 0;
};
// One piece of a file. Like FileReply it keeps no copy of the packet: data
// points into it. A decoded reply always has fileSize <= kMaxRangeFileBytes
// and, when it carries data, offset + data.size() <= fileSize; a reply
// without data echoes the requested offset, which may lie past the end.
// fileVersion changes when the file is published again; it is only ever
// compared for equality.
struct FileRangeReply {
  uint32_t type = kFileRangeReplyType;
  uint32_t aux = 1;
  std::string name;
  uint32_t status = kRangeStatusOk;
  uint64_t fileSize = 0;
  uint64_t fileVersion = 0;
  uint64_t offset = 0;
  ByteSpan data;
};

// Builders.
Bytes buildManifestRequest(uint32_t aux = 1);
Bytes buildFileRequest(std::string_view path, uint32_t aux = 1);
Bytes buildFileReply(std::string_view path, ByteSpan content, uint32_t aux = 1);
// The bytes of a file reply that come before its content: header, path and
// content count. A sender that has the content elsewhere (the server reads
// it straight into the packet) appends contentSize bytes to these.
Bytes buildFileReplyHead(std::string_view path, uint32_t contentSize, uint32_t aux = 1);
Bytes buildRangeHello(const RangeHello& message);
Bytes buildRangeOffer(const RangeOffer& message);
Bytes buildFileRangeRequest(const FileRangeRequest& message);
Bytes buildFileRangeReply(const FileRangeReply& reply);
// The bytes of a range reply up to its data: header, name, status, sizes,
// offset and the data count dataSize (reply.data is not looked at). The
// server appends the dataSize bytes, read from disk into the packet.
Bytes buildFileRangeReplyHead(const FileRangeReply& reply, uint32_t dataSize);

// Decoders; nothing when the packet is too short for the message.
std::optional<ManifestRequest> decodeManifestRequest(ByteSpan packet);
std::optional<FileRequest> decodeFileRequest(ByteSpan packet);
std::optional<FileReply> decodeFileReply(ByteSpan packet);
std::optional<RangeHello> decodeRangeHello(ByteSpan packet);
std::optional<RangeOffer> decodeRangeOffer(ByteSpan packet);
std::optional<FileRangeRequest> decodeFileRangeRequest(ByteSpan packet);
// Also nothing when the data would run past fileSize or fileSize is above
// kMaxRangeFileBytes: no such piece belongs to a file a client can take.
std::optional<FileRangeReply> decodeFileRangeReply(ByteSpan packet);

}  // namespace quor
