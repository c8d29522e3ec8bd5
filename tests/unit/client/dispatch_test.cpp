// The dispatch: which controller operation each packet reaches, the exact
// error line for everything unrecognised, and the one line for a packet
// cut short.

#include "client/dispatch.h"

#include <gtest/gtest.h>

#include "net_test_support.h"

namespace quor {
namespace {

using testing::LogCapture;

class RecordingController : public ClientController {
 public:
  std::vector<std::string> calls;

  void onLobbyMessage1(LobbyMessage1* m) override {
    calls.push_back("lobby1 " + m->message + " " + std::to_string(m->values[4]));
  }
  void onLobbyMessage11(LobbyMessage11* m) override { calls.push_back("lobby11 " + m->textA + m->textB); }
  void onLobbyMessage12(LobbyMessage12* m) override {
    calls.push_back("lobby12 " + std::to_string(m->texts.size()));
  }
  void onLobbyMessage6(LobbyMessage6* m) override { calls.push_back("lobby6 " + std::to_string(m->value)); }
  void onLobbyMessage5(LobbyMessage5* m) override { calls.push_back("lobby5 " + m->name); }
  void onLobbyMessage13(LobbyMessage13* m) override { calls.push_back("lobby13 " + m->message); }
  void onLobbyMessage7(LobbyMessage7* m) override {
    calls.push_back("lobby7 " + std::to_string(m->value) + " " + std::to_string(m->value2));
  }
  void onText(std::string text) override { calls.push_back("text " + text); }
  void onLobbyMessage8(LobbyMessage8* m) override { calls.push_back("lobby8 " + std::to_string(m->value)); }
  void onLobbyMessage9(LobbyMessage9* m) override { calls.push_back("lobby9 " + std::to_string(m->value)); }
  void onLobbyMessage14(LobbyMessage14* m) override {
    calls.push_back("lobby14 " + std::to_string(m->rawLength));
  }
  void onRecord(RecordMessage r) override {
    calls.push_back("record " + std::to_string(r.first) + " " + std::to_string(r.listA.size()) + " " +
                    r.message);
  }
  void onIngameMessage3(IngameMessage3* m) override {
    calls.push_back("ingame3 " + std::to_string(m->value));
  }
  void onIngameMessage1() override { calls.push_back("ingame1"); }
  void onIngameMessage2() override { calls.push_back("ingame2"); }
  void onFeedbackText(std::string text) override { calls.push_back("feedback " + text); }
  void onFeedback2Text(std::string text) override { calls.push_back("feedback2 " + text); }
  void onFeedback2List(std::vector<std::string> texts) override {
    calls.push_back("feedback2list " + std::to_string(texts.size()));
  }
  void onFileReply(std::string path, uint32_t size, const uint8_t* content) override {
    std::string call = "file " + path + " " + std::to_string(size);
    if (size > 0) call += " " + std::string(content, content + size);
    calls.push_back(call);
  }
  void onDisconnected() override { calls.push_back("disconnected"); }
  void onRangeOffer(const RangeOffer& offer) override {
    calls.push_back("offer " + std::to_string(offer.version) + " " + std::to_string(offer.maxPieceSize));
  }
  void onFileRangeReply(const FileRangeReply& reply) override {
    calls.push_back("range " + reply.name + " " + std::to_string(reply.status) + " " +
                    std::to_string(reply.offset) + " " + std::string(reply.data.begin(), reply.data.end()));
  }
};

class Dispatch : public ::testing::Test {
 protected:
  Dispatch() { client.controller = &controller; }

  // Dispatches one packet and returns the log records it caused.
  std::vector<std::string> run(uint8_t channel, const Bytes& packet) {
    LogCapture log;
    dispatch(client, channel, packet);
    return log.records();
  }

  void expectUnknown(uint8_t channel, uint32_t type, const std::string& prefix) {
    Bytes packet = {uint8_t(type), uint8_t(type >> 8), uint8_t(type >> 16), uint8_t(type >> 24), 1, 0, 0, 0};
    std::vector<std::string> expected = {LogCapture::error(prefix + std::to_string(type) +
                                                           ". Nothing to do with it")};
    EXPECT_EQ(run(channel, packet), expected) << "channel " << int(channel) << " type " << type;
    // The type word alone is enough to know the type is not listed.
    EXPECT_EQ(run(channel, Bytes(packet.begin(), packet.begin() + 4)), expected);
  }

  void expectMalformed(uint8_t channel, const Bytes& packet) {
    std::vector<std::string> expected = {
        LogCapture::error("|||| Malformed packet on channel " + std::to_string(channel) + ". Dropped")};
    EXPECT_EQ(run(channel, packet), expected) << "channel " << int(channel) << ", " << packet.size()
                                             << " bytes";
  }

