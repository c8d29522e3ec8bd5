// The pass-through messages of the lobby, text, ingame, record and
// feedback channels (0 to 5) in their wire form. The updater decodes them
// and hands them to its controller, which ignores them; the update server
// never sends them. One builder and one decoder each.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/framing.h"

namespace quor {

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

}  // namespace quor
