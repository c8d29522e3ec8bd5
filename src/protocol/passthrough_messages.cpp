#include "protocol/passthrough_messages.h"

namespace quor {

using framing::decodeFramed;
using framing::decodeHeaderOnly;
using framing::decodeWithValue;
using framing::finish;
using framing::readNumbers;
using framing::startMessage;
using framing::writeNumbers;
using framing::writeTextList;

// ---- Lobby channel ----

Bytes buildLobbyMessage1(const LobbyMessage1& message) {
  ByteWriter writer = startMessage(kLobbyType1, message.aux);
  writer.text(message.message);
  writeNumbers(writer, message.values);
  return writer.take();
}

std::optional<LobbyMessage1> decodeLobbyMessage1(ByteSpan packet) {
  return decodeFramed<LobbyMessage1>(packet, kLobbyType1, [](ByteReader& reader, LobbyMessage1& m) {
    m.message = reader.text();
    readNumbers(reader, m.values);
  });
}

Bytes buildLobbyMessage5(const LobbyMessage5& message) {
  ByteWriter writer = startMessage(kLobbyType5, message.aux);
  writeNumbers(writer, message.values);
  writer.text(message.name);
  writer.u32(static_cast<uint32_t>(message.entries.size()));
  for (const auto& [number, label] : message.entries) {
    writer.u32(number);
    writer.text(label);
  }
  writeTextList(writer, message.names);
  return writer.take();
}

std::optional<LobbyMessage5> decodeLobbyMessage5(ByteSpan packet) {
  return decodeFramed<LobbyMessage5>(packet, kLobbyType5, [](ByteReader& reader, LobbyMessage5& m) {
    readNumbers(reader, m.values);
    m.name = reader.text();
    m.entries = reader.numberedTextList();
    m.names = reader.textList();
  });
}

Bytes buildLobbyMessage6(const LobbyMessage6& message, ByteSpan rest) {
  ByteWriter writer = startMessage(kLobbyType6, message.aux);
  writer.u32(message.value);
  return finish(writer, rest);
}

std::optional<LobbyMessage6> decodeLobbyMessage6(ByteSpan packet) {
  return decodeWithValue<LobbyMessage6>(packet, kLobbyType6);
}

Bytes buildLobbyMessage7(const LobbyMessage7& message, ByteSpan rest) {
  ByteWriter writer = startMessage(kLobbyType7, message.aux);
  writer.u32(message.value);
  writer.u32(message.value2);
  return finish(writer, rest);
}

std::optional<LobbyMessage7> decodeLobbyMessage7(ByteSpan packet) {
  return decodeFramed<LobbyMessage7>(packet, kLobbyType7, [](ByteReader& reader, LobbyMessage7& m) {
    m.value = reader.u32();
    m.value2 = reader.u32();
  });
}

Bytes buildLobbyMessage8(const LobbyMessage8& message, ByteSpan rest) {
  ByteWriter writer = startMessage(kLobbyType8, message.aux);
  writer.u32(message.value);
  return finish(writer, rest);
}

std::optional<LobbyMessage8> decodeLobbyMessage8(ByteSpan packet) {
  return decodeWithValue<LobbyMessage8>(packet, kLobbyType8);
}

Bytes buildLobbyMessage9(const LobbyMessage9& message, ByteSpan rest) {
  ByteWriter writer = startMessage(kLobbyType9, message.aux);
  writer.u32(message.value);
  return finish(writer, rest);
}

std::optional<LobbyMessage9> decodeLobbyMessage9(ByteSpan packet) {
  return decodeWithValue<LobbyMessage9>(packet, kLobbyType9);
}

Bytes buildLobbyMessage11(const LobbyMessage11& message) {
  ByteWriter writer = startMessage(kLobbyType11, message.aux);
  writer.u32(message.value);
  writer.text(message.textA);
  writer.text(message.textB);
  writeNumbers(writer, message.values);
  return writer.take();
}

std::optional<LobbyMessage11> decodeLobbyMessage11(ByteSpan packet) {
  return decodeFramed<LobbyMessage11>(packet, kLobbyType11, [](ByteReader& reader, LobbyMessage11& m) {
    m.value = reader.u32();
    m.textA = reader.text();
    m.textB = reader.text();
    readNumbers(reader, m.values);
  });
}

Bytes buildLobbyMessage12(const LobbyMessage12& message) {
  ByteWriter writer = startMessage(kLobbyType12, message.aux);
  writeTextList(writer, message.texts);
  return writer.take();
}

std::optional<LobbyMessage12> decodeLobbyMessage12(ByteSpan packet) {
  return decodeFramed<LobbyMessage12>(packet, kLobbyType12, [](ByteReader& reader, LobbyMessage12& m) {
    m.texts = reader.textList();
  });
}

Bytes buildLobbyMessage13(const LobbyMessage13& message) {
  ByteWriter writer = startMessage(kLobbyType13, message.aux);
  writer.u32(message.value);
  writer.text(message.message);
  writeNumbers(writer, message.values);
  return writer.take();
}

std::optional<LobbyMessage13> decodeLobbyMessage13(ByteSpan packet) {
  return decodeFramed<LobbyMessage13>(packet, kLobbyType13, [](ByteReader& reader, LobbyMessage13& m) {
    m.value = reader.u32();
    m.message = reader.text();
    readNumbers(reader, m.values);
  });
}

Bytes buildLobbyMessage14(const LobbyMessage14& message, ByteSpan rest) {
  ByteWriter writer = startMessage(kLobbyType14, message.aux);
  return finish(writer, rest);
}

std::optional<LobbyMessage14> decodeLobbyMessage14(ByteSpan packet) {
  return decodeHeaderOnly<LobbyMessage14>(packet, kLobbyType14);
}

// ---- Text channel ----

Bytes buildTextMessage(std::string_view text) {
  ByteWriter writer;
  writer.text(text);
  return writer.take();
}

std::optional<std::string> decodeTextMessage(ByteSpan packet) {
  if (packet.empty()) return std::nullopt;
  ByteReader reader(packet.data(), packet.size());
  std::string text = reader.text();
  if (reader.overrun()) return std::nullopt;
  return text;
}

// ---- Ingame channel ----

Bytes buildIngameMessage1(uint32_t aux) { return startMessage(kIngameType1, aux).take(); }

Bytes buildIngameMessage2(uint32_t aux) { return startMessage(kIngameType2, aux).take(); }

Bytes buildIngameMessage3(const IngameMessage3& message, ByteSpan rest) {
  ByteWriter writer = startMessage(kIngameType3, message.aux);
  writer.u32(message.value);
  return finish(writer, rest);
}

std::optional<IngameMessage3> decodeIngameMessage3(ByteSpan packet) {
  return decodeWithValue<IngameMessage3>(packet, kIngameType3);
}

Bytes buildIngameMessage8(const IngameMessage8& message) {
  ByteWriter writer = startMessage(kIngameType8, message.aux);
  writer.blob(message.first.data(), static_cast<uint32_t>(message.first.size()));
  writer.blob(message.second.data(), static_cast<uint32_t>(message.second.size()));
  return writer.take();
}

std::optional<IngameMessage8> decodeIngameMessage8(ByteSpan packet) {
  return decodeFramed<IngameMessage8>(packet, kIngameType8, [](ByteReader& reader, IngameMessage8& m) {
    m.first = reader.blob();
    m.second = reader.blob();
  });
}

// ---- Record channel ----

Bytes buildRecordMessage(const RecordMessage& message, uint32_t leading) {
  ByteWriter writer;
  writer.u32(leading);
  writer.u32(message.first);
  writer.u32(message.second);
  writer.u32(static_cast<uint32_t>(message.listA.size()));
  for (uint32_t value : message.listA) writer.u32(value);
  writer.u32(message.middle);
  writer.u32(static_cast<uint32_t>(message.listB.size()));
  for (uint32_t value : message.listB) writer.u32(value);
  writeNumbers(writer, message.pair);
  for (float real : message.reals) writer.f32(real);
  writer.u8(message.flag);
  writer.text(message.message);
  return writer.take();
}

std::optional<RecordMessage> decodeRecordMessage(ByteSpan packet) {
  if (packet.size() < kShortRecordSize) return std::nullopt;
  RecordMessage record;
  ByteReader reader(packet.data(), packet.size(), 4);
  record.first = reader.u32();
  record.second = reader.u32();
  if (packet.size() == kShortRecordSize) return record;
  record.listA = reader.u32List();
  record.middle = reader.u32();
  record.listB = reader.u32List();
  readNumbers(reader, record.pair);
  for (float& real : record.reals) real = reader.f32();
  record.flag = reader.u8();
  record.message = reader.text();
  if (reader.overrun()) return std::nullopt;
  return record;
}

// ---- Feedback channels ----

Bytes buildFeedbackMessage2(const FeedbackMessage2& message) {
  ByteWriter writer = startMessage(kFeedbackType2, message.aux);
  writer.text(message.message);
  return writer.take();
}

std::optional<FeedbackMessage2> decodeFeedbackMessage2(ByteSpan packet) {
  return decodeFramed<FeedbackMessage2>(packet, kFeedbackType2, [](ByteReader& reader, FeedbackMessage2& m) {
    m.message = reader.text();
  });
}

Bytes buildFeedback2Message1(const Feedback2Message1& message) {
  ByteWriter writer = startMessage(kFeedback2Type1, message.aux);
  writer.text(message.textA);
  writer.text(message.textB);
  writeNumbers(writer, message.values);
  writer.text(message.textC);
  return writer.take();
}

std::optional<Feedback2Message1> decodeFeedback2Message1(ByteSpan packet) {
  return decodeFramed<Feedback2Message1>(packet, kFeedback2Type1, [](ByteReader& reader, Feedback2Message1& m) {
    m.textA = reader.text();
    m.textB = reader.text();
    readNumbers(reader, m.values);
    m.textC = reader.text();
  });
}

Bytes buildFeedback2Message2(const Feedback2Message2& message) {
  ByteWriter writer = startMessage(kFeedback2Type2, message.aux);
  writeTextList(writer, message.texts);
  return writer.take();
}

std::optional<Feedback2Message2> decodeFeedback2Message2(ByteSpan packet) {
  return decodeFramed<Feedback2Message2>(packet, kFeedback2Type2, [](ByteReader& reader, Feedback2Message2& m) {
    m.texts = reader.textList();
  });
}

}  // namespace quor