  // Every cut of the packet shorter than minimum bytes is dropped.
  void expectCutsMalformed(uint8_t channel, const Bytes& packet, size_t from = 0) {
    for (size_t length = from; length < packet.size(); ++length) {
      expectMalformed(channel, Bytes(packet.begin(), packet.begin() + length));
    }
  }

  RecordingController controller;
  NetworkClient client;
};

TEST_F(Dispatch, LobbyMessagesReachTheirOperations) {
  LobbyMessage1 m1;
  m1.message = "hello";
  m1.values[4] = 5;
  LobbyMessage5 m5;
  m5.name = "room";
  LobbyMessage7 m7;
  m7.value = 70;
  m7.value2 = 71;
  LobbyMessage11 m11;
  m11.textA = "A";
  m11.textB = "B";
  LobbyMessage12 m12;
  m12.texts = {"x", "y"};
  LobbyMessage13 m13;
  m13.message = "m";
  LobbyMessage6 m6;
  m6.value = 6;
  LobbyMessage8 m8;
  m8.value = 8;
  LobbyMessage9 m9;
  m9.value = 9;
  for (const Bytes& packet :
       {buildLobbyMessage1(m1), buildLobbyMessage5(m5), buildLobbyMessage6(m6), buildLobbyMessage7(m7),
        buildLobbyMessage8(m8), buildLobbyMessage9(m9), buildLobbyMessage11(m11),
        buildLobbyMessage12(m12), buildLobbyMessage13(m13), buildLobbyMessage14({}, Bytes{1, 2})}) {
    EXPECT_TRUE(run(kLobbyChannel, packet).empty());
  }
  EXPECT_EQ(controller.calls,
            (std::vector<std::string>{"lobby1 hello 5", "lobby5 room", "lobby6 6", "lobby7 70 71", "lobby8 8",
                                      "lobby9 9", "lobby11 AB", "lobby12 2", "lobby13 m", "lobby14 10"}));
}

TEST_F(Dispatch, UnlistedTypesGiveTheirChannelsLine) {
  for (uint32_t type : {0u, 2u, 3u, 4u, 10u, 15u, 0xFFFFFFFFu}) {
    expectUnknown(kLobbyChannel, type, "|||| Unknown lobby message ");
  }
  for (uint32_t type : {0u, 4u, 5u, 6u, 7u, 9u, 100u}) {
    expectUnknown(kIngameChannel, type, "|||| Unknown ingame message ");
  }
  for (uint32_t type : {0u, 1u, 3u, 9u}) {
    expectUnknown(kFeedbackChannel, type, "|||| Unknown feedback message ");
  }
  for (uint32_t type : {0u, 3u, 9u}) {
    expectUnknown(kFeedback2Channel, type, "|||| Unknown feedback message ");
  }
  for (uint32_t type : {0u, 8u, 77u}) {
    expectUnknown(kFileUpdateChannel, type, "|||| Unknown file update message ");
  }
  EXPECT_TRUE(controller.calls.empty());
}

TEST_F(Dispatch, ChannelsAboveSixGiveTheChannelLine) {
  for (uint8_t channel : {uint8_t(7), uint8_t(8), uint8_t(255)}) {
    EXPECT_EQ(run(channel, buildFileReply("x", Bytes{1})),
              std::vector<std::string>{LogCapture::error("|||| Packet from server on channel " +
                                                         std::to_string(channel) + ". Nothing to do with it")});
    EXPECT_EQ(run(channel, Bytes{}).size(), 1u);
  }
  EXPECT_TRUE(controller.calls.empty());
}

TEST_F(Dispatch, TextChannelPassesTheTextUpToItsZero) {
  EXPECT_TRUE(run(kTextChannel, Bytes{'a', 'b', 'c', 0, 'd', 0}).empty());
  EXPECT_EQ(controller.calls, std::vector<std::string>{"text abc"});
}

TEST_F(Dispatch, RecordChannelIgnoresTheFirstWordAndKeepsShortDefaults) {
  RecordMessage record;
  record.first = 4;
  record.listA = {1, 2, 3};
  record.message = "r";
  EXPECT_TRUE(run(kRecordChannel, buildRecordMessage(record, 0x12345678)).empty());
  EXPECT_TRUE(run(kRecordChannel, Bytes{9, 9, 9, 9, 5, 0, 0, 0, 6, 0, 0, 0}).empty());
  EXPECT_EQ(controller.calls, (std::vector<std::string>{"record 4 3 r", "record 5 1 "}));
}

TEST_F(Dispatch, IngameMessages) {
  IngameMessage3 m3;
  m3.value = 3;
  EXPECT_TRUE(run(kIngameChannel, buildIngameMessage1()).empty());
  EXPECT_TRUE(run(kIngameChannel, buildIngameMessage2()).empty());
  EXPECT_TRUE(run(kIngameChannel, buildIngameMessage3(m3)).empty());
  EXPECT_EQ(controller.calls, (std::vector<std::string>{"ingame1", "ingame2", "ingame3 3"}));
}

TEST_F(Dispatch, IngameType8ReplacesAndEmptiesTheKeptBlob) {
  IngameMessage8 five;
  five.first = {1, 2, 3, 4, 5};
  five.second = {9};
  EXPECT_TRUE(run(kIngameChannel, buildIngameMessage8(five)).empty());
  EXPECT_EQ(client.ingameBlob, five.first);
  EXPECT_EQ(client.ingameBlobLength, 5u);

  EXPECT_TRUE(run(kIngameChannel, buildIngameMessage8({})).empty());
  EXPECT_TRUE(client.ingameBlob.empty());
  EXPECT_EQ(client.ingameBlobLength, 0u);
  EXPECT_TRUE(controller.calls.empty());
}

TEST_F(Dispatch, FeedbackChannels) {
  FeedbackMessage2 feedback;
  feedback.message = "one";
  Feedback2Message1 second;
  second.textA = "a";
  second.textB = "b";
  second.textC = "c";
  Feedback2Message2 list;
  list.texts = {"1", "2", "3"};
  EXPECT_TRUE(run(kFeedbackChannel, buildFeedbackMessage2(feedback)).empty());
  EXPECT_TRUE(run(kFeedback2Channel, buildFeedback2Message1(second)).empty());
  EXPECT_TRUE(run(kFeedback2Channel, buildFeedback2Message2(list)).empty());
  EXPECT_EQ(controller.calls, (std::vector<std::string>{"feedback one", "feedback2 c", "feedback2list 3"}));
}

TEST_F(Dispatch, FileRepliesReachOnFileReplyEvenWhenEmpty) {
  EXPECT_TRUE(run(kFileUpdateChannel, buildFileReply("17.patch", Bytes{'x', 'y'})).empty());
  EXPECT_TRUE(run(kFileUpdateChannel, buildFileReply("manifest.manifest", Bytes{})).empty());
  EXPECT_EQ(controller.calls, (std::vector<std::string>{"file 17.patch 2 xy", "file manifest.manifest 0"}));
}

TEST_F(Dispatch, RequestsArrivingAtTheClientAreReported) {
  EXPECT_EQ(run(kFileUpdateChannel, buildManifestRequest()),
            std::vector<std::string>{LogCapture::error("???? client should not be receiving manifest requests")});
  EXPECT_EQ(run(kFileUpdateChannel, buildFileRequest("a")),
            std::vector<std::string>{LogCapture::error("???? client should not be receiving file requests")});
  EXPECT_TRUE(controller.calls.empty());
}

TEST_F(Dispatch, RangeMessages) {
  RangeOffer offer;
  offer.maxPieceSize = 1u << 20;
  FileRangeReply reply;
  reply.name = "big";
  reply.fileSize = 10;
  reply.offset = 8;
  Bytes data = {'y', 'z'};
  reply.data = data;
  FileRangeReply refused;
  refused.name = "gone";
  refused.status = kRangeStatusRefused;
  refused.offset = 4;
  EXPECT_TRUE(run(kFileUpdateChannel, buildRangeOffer(offer)).empty());
  EXPECT_TRUE(run(kFileUpdateChannel, buildFileRangeReply(reply)).empty());
  EXPECT_TRUE(run(kFileUpdateChannel, buildFileRangeReply(refused)).empty());
  EXPECT_EQ(controller.calls,
            (std::vector<std::string>{"offer 1 1048576", "range big 0 8 yz", "range gone 1 4 "}));
  controller.calls.clear();

  // Requests are the server's; a client reports them like a FileRequest.
  FileRangeRequest request;
  request.name = "big";
  for (const Bytes& packet : {buildRangeHello({}), buildFileRangeRequest(request)}) {
    EXPECT_EQ(run(kFileUpdateChannel, packet),
              std::vector<std::string>{LogCapture::error("???? client should not be receiving file requests")});
    expectCutsMalformed(kFileUpdateChannel, packet, 4);
  }
  expectCutsMalformed(kFileUpdateChannel, buildRangeOffer(offer), 4);
  expectCutsMalformed(kFileUpdateChannel, buildFileRangeReply(reply), 4);
  // Data past the packet or past the file's end, and a file of 4 GiB.
  Bytes longCount = buildFileRangeReply(reply);
  longCount.pop_back();
  expectMalformed(kFileUpdateChannel, longCount);
  reply.fileSize = 9;
  expectMalformed(kFileUpdateChannel, buildFileRangeReply(reply));
  reply.fileSize = uint64_t{1} << 32;
  expectMalformed(kFileUpdateChannel, buildFileRangeReply(reply));
  EXPECT_TRUE(controller.calls.empty());
}

TEST_F(Dispatch, TruncatedPacketsAreDroppedWithOneLine) {
  LobbyMessage1 m1;
  m1.message = "text";
  LobbyMessage5 m5;
  m5.entries = {{1, "one"}};
  m5.names = {"n"};
  LobbyMessage11 m11;
  m11.textA = "a";
  LobbyMessage12 m12;
  m12.texts = {"t"};
  LobbyMessage13 m13;
  m13.message = "m";
  expectCutsMalformed(kLobbyChannel, buildLobbyMessage1(m1), 4);
  expectCutsMalformed(kLobbyChannel, buildLobbyMessage5(m5), 4);
  expectCutsMalformed(kLobbyChannel, buildLobbyMessage6({}), 4);
  expectCutsMalformed(kLobbyChannel, buildLobbyMessage7({}), 4);
  expectCutsMalformed(kLobbyChannel, buildLobbyMessage8({}), 4);
  expectCutsMalformed(kLobbyChannel, buildLobbyMessage9({}), 4);
  expectCutsMalformed(kLobbyChannel, buildLobbyMessage11(m11), 4);
  expectCutsMalformed(kLobbyChannel, buildLobbyMessage12(m12), 4);
  expectCutsMalformed(kLobbyChannel, buildLobbyMessage13(m13), 4);
  expectCutsMalformed(kLobbyChannel, buildLobbyMessage14({}), 4);
  // Framed packets without a whole type word, on every framed channel.
  for (uint8_t channel : {kLobbyChannel, kIngameChannel, kFeedbackChannel, kFeedback2Channel,
                          kFileUpdateChannel}) {
    expectCutsMalformed(channel, Bytes{1, 0, 0, 0});
  }
  IngameMessage8 blobs;
  blobs.first = {1, 2};
  expectCutsMalformed(kIngameChannel, buildIngameMessage3({}), 4);
  expectCutsMalformed(kIngameChannel, buildIngameMessage8(blobs), 4);
  expectMalformed(kIngameChannel, Bytes{8, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2});
  Feedback2Message1 second;
  second.textC = "c";
  Feedback2Message2 list;
  list.texts = {"a"};
  FeedbackMessage2 feedback;
  feedback.message = "f";
  expectCutsMalformed(kFeedbackChannel, buildFeedbackMessage2(feedback), 4);
  expectCutsMalformed(kFeedback2Channel, buildFeedback2Message1(second), 4);
  expectCutsMalformed(kFeedback2Channel, buildFeedback2Message2(list), 4);
  expectCutsMalformed(kFileUpdateChannel, buildManifestRequest(), 4);
  expectCutsMalformed(kFileUpdateChannel, buildFileRequest("name"), 4);
  expectCutsMalformed(kFileUpdateChannel, buildFileReply("name", Bytes{1, 2, 3}), 4);
  expectCutsMalformed(kTextChannel, Bytes{'a', 'b', 0});
  expectCutsMalformed(kRecordChannel, Bytes(12, 0));
  RecordMessage record;
  record.message = "x";
  expectCutsMalformed(kRecordChannel, buildRecordMessage(record), 13);
  EXPECT_TRUE(controller.calls.empty());
  EXPECT_TRUE(client.ingameBlob.empty());
}

TEST(DispatchDefaults, ControllerThatOverridesNothingTakesEverything) {
  ClientController idle;
  NetworkClient client;
  client.controller = &idle;
  LogCapture log;
  dispatch(client, kLobbyChannel, buildLobbyMessage1({}));
  dispatch(client, kTextChannel, buildTextMessage("t"));
  dispatch(client, kIngameChannel, buildIngameMessage1());
  dispatch(client, kRecordChannel, buildRecordMessage({}));
  dispatch(client, kFeedbackChannel, buildFeedbackMessage2({}));
  dispatch(client, kFeedback2Channel, buildFeedback2Message2({}));
  dispatch(client, kFileUpdateChannel, buildFileReply("f", Bytes{1}));
  idle.onDisconnected();
  EXPECT_TRUE(log.records().empty());
}

TEST(DispatchDefaults, WithoutAControllerMessagesAreDropped) {
  NetworkClient client;
  LogCapture log;
  dispatch(client, kFileUpdateChannel, buildFileReply("f", Bytes{1}));
  dispatch(client, kLobbyChannel, buildLobbyMessage13({}));
  EXPECT_TRUE(log.records().empty());
  dispatch(client, kLobbyChannel, Bytes{3, 0, 0, 0});
  EXPECT_EQ(log.count(LogCapture::error("|||| Unknown lobby message 3. Nothing to do with it")), 1);
}

}  // namespace
}  // namespace quor
