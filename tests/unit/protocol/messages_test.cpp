// Every message of the catalogue against bytes written out by hand: the
// builder must produce them, the decoder must read them back, and every
// packet cut short must be refused rather than read past its end.

#include "protocol/file_update_messages.h"
#include "protocol/passthrough_messages.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace quor {
namespace {

Bytes u32le(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

Bytes str0(std::string_view text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes u64le(uint64_t v) { return concat({u32le(uint32_t(v)), u32le(uint32_t(v >> 32))}); }

ByteSpan prefix(const Bytes& wire, size_t length) { return ByteSpan(wire.data(), length); }

// Every proper prefix of the packet is too short for the message.
template <typename Decode>
void expectPrefixesRejected(const Bytes& wire, Decode decode, size_t from = 0) {
  for (size_t length = from; length < wire.size(); ++length) {
    EXPECT_FALSE(decode(prefix(wire, length))) << "accepted a prefix of " << length << " bytes";
  }
}

template <typename Record>
void expectFrame(const Record& record, uint32_t type, uint32_t aux, const Bytes& wire) {
  EXPECT_EQ(record.type, type);
  EXPECT_EQ(record.aux, aux);
  EXPECT_EQ(record.raw, wire);
  EXPECT_EQ(record.rawLength, wire.size());
}

TEST(Messages, WireExamplesRequestsHaveTheirFixedBytes) {
  EXPECT_EQ(buildManifestRequest(), (Bytes{1, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(buildFileRequest("abc"), (Bytes{2, 0, 0, 0, 1, 0, 0, 0, 'a', 'b', 'c', 0}));
  EXPECT_EQ(buildFileRequest("").size(), 9u);
}

TEST(Messages, WireExamplesMessageTypeNeedsFourBytes) {
  Bytes wire = {9, 0, 0, 0};
  EXPECT_EQ(readMessageType(wire), 9u);
  EXPECT_FALSE(readMessageType(prefix(wire, 3)));
  EXPECT_FALSE(readMessageType(ByteSpan()));
}

TEST(Messages, LobbyMessagesType1) {
  Bytes wire = concat({u32le(1), u32le(7), str0("hi"), u32le(1), u32le(2), u32le(3), u32le(4),
                       u32le(0xFFFFFFFF)});
  LobbyMessage1 message;
  message.aux = 7;
  message.message = "hi";
  message.values = {1, 2, 3, 4, 0xFFFFFFFF};
  EXPECT_EQ(buildLobbyMessage1(message), wire);
  auto decoded = decodeLobbyMessage1(wire);
  ASSERT_TRUE(decoded);
  expectFrame(*decoded, 1, 7, wire);
  EXPECT_EQ(decoded->message, "hi");
  EXPECT_EQ(decoded->values, message.values);
  expectPrefixesRejected(wire, decodeLobbyMessage1);
}

TEST(Messages, LobbyMessagesType5) {
  Bytes wire = concat({u32le(5), u32le(1), u32le(10), u32le(11), u32le(12), u32le(13), u32le(14),
                       u32le(15), u32le(16), str0("room"), u32le(2), u32le(7), str0("seven"),
                       u32le(8), str0(""), u32le(2), str0("b"), str0("a")});
  LobbyMessage5 message;
  message.values = {10, 11, 12, 13, 14, 15, 16};
  message.name = "room";
  message.entries = {{7, "seven"}, {8, ""}};
  message.names = {"b", "a"};
  EXPECT_EQ(buildLobbyMessage5(message), wire);
  auto decoded = decodeLobbyMessage5(wire);
  ASSERT_TRUE(decoded);
  expectFrame(*decoded, 5, 1, wire);
  EXPECT_EQ(decoded->values, message.values);
  EXPECT_EQ(decoded->name, "room");
  EXPECT_EQ(decoded->entries, message.entries);
  EXPECT_EQ(decoded->names, message.names);
  expectPrefixesRejected(wire, decodeLobbyMessage5);
}

TEST(Messages, LobbyMessagesType5WithEmptyListsIs45BytesPlusTheName) {
  LobbyMessage5 message;
  message.name = "abcd";
  Bytes wire = buildLobbyMessage5(message);
  EXPECT_EQ(wire.size(), 45u + 4u);
  auto decoded = decodeLobbyMessage5(wire);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->entries.empty());
  EXPECT_TRUE(decoded->names.empty());
}

TEST(Messages, LobbyMessagesHeaderOnlyTypesKeepTheRestInRaw) {
  Bytes rest = {0xAA, 0xBB, 0};
  Bytes wire6 = concat({u32le(6), u32le(1), u32le(42), rest});
  LobbyMessage6 m6;
  m6.value = 42;
  EXPECT_EQ(buildLobbyMessage6(m6, rest), wire6);
  auto d6 = decodeLobbyMessage6(wire6);
  ASSERT_TRUE(d6);
  expectFrame(*d6, 6, 1, wire6);
  EXPECT_EQ(d6->value, 42u);
  expectPrefixesRejected(Bytes(wire6.begin(), wire6.begin() + 12), decodeLobbyMessage6);
  EXPECT_TRUE(decodeLobbyMessage6(prefix(wire6, 12)));

  Bytes wire7 = concat({u32le(7), u32le(3), u32le(1), u32le(2), rest});
  LobbyMessage7 m7;
  m7.aux = 3;
  m7.value = 1;
  m7.value2 = 2;
  EXPECT_EQ(buildLobbyMessage7(m7, rest), wire7);
  auto d7 = decodeLobbyMessage7(wire7);
  ASSERT_TRUE(d7);
  expectFrame(*d7, 7, 3, wire7);
  EXPECT_EQ(d7->value, 1u);
  EXPECT_EQ(d7->value2, 2u);
  expectPrefixesRejected(Bytes(wire7.begin(), wire7.begin() + 16), decodeLobbyMessage7);

  Bytes wire8 = concat({u32le(8), u32le(1), u32le(80)});
  LobbyMessage8 m8;
  m8.value = 80;
  EXPECT_EQ(buildLobbyMessage8(m8), wire8);
  auto d8 = decodeLobbyMessage8(wire8);
  ASSERT_TRUE(d8);
  expectFrame(*d8, 8, 1, wire8);
  EXPECT_EQ(d8->value, 80u);
  expectPrefixesRejected(wire8, decodeLobbyMessage8);

  Bytes wire9 = concat({u32le(9), u32le(1), u32le(90), rest});
  LobbyMessage9 m9;
  m9.value = 90;
  EXPECT_EQ(buildLobbyMessage9(m9, rest), wire9);
  auto d9 = decodeLobbyMessage9(wire9);
  ASSERT_TRUE(d9);
  expectFrame(*d9, 9, 1, wire9);
  EXPECT_EQ(d9->value, 90u);
  expectPrefixesRejected(Bytes(wire9.begin(), wire9.begin() + 12), decodeLobbyMessage9);

  Bytes wire14 = concat({u32le(14), u32le(5), rest});
  LobbyMessage14 m14;
  m14.aux = 5;
  EXPECT_EQ(buildLobbyMessage14(m14, rest), wire14);
  auto d14 = decodeLobbyMessage14(wire14);
  ASSERT_TRUE(d14);
  expectFrame(*d14, 14, 5, wire14);
  expectPrefixesRejected(Bytes(wire14.begin(), wire14.begin() + 8), decodeLobbyMessage14);
}

TEST(Messages, LobbyMessagesType11) {
  Bytes wire = concat({u32le(11), u32le(1), u32le(99), str0("a"), str0(""), u32le(1), u32le(2),
                       u32le(3)});
  LobbyMessage11 message;
  message.value = 99;
  message.textA = "a";
  message.textB = "";
  message.values = {1, 2, 3};
  EXPECT_EQ(buildLobbyMessage11(message), wire);
  auto decoded = decodeLobbyMessage11(wire);
  ASSERT_TRUE(decoded);
  expectFrame(*decoded, 11, 1, wire);
  EXPECT_EQ(decoded->value, 99u);
  EXPECT_EQ(decoded->textA, "a");
  EXPECT_EQ(decoded->textB, "");
  EXPECT_EQ(decoded->values, message.values);
  expectPrefixesRejected(wire, decodeLobbyMessage11);
}

TEST(Messages, LobbyMessagesType12) {
  Bytes wire = concat({u32le(12), u32le(1), u32le(3), str0("x"), str0("yy"), str0("")});
  LobbyMessage12 message;
  message.texts = {"x", "yy", ""};
  EXPECT_EQ(buildLobbyMessage12(message), wire);
  auto decoded = decodeLobbyMessage12(wire);
  ASSERT_TRUE(decoded);
  expectFrame(*decoded, 12, 1, wire);
  EXPECT_EQ(decoded->texts, message.texts);
  expectPrefixesRejected(wire, decodeLobbyMessage12);
}

TEST(Messages, LobbyMessagesType13) {
  Bytes wire = concat({u32le(13), u32le(1), u32le(4), str0("msg"), u32le(5), u32le(6), u32le(7)});
  LobbyMessage13 message;
  message.value = 4;
  message.message = "msg";
  message.values = {5, 6, 7};
  EXPECT_EQ(buildLobbyMessage13(message), wire);
  auto decoded = decodeLobbyMessage13(wire);
  ASSERT_TRUE(decoded);
  expectFrame(*decoded, 13, 1, wire);
  EXPECT_EQ(decoded->value, 4u);
  EXPECT_EQ(decoded->message, "msg");
  EXPECT_EQ(decoded->values, message.values);
  expectPrefixesRejected(wire, decodeLobbyMessage13);
}

TEST(Messages, TextMessagesTextEndsAtTheFirstZero) {
  EXPECT_EQ(buildTextMessage("abc"), (Bytes{'a', 'b', 'c', 0}));
  Bytes wire = {'a', 'b', 'c', 0, 'd', 'e', 0};
  EXPECT_EQ(decodeTextMessage(wire), "abc");
  EXPECT_EQ(decodeTextMessage(Bytes{0}), "");
}

TEST(Messages, TextMessagesTextWithoutItsZeroIsRefused) {
  EXPECT_FALSE(decodeTextMessage(Bytes{'a', 'b', 'c'}));
  EXPECT_FALSE(decodeTextMessage(ByteSpan()));
}

TEST(Messages, IngameMessagesHeaderOnlyTypes) {
  EXPECT_EQ(buildIngameMessage1(), (Bytes{1, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(buildIngameMessage2(), (Bytes{2, 0, 0, 0, 1, 0, 0, 0}));
  Bytes wire3 = concat({u32le(3), u32le(1), u32le(33), Bytes{1, 2}});
  IngameMessage3 m3;
  m3.value = 33;
  EXPECT_EQ(buildIngameMessage3(m3, Bytes{1, 2}), wire3);
  auto d3 = decodeIngameMessage3(wire3);
  ASSERT_TRUE(d3);
  expectFrame(*d3, 3, 1, wire3);
  EXPECT_EQ(d3->value, 33u);
  expectPrefixesRejected(Bytes(wire3.begin(), wire3.begin() + 12), decodeIngameMessage3);
}

TEST(Messages, IngameMessagesType8CarriesTwoBlobs) {
  Bytes wire = concat({u32le(8), u32le(1), u32le(3), Bytes{9, 8, 7}, u32le(0)});
  IngameMessage8 message;
  message.first = {9, 8, 7};
  EXPECT_EQ(buildIngameMessage8(message), wire);
  auto decoded = decodeIngameMessage8(wire);
  ASSERT_TRUE(decoded);
  expectFrame(*decoded, 8, 1, wire);
  EXPECT_EQ(decoded->first, message.first);
  EXPECT_TRUE(decoded->second.empty());
  expectPrefixesRejected(wire, decodeIngameMessage8);
}

TEST(Messages, IngameMessagesBlobLongerThanThePacketIsRefused) {
  Bytes wire = concat({u32le(8), u32le(1), u32le(0xFFFFFFFF), Bytes{1, 2, 3}});
  EXPECT_FALSE(decodeIngameMessage8(wire));
  Bytes secondTooLong = concat({u32le(8), u32le(1), u32le(0), u32le(5), Bytes{1, 2, 3, 4}});
  EXPECT_FALSE(decodeIngameMessage8(secondTooLong));
}

TEST(Messages, RecordMessagesFullForm) {
  Bytes wire = concat({u32le(0xDEAD), u32le(1), u32le(2), u32le(2), u32le(10), u32le(11), u32le(3),
                       u32le(1), u32le(20), u32le(4), u32le(5), u32le(0x3F800000), u32le(0),
                       u32le(0xC0000000), Bytes{1}, str0("rec")});
  RecordMessage message;
  message.first = 1;
  message.second = 2;
  message.listA = {10, 11};
  message.middle = 3;
  message.listB = {20};
  message.pair = {4, 5};
  message.reals = {1.0f, 0.0f, -2.0f};
  message.flag = 1;
  message.message = "rec";
  EXPECT_EQ(buildRecordMessage(message, 0xDEAD), wire);
  auto decoded = decodeRecordMessage(wire);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->first, 1u);
  EXPECT_EQ(decoded->second, 2u);
  EXPECT_EQ(decoded->listA, message.listA);
  EXPECT_EQ(decoded->middle, 3u);
  EXPECT_EQ(decoded->listB, message.listB);
  EXPECT_EQ(decoded->pair, message.pair);
  EXPECT_EQ(decoded->reals, message.reals);
  EXPECT_EQ(decoded->flag, 1);
  EXPECT_EQ(decoded->message, "rec");
  // 12 bytes is the short form; everything between it and the full length
  // is cut somewhere in the body.
  expectPrefixesRejected(wire, decodeRecordMessage, 13);
}

TEST(Messages, RecordMessagesTwelveBytesTakeTheDefaults) {
  Bytes wire = concat({u32le(77), u32le(5), u32le(6)});
  auto decoded = decodeRecordMessage(wire);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->first, 5u);
  EXPECT_EQ(decoded->second, 6u);
  EXPECT_EQ(decoded->listA, std::vector<uint32_t>{0xFFFFFFFF});
  EXPECT_EQ(decoded->middle, 0u);
  EXPECT_TRUE(decoded->listB.empty());
  EXPECT_EQ(decoded->pair, (std::array<uint32_t, 2>{0xFFFFFFFF, 0xFFFFFFFF}));
  EXPECT_EQ(decoded->reals, (std::array<float, 3>{0, 0, 0}));
  EXPECT_EQ(decoded->flag, 0);
  EXPECT_EQ(decoded->message, "");
  expectPrefixesRejected(wire, decodeRecordMessage);
}

TEST(Messages, RecordMessagesHugeListCountIsRefused) {
  Bytes wire = concat({u32le(0), u32le(1), u32le(2), u32le(0xFFFFFFFF), u32le(7)});
  EXPECT_FALSE(decodeRecordMessage(wire));
}

TEST(Messages, FeedbackMessagesType2) {
  Bytes wire = concat({u32le(2), u32le(1), str0("thanks")});
  FeedbackMessage2 message;
  message.message = "thanks";
  EXPECT_EQ(buildFeedbackMessage2(message), wire);
  auto decoded = decodeFeedbackMessage2(wire);
  ASSERT_TRUE(decoded);
  expectFrame(*decoded, 2, 1, wire);
  EXPECT_EQ(decoded->message, "thanks");
  expectPrefixesRejected(wire, decodeFeedbackMessage2);
}

TEST(Messages, FeedbackMessagesSecondChannelType1) {
  Bytes wire = concat({u32le(1), u32le(1), str0("A"), str0("B"), u32le(1), u32le(2), str0("C")});
  Feedback2Message1 message;
  message.textA = "A";
  message.textB = "B";
  message.values = {1, 2};
  message.textC = "C";
  EXPECT_EQ(buildFeedback2Message1(message), wire);
  auto decoded = decodeFeedback2Message1(wire);
  ASSERT_TRUE(decoded);
  expectFrame(*decoded, 1, 1, wire);
  EXPECT_EQ(decoded->textA, "A");
  EXPECT_EQ(decoded->textB, "B");
  EXPECT_EQ(decoded->values, message.values);
  EXPECT_EQ(decoded->textC, "C");
  expectPrefixesRejected(wire, decodeFeedback2Message1);
}

TEST(Messages, FeedbackMessagesSecondChannelType2) {
  Bytes wire = concat({u32le(2), u32le(1), u32le(2), str0("one"), str0("two")});
  Feedback2Message2 message;
  message.texts = {"one", "two"};
  EXPECT_EQ(buildFeedback2Message2(message), wire);
  auto decoded = decodeFeedback2Message2(wire);
  ASSERT_TRUE(decoded);
  expectFrame(*decoded, 2, 1, wire);
  EXPECT_EQ(decoded->texts, message.texts);
  expectPrefixesRejected(wire, decodeFeedback2Message2);
  Bytes hugeCount = concat({u32le(2), u32le(1), u32le(0xFFFFFFFF), str0("x")});
  EXPECT_FALSE(decodeFeedback2Message2(hugeCount));
}

TEST(Messages, FileUpdateMessagesRequests) {
  Bytes manifest = {1, 0, 0, 0, 1, 0, 0, 0};
  auto decodedManifest = decodeManifestRequest(manifest);
  ASSERT_TRUE(decodedManifest);
  expectFrame(*decodedManifest, 1, 1, manifest);
  expectPrefixesRejected(manifest, decodeManifestRequest);

  Bytes file = {2, 0, 0, 0, 1, 0, 0, 0, 'a', 'b', 'c', 0};
  auto decodedFile = decodeFileRequest(file);
  ASSERT_TRUE(decodedFile);
  expectFrame(*decodedFile, 2, 1, file);
  EXPECT_EQ(decodedFile->path, "abc");
  expectPrefixesRejected(file, decodeFileRequest);
}

TEST(Messages, FileUpdateMessagesReply) {
  Bytes wire = concat({u32le(3), u32le(1), str0("17.patch"), u32le(4), Bytes{1, 2, 3, 4}});
  Bytes content = {1, 2, 3, 4};
  EXPECT_EQ(buildFileReply("17.patch", content), wire);
  EXPECT_EQ(buildFileReplyHead("17.patch", 4), Bytes(wire.begin(), wire.end() - 4));
  auto decoded = decodeFileReply(wire);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->type, 3u);
  EXPECT_EQ(decoded->path, "17.patch");
  ASSERT_EQ(decoded->content.size(), 4u);
  EXPECT_EQ(decoded->content.data(), wire.data() + wire.size() - 4);
  expectPrefixesRejected(wire, decodeFileReply);
}

TEST(Messages, FileUpdateMessagesEmptyReply) {
  Bytes wire = concat({u32le(3), u32le(1), str0("manifest.manifest"), u32le(0)});
  auto decoded = decodeFileReply(wire);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->path, "manifest.manifest");
  EXPECT_TRUE(decoded->content.empty());
}

TEST(Messages, FileUpdateMessagesContentCountPastTheEndIsRefused) {
  Bytes wire = concat({u32le(3), u32le(1), str0("x"), u32le(0xFFFFFFFF), Bytes{1}});
  EXPECT_FALSE(decodeFileReply(wire));
}

TEST(Messages, RangeMessages) {
  Bytes hello = concat({u32le(4), u32le(1), u32le(1)});
  EXPECT_EQ(buildRangeHello(RangeHello{}), hello);
  auto decodedHello = decodeRangeHello(hello);
  ASSERT_TRUE(decodedHello);
  expectFrame(*decodedHello, 4, 1, hello);
  EXPECT_EQ(decodedHello->version, 1u);
  expectPrefixesRejected(hello, decodeRangeHello);

  Bytes offer = concat({u32le(5), u32le(1), u32le(1), u32le(1u << 20)});
  RangeOffer offerRecord;
  offerRecord.maxPieceSize = 1u << 20;
  EXPECT_EQ(buildRangeOffer(offerRecord), offer);
  auto decodedOffer = decodeRangeOffer(offer);
  ASSERT_TRUE(decodedOffer);
  expectFrame(*decodedOffer, 5, 1, offer);
  EXPECT_EQ(decodedOffer->maxPieceSize, 1u << 20);
  expectPrefixesRejected(offer, decodeRangeOffer);

  // The offset's high half is not zero, so its byte order shows.
  Bytes request = concat({u32le(6), u32le(1), str0("9.compressed"), u32le(2), u32le(1), u32le(777)});
  FileRangeRequest requestRecord;
  requestRecord.name = "9.compressed";
  requestRecord.offset = 0x100000002u;
  requestRecord.length = 777;
  EXPECT_EQ(buildFileRangeRequest(requestRecord), request);
  auto decodedRequest = decodeFileRangeRequest(request);
  ASSERT_TRUE(decodedRequest);
  expectFrame(*decodedRequest, 6, 1, request);
  EXPECT_EQ(decodedRequest->name, "9.compressed");
  EXPECT_EQ(decodedRequest->offset, 0x100000002u);
  EXPECT_EQ(decodedRequest->length, 777u);
  expectPrefixesRejected(request, decodeFileRangeRequest);

  auto replyWire = [](uint32_t status, uint64_t fileSize, uint64_t offset, uint32_t count, const Bytes& data) {
    return concat({u32le(7), u32le(1), str0("f"), u32le(status), u64le(fileSize), u64le(0x1122334455667788u),
                   u64le(offset), u32le(count), data});
  };
  Bytes reply = replyWire(0, 0xFFFFFFFFu, 0xFFFFFFFCu, 3, Bytes{7, 8, 9});
  FileRangeReply replyRecord;
  replyRecord.name = "f";
  replyRecord.fileSize = 0xFFFFFFFFu;
  replyRecord.fileVersion = 0x1122334455667788u;
  replyRecord.offset = 0xFFFFFFFCu;
  Bytes data = {7, 8, 9};
  replyRecord.data = data;
  EXPECT_EQ(buildFileRangeReply(replyRecord), reply);
  EXPECT_EQ(buildFileRangeReplyHead(replyRecord, 3), Bytes(reply.begin(), reply.end() - 3));
  auto decodedReply = decodeFileRangeReply(reply);
  ASSERT_TRUE(decodedReply);
  EXPECT_EQ(decodedReply->type, 7u);
  EXPECT_EQ(decodedReply->name, "f");
  EXPECT_EQ(decodedReply->status, 0u);
  EXPECT_EQ(decodedReply->fileSize, 0xFFFFFFFFu);
  EXPECT_EQ(decodedReply->fileVersion, 0x1122334455667788u);
  EXPECT_EQ(decodedReply->offset, 0xFFFFFFFCu);
  ASSERT_EQ(decodedReply->data.size(), 3u);
  EXPECT_EQ(decodedReply->data.data(), reply.data() + reply.size() - 3);
  expectPrefixesRejected(reply, decodeFileRangeReply);

  // Replies without data answer the offset asked for, even past the end.
  EXPECT_TRUE(decodeFileRangeReply(replyWire(2, 10, 11, 0, {})));
  EXPECT_TRUE(decodeFileRangeReply(replyWire(1, 0, 5, 0, {})));
  EXPECT_TRUE(decodeFileRangeReply(replyWire(0, 10, 10, 0, {})));
  // Hostile: a count past the packet, data past the file's end (also where
  // offset + count wraps around), a file of 4 GiB or more.
  EXPECT_FALSE(decodeFileRangeReply(replyWire(0, 10, 0, 0xFFFFFFFFu, Bytes{1})));
  EXPECT_FALSE(decodeFileRangeReply(replyWire(0, 10, 8, 3, Bytes{1, 2, 3})));
  EXPECT_FALSE(decodeFileRangeReply(replyWire(0, 10, 11, 1, Bytes{1})));
  EXPECT_FALSE(decodeFileRangeReply(replyWire(0, 10, 0xFFFFFFFFFFFFFFFFu, 2, Bytes{1, 2})));
  EXPECT_FALSE(decodeFileRangeReply(replyWire(0, 1ull << 32, 0, 1, Bytes{1})));
  EXPECT_FALSE(decodeFileRangeReply(replyWire(1, 1ull << 32, 0, 0, {})));
}

}  // namespace
}  // namespace quor
