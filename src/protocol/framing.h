// The framing every message of the seven channels shares, and the helpers
// that the two catalogues build and decode with: the file update messages
// (protocol/file_update_messages.h), which the update server and the client
// both speak, and the pass-through messages of the other channels
// (protocol/passthrough_messages.h), which only the client decodes.
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

// The header words and an owned copy of the whole packet, kept by every
// decoded record of the framed channels (the file replies excepted, below).
struct FramedRecord {
  uint32_t type = 0;
  uint32_t aux = 1;
  Bytes raw;
  uint32_t rawLength = 0;
};

// The type word of a framed packet; nothing when it has fewer than 4 bytes.
std::optional<uint32_t> readMessageType(ByteSpan packet);


// The pieces builders and decoders are made of.
namespace framing {

inline ByteWriter startMessage(uint32_t type, uint32_t aux) {
  ByteWriter writer;
  writer.u32(type);
  writer.u32(aux);
  return writer;
}

template <size_t N>
void writeNumbers(ByteWriter& writer, const std::array<uint32_t, N>& values) {
  for (uint32_t value : values) writer.u32(value);
}

template <size_t N>
void readNumbers(ByteReader& reader, std::array<uint32_t, N>& values) {
  for (uint32_t& value : values) value = reader.u32();
}

inline void writeTextList(ByteWriter& writer, const std::vector<std::string>& texts) {
  writer.u32(static_cast<uint32_t>(texts.size()));
  for (const std::string& text : texts) writer.text(text);
}

inline Bytes finish(ByteWriter& writer, ByteSpan rest) {
  writer.raw(rest.data(), rest.size());
  return writer.take();
}

// Decodes a framed record: the header, then the body through readBody at a
// running position from offset 8. Nothing when any read ran past the end.
template <typename Record, typename ReadBody>
std::optional<Record> decodeFramed(ByteSpan packet, uint32_t type, ReadBody readBody) {
  if (packet.size() < kHeaderSize) return std::nullopt;
  Record record;
  record.type = type;
  ByteReader reader(packet.data(), packet.size(), 4);
  record.aux = reader.u32();
  readBody(reader, record);
  if (reader.overrun()) return std::nullopt;
  record.raw.assign(packet.begin(), packet.end());
  record.rawLength = static_cast<uint32_t>(packet.size());
  return record;
}

// Header-only records read a few words and leave the rest in raw.
template <typename Record>
std::optional<Record> decodeHeaderOnly(ByteSpan packet, uint32_t type) {
  return decodeFramed<Record>(packet, type, [](ByteReader&, Record&) {});
}

template <typename Record>
std::optional<Record> decodeWithValue(ByteSpan packet, uint32_t type) {
  return decodeFramed<Record>(packet, type,
                              [](ByteReader& reader, Record& record) { record.value = reader.u32(); });
}

}  // namespace framing
}  // namespace quor
