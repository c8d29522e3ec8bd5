// The message catalogue: every message of the seven channels in its wire
// form. Each message has one builder (record → packet bytes) and one
// decoder (packet bytes → record); the client, the update server and the
// tests all go through these, so each byte layout is written down once.
//
// Framed messages start with the header: type (u32), aux (u32). Builders
// write the record's aux (1 unless set otherwise). Decoders never read past
// the packet: a packet that ends before a field it must carry (a header
// word, a number, a text without its 0x00, a count or blob length past the
// end) decodes to nothing, and the caller drops it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/encoding.h"

namespace quor {

using ByteSpan = std::span<const uint8_t>;

// Channels of a connection; the message type numbers restart on each.
constexpr uint8_t kLobbyChannel = 0;
constexpr uint8_t kTextChannel = 1;
constexpr uint8_t kIngameChannel = 2;
constexpr uint8_t kRecordChannel = 3;
constexpr uint8_t kFeedbackChannel = 4;
constexpr uint8_t kFeedback2Channel = 5;
constexpr uint8_t kFileUpdateChannel = 6;
constexpr size_t kChannelCount = 7;

constexpr size_t kHeaderSize = 8;

// Record channel packets of this size or less carry only first and second.
constexpr size_t kShortRecordSize = 12;

// Type numbers, per channel.
constexpr uint32_t kLobbyType1 = 1;
constexpr uint32_t kLobbyType5 = 5;
constexpr uint32_t kLobbyType6 = 6;
constexpr uint32_t kLobbyType7 = 7;
constexpr uint32_t kLobbyType8 = 8;
constexpr uint32_t kLobbyType9 = 9;
constexpr uint32_t kLobbyType11 = 11;
constexpr uint32_t kLobbyType12 = 12;
constexpr uint32_t kLobbyType13 = 13;
constexpr uint32_t kLobbyType14 = 14;
constexpr uint32_t kIngameType1 = 1;
constexpr uint32_t kIngameType2 = 2;
constexpr uint32_t kIngameType3 = 3;
constexpr uint32_t kIngameType8 = 8;
constexpr uint32_t kFeedbackType2 = 2;
constexpr uint32_t kFeedback2Type1 = 1;
constexpr uint32_t kFeedback2Type2 = 2;
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

// The header words and an owned copy of the whole packet, kept by every
// decoded record of the framed channels (the file replies excepted, below).
struct FramedRecord {
  uint32_t type = 0;
  uint32_t aux = 1;
  Bytes raw;
  uint32_t rawLength = 0;
};

// Lobby channel (0), server to client.
struct LobbyMessage1 : FramedRecord {
  std::string message;
  std::array<uint32_t, 5> values{};
};
struct LobbyMessage5 : FramedRecord {
  std::array<uint32_t, 7> values{};
  std::string name;
  std::vector<std::pair<uint32_t, std::string>> entries;  // number, label
  std::vector<std::string> names;
};
// Types 6, 8, 9 and 14 read only their header words and value(s); the
// rest of the packet is left in raw for whoever knows its meaning.
struct LobbyMessage6 : FramedRecord {
  uint32_t value = 0;
};
struct LobbyMessage7 : FramedRecord {
  uint32_t value = 0;
  uint32_t value2 = 0;
};
struct LobbyMessage8 : FramedRecord {
  uint32_t value = 0;
};
struct LobbyMessage9 : FramedRecord {
  uint32_t value = 0;
};
struct LobbyMessage11 : FramedRecord {
  uint32_t value = 0;
  std::string textA;
  std::string textB;
  std::array<uint32_t, 3> values{};
};
struct LobbyMessage12 : FramedRecord {
  std::vector<std::string> texts;
};
struct LobbyMessage13 : FramedRecord {
  uint32_t value = 0;
  std::string message;
  std::array<uint32_t, 3> values{};
};
struct LobbyMessage14 : FramedRecord {};

// Ingame channel (2). Types 1 and 2 carry nothing beyond the header.
struct IngameMessage3 : FramedRecord {
  uint32_t value = 0;
};
struct IngameMessage8 : FramedRecord {
  Bytes first;
  Bytes second;
};

// Record channel (3): no header; the word at offset 0 is not examined and
// the fields from offset 12 on take these defaults in a short packet.
struct RecordMessage {
  uint32_t first = 0;
  uint32_t second = 0;
  std::vector<uint32_t> listA{0xFFFFFFFFu};
  uint32_t middle = 0;
  std::vector<uint32_t> listB;
  std::array<uint32_t, 2> pair{0xFFFFFFFFu, 0xFFFFFFFFu};
  std::array<float, 3> reals{};
  uint8_t flag = 0;
  std::string message;
};

// Feedback channels (4 and 5).
struct FeedbackMessage2 : FramedRecord {
  std::string message;
};
struct Feedback2Message1 : FramedRecord {
  std::string textA;
  std::string textB;
  std::array<uint32_t, 2> values{};
  std::string textC;
};
struct Feedback2Message2 : FramedRecord {
  std::vector<std::string> texts;
};

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

// The type word of a framed packet; nothing when it has fewer than 4 bytes.
std::optional<uint32_t> readMessageType(ByteSpan packet);

// Builders. Header-only messages take the bytes that follow their fixed
// words as rest.
Bytes buildLobbyMessage1(const LobbyMessage1& message);
Bytes buildLobbyMessage5(const LobbyMessage5& message);
Bytes buildLobbyMessage6(const LobbyMessage6& message, ByteSpan rest = {});
Bytes buildLobbyMessage7(const LobbyMessage7& message, ByteSpan rest = {});
Bytes buildLobbyMessage8(const LobbyMessage8& message, ByteSpan rest = {});
Bytes buildLobbyMessage9(const LobbyMessage9& message, ByteSpan rest = {});
Bytes buildLobbyMessage11(const LobbyMessage11& message);
Bytes buildLobbyMessage12(const LobbyMessage12& message);
Bytes buildLobbyMessage13(const LobbyMessage13& message);
Bytes buildLobbyMessage14(const LobbyMessage14& message, ByteSpan rest = {});
Bytes buildTextMessage(std::string_view text);
Bytes buildIngameMessage1(uint32_t aux = 1);
Bytes buildIngameMessage2(uint32_t aux = 1);
Bytes buildIngameMessage3(const IngameMessage3& message, ByteSpan rest = {});
Bytes buildIngameMessage8(const IngameMessage8& message);
// Always the full form (longer than 12 bytes); leading is the unexamined
// word at offset 0.
Bytes buildRecordMessage(const RecordMessage& message, uint32_t leading = 0);
Bytes buildFeedbackMessage2(const FeedbackMessage2& message);
Bytes buildFeedback2Message1(const Feedback2Message1& message);
Bytes buildFeedback2Message2(const Feedback2Message2& message);
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
std::optional<LobbyMessage1> decodeLobbyMessage1(ByteSpan packet);
std::optional<LobbyMessage5> decodeLobbyMessage5(ByteSpan packet);
std::optional<LobbyMessage6> decodeLobbyMessage6(ByteSpan packet);
std::optional<LobbyMessage7> decodeLobbyMessage7(ByteSpan packet);
std::optional<LobbyMessage8> decodeLobbyMessage8(ByteSpan packet);
std::optional<LobbyMessage9> decodeLobbyMessage9(ByteSpan packet);
std::optional<LobbyMessage11> decodeLobbyMessage11(ByteSpan packet);
std::optional<LobbyMessage12> decodeLobbyMessage12(ByteSpan packet);
std::optional<LobbyMessage13> decodeLobbyMessage13(ByteSpan packet);
std::optional<LobbyMessage14> decodeLobbyMessage14(ByteSpan packet);
// The packet's bytes up to its first 0x00; nothing without a 0x00.
std::optional<std::string> decodeTextMessage(ByteSpan packet);
std::optional<IngameMessage3> decodeIngameMessage3(ByteSpan packet);
std::optional<IngameMessage8> decodeIngameMessage8(ByteSpan packet);
// Fewer than 12 bytes is too short; exactly 12 takes the defaults.
std::optional<RecordMessage> decodeRecordMessage(ByteSpan packet);
std::optional<FeedbackMessage2> decodeFeedbackMessage2(ByteSpan packet);
std::optional<Feedback2Message1> decodeFeedback2Message1(ByteSpan packet);
std::optional<Feedback2Message2> decodeFeedback2Message2(ByteSpan packet);
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
