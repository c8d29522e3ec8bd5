#include "client/dispatch.h"

#include <utility>

#include "log/log.h"

namespace quor {
namespace {

constexpr const char* kUnknownSuffix = ". Nothing to do with it";

// The client has one peer, its server: the line itself is its kind.
void logStray(const std::string& line) { logRepeatableError(line, line); }

void logUnknown(const char* prefix, uint32_t number) {
  logStray(prefix + decimalText(number) + kUnknownSuffix);
}

void logMalformed(uint8_t channel) {
  logStray("|||| Malformed packet on channel " + decimalText(uint32_t{channel}) + ". Dropped");
}

// The controller that receives everything when none is registered.
ClientController& controllerOf(NetworkClient& client) {
  static ClientController ignoreAll;
  return client.controller != nullptr ? *client.controller : ignoreAll;
}

// Records handed over by pointer live here for the duration of the call.
template <typename Record>
void handOver(ClientController& controller, void (ClientController::*operation)(Record*),
              std::optional<Record> record, uint8_t channel) {
  if (!record) {
    logMalformed(channel);
    return;
  }
  (controller.*operation)(&*record);
}

void dispatchLobby(ClientController& c, uint32_t type, ByteSpan packet) {
  switch (type) {
    case kLobbyType1:
      return handOver(c, &ClientController::onLobbyMessage1, decodeLobbyMessage1(packet), kLobbyChannel);
    case kLobbyType5:
      return handOver(c, &ClientController::onLobbyMessage5, decodeLobbyMessage5(packet), kLobbyChannel);
    case kLobbyType6:
      return handOver(c, &ClientController::onLobbyMessage6, decodeLobbyMessage6(packet), kLobbyChannel);
    case kLobbyType7:
      return handOver(c, &ClientController::onLobbyMessage7, decodeLobbyMessage7(packet), kLobbyChannel);
    case kLobbyType8:
      return handOver(c, &ClientController::onLobbyMessage8, decodeLobbyMessage8(packet), kLobbyChannel);
    case kLobbyType9:
      return handOver(c, &ClientController::onLobbyMessage9, decodeLobbyMessage9(packet), kLobbyChannel);
    case kLobbyType11:
      return handOver(c, &ClientController::onLobbyMessage11, decodeLobbyMessage11(packet), kLobbyChannel);
    case kLobbyType12:
      return handOver(c, &ClientController::onLobbyMessage12, decodeLobbyMessage12(packet), kLobbyChannel);
    case kLobbyType13:
      return handOver(c, &ClientController::onLobbyMessage13, decodeLobbyMessage13(packet), kLobbyChannel);
    case kLobbyType14:
      return handOver(c, &ClientController::onLobbyMessage14, decodeLobbyMessage14(packet), kLobbyChannel);
    default:
      return logUnknown("|||| Unknown lobby message ", type);
  }
}

// The network client keeps the first blob of the latest IngameMessage8.
void keepIngameBlob(NetworkClient& client, ByteSpan packet) {
  std::optional<IngameMessage8> message = decodeIngameMessage8(packet);
  if (!message) return logMalformed(kIngameChannel);
  client.ingameBlob = std::move(message->first);
  client.ingameBlobLength = static_cast<uint32_t>(client.ingameBlob.size());
}

void dispatchIngame(NetworkClient& client, ClientController& c, uint32_t type, ByteSpan packet) {
  switch (type) {
    case kIngameType1:
      return c.onIngameMessage1();
    case kIngameType2:
      return c.onIngameMessage2();
    case kIngameType3:
      return handOver(c, &ClientController::onIngameMessage3, decodeIngameMessage3(packet), kIngameChannel);
    case kIngameType8:
      return keepIngameBlob(client, packet);
    default:
      return logUnknown("|||| Unknown ingame message ", type);
  }
}

void dispatchFeedback(ClientController& c, uint32_t type, ByteSpan packet) {
  if (type != kFeedbackType2) return logUnknown("|||| Unknown feedback message ", type);
  std::optional<FeedbackMessage2> message = decodeFeedbackMessage2(packet);
  if (!message) return logMalformed(kFeedbackChannel);
  c.onFeedbackText(std::move(message->message));
}

void dispatchFeedback2(ClientController& c, uint32_t type, ByteSpan packet) {
  if (type == kFeedback2Type1) {
    std::optional<Feedback2Message1> message = decodeFeedback2Message1(packet);
    if (!message) return logMalformed(kFeedback2Channel);
    return c.onFeedback2Text(std::move(message->textC));
  }
  if (type == kFeedback2Type2) {
    std::optional<Feedback2Message2> message = decodeFeedback2Message2(packet);
    if (!message) return logMalformed(kFeedback2Channel);
    return c.onFeedback2List(std::move(message->texts));
  }
  logUnknown("|||| Unknown feedback message ", type);
}

void dispatchFileUpdate(ClientController& c, uint32_t type, ByteSpan packet) {
  switch (type) {
    case kManifestRequestType:
      if (!decodeManifestRequest(packet)) return logMalformed(kFileUpdateChannel);
      return logStray("???? client should not be receiving manifest requests");
    case kFileRequestType:
      if (!decodeFileRequest(packet)) return logMalformed(kFileUpdateChannel);
      return logStray("???? client should not be receiving file requests");
    case kRangeHelloType:
      if (!decodeRangeHello(packet)) return logMalformed(kFileUpdateChannel);
      return logStray("???? client should not be receiving file requests");
    case kFileRangeRequestType:
      if (!decodeFileRangeRequest(packet)) return logMalformed(kFileUpdateChannel);
      return logStray("???? client should not be receiving file requests");
    case kRangeOfferType: {
      std::optional<RangeOffer> offer = decodeRangeOffer(packet);
      if (!offer) return logMalformed(kFileUpdateChannel);
      return c.onRangeOffer(*offer);
    }
    case kFileRangeReplyType: {
      std::optional<FileRangeReply> reply = decodeFileRangeReply(packet);
      if (!reply) return logMalformed(kFileUpdateChannel);
      return c.onFileRangeReply(*reply);
    }
    case kFileReplyType: {
      std::optional<FileReply> reply = decodeFileReply(packet);
      if (!reply) return logMalformed(kFileUpdateChannel);
      return c.onFileReply(reply->path, static_cast<uint32_t>(reply->content.size()),
                           reply->content.data());
    }
    default:
      return logUnknown("|||| Unknown file update message ", type);
  }
}

void dispatchText(ClientController& c, ByteSpan packet) {
  std::optional<std::string> text = decodeTextMessage(packet);
  if (!text) return logMalformed(kTextChannel);
  c.onText(std::move(*text));
}

void dispatchRecord(ClientController& c, ByteSpan packet) {
  std::optional<RecordMessage> record = decodeRecordMessage(packet);
  if (!record) return logMalformed(kRecordChannel);
  c.onRecord(*record);
}

}  // namespace

void dispatch(NetworkClient& client, uint8_t channel, ByteSpan packet) {
  ClientController& controller = controllerOf(client);
  if (channel == kTextChannel) return dispatchText(controller, packet);
  if (channel == kRecordChannel) return dispatchRecord(controller, packet);
  if (channel >= kChannelCount) {
    return logUnknown("|||| Packet from server on channel ", channel);
  }
  std::optional<uint32_t> type = readMessageType(packet);
  if (!type) return logMalformed(channel);
  switch (channel) {
    case kLobbyChannel:
      return dispatchLobby(controller, *type, packet);
    case kIngameChannel:
      return dispatchIngame(client, controller, *type, packet);
    case kFeedbackChannel:
      return dispatchFeedback(controller, *type, packet);
    case kFeedback2Channel:
      return dispatchFeedback2(controller, *type, packet);
    case kFileUpdateChannel:
      return dispatchFileUpdate(controller, *type, packet);
  }
}

}  // namespace quor
