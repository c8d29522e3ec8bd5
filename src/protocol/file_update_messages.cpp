#include "protocol/file_update_messages.h"

namespace quor {

using framing::decodeFramed;
using framing::decodeHeaderOnly;
using framing::decodeWithValue;
using framing::finish;
using framing::readNumbers;
using framing::startMessage;
using framing::writeNumbers;
using framing::writeTextList;

// ---- File update channel ----

Bytes buildManifestRequest(uint32_t aux) { return startMessage(kManifestRequestType, aux).take(); }

std::optional<ManifestRequest> decodeManifestRequest(ByteSpan packet) {
  return decodeHeaderOnly<ManifestRequest>(packet, kManifestRequestType);
}

Bytes buildFileRequest(std::string_view path, uint32_t aux) {
  ByteWriter writer = startMessage(kFileRequestType, aux);
  writer.text(path);
  return writer.take();
}

std::optional<FileRequest> decodeFileRequest(ByteSpan packet) {
  return decodeFramed<FileRequest>(packet, kFileRequestType, [](ByteReader& reader, FileRequest& m) {
    m.path = reader.text();
  });
}

Bytes buildFileReplyHead(std::string_view path, uint32_t contentSize, uint32_t aux) {
  ByteWriter writer = startMessage(kFileReplyType, aux);
  writer.text(path);
  writer.u32(contentSize);
  return writer.take();
}

Bytes buildFileReply(std::string_view path, ByteSpan content, uint32_t aux) {
  Bytes packet = buildFileReplyHead(path, static_cast<uint32_t>(content.size()), aux);
  packet.insert(packet.end(), content.begin(), content.end());
  return packet;
}

std::optional<FileReply> decodeFileReply(ByteSpan packet) {
  if (packet.size() < kHeaderSize) return std::nullopt;
  FileReply reply;
  ByteReader reader(packet.data(), packet.size(), 4);
  reply.aux = reader.u32();
  reply.path = reader.text();
  uint32_t count = reader.u32();
  if (reader.overrun() || count > reader.remaining()) return std::nullopt;
  reply.content = packet.subspan(reader.position(), count);
  return reply;
}

// ---- Ranges, file update channel ----

Bytes buildRangeHello(const RangeHello& message) {
  ByteWriter writer = startMessage(kRangeHelloType, message.aux);
  writer.u32(message.version);
  return writer.take();
}

std::optional<RangeHello> decodeRangeHello(ByteSpan packet) {
  return decodeFramed<RangeHello>(packet, kRangeHelloType,
                                  [](ByteReader& reader, RangeHello& m) { m.version = reader.u32(); });
}

Bytes buildRangeOffer(const RangeOffer& message) {
  ByteWriter writer = startMessage(kRangeOfferType, message.aux);
  writer.u32(message.version);
  writer.u32(message.maxPieceSize);
  return writer.take();
}

std::optional<RangeOffer> decodeRangeOffer(ByteSpan packet) {
  return decodeFramed<RangeOffer>(packet, kRangeOfferType, [](ByteReader& reader, RangeOffer& m) {
    m.version = reader.u32();
    m.maxPieceSize = reader.u32();
  });
}

Bytes buildFileRangeRequest(const FileRangeRequest& message) {
  ByteWriter writer = startMessage(kFileRangeRequestType, message.aux);
  writer.text(message.name);
  writer.u64(message.offset);
  writer.u32(message.length);
  return writer.take();
}

std::optional<FileRangeRequest> decodeFileRangeRequest(ByteSpan packet) {
  return decodeFramed<FileRangeRequest>(packet, kFileRangeRequestType,
                                        [](ByteReader& reader, FileRangeRequest& m) {
                                          m.name = reader.text();
                                          m.offset = reader.u64();
                                          m.length = reader.u32();
                                        });
}

Bytes buildFileRangeReplyHead(const FileRangeReply& reply, uint32_t dataSize) {
  ByteWriter writer = startMessage(kFileRangeReplyType, reply.aux);
  writer.text(reply.name);
  writer.u32(reply.status);
  writer.u64(reply.fileSize);
  writer.u64(reply.fileVersion);
  writer.u64(reply.offset);
  writer.u32(dataSize);
  return writer.take();
}

Bytes buildFileRangeReply(const FileRangeReply& reply) {
  Bytes packet = buildFileRangeReplyHead(reply, static_cast<uint32_t>(reply.data.size()));
  packet.insert(packet.end(), reply.data.begin(), reply.data.end());
  return packet;
}

std::optional<FileRangeReply> decodeFileRangeReply(ByteSpan packet) {
  if (packet.size() < kHeaderSize) return std::nullopt;
  FileRangeReply reply;
  ByteReader reader(packet.data(), packet.size(), 4);
  reply.aux = reader.u32();
  reply.name = reader.text();
  reply.status = reader.u32();
  reply.fileSize = reader.u64();
  reply.fileVersion = reader.u64();
  reply.offset = reader.u64();
  uint32_t count = reader.u32();
  if (reader.overrun() || count > reader.remaining()) return std::nullopt;
  if (reply.fileSize > kMaxRangeFileBytes) return std::nullopt;
  // A reply without data may name any offset: a refusal, or an offset past
  // the end, answers the request as it was asked.
  if (count != 0 && (reply.offset > reply.fileSize || count > reply.fileSize - reply.offset)) {
    return std::nullopt;
  }
  reply.data = packet.subspan(reader.position(), count);
  return reply;
}

}  // namespace quor
