// The receiver of everything that arrives from the server. The dispatch
// (client/dispatch.h) decodes each packet and calls exactly one of these
// operations, always on the network thread. Every operation does nothing
// by default, so a controller overrides only what it acts on.
//
// Records passed by pointer belong to the dispatch and are destroyed when
// the operation returns. Texts, lists and RecordMessage are passed by value
// and belong to the operation. onFileReply's content pointer is valid only
// during the call; a controller that keeps the bytes copies them.
//
// The operations are declared in their fixed order; the destructor comes
// after the first twenty so it does not shift them, and later operations
// follow it. It is virtual because owners release a controller through
// this base.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/file_update_messages.h"
#include "protocol/passthrough_messages.h"

namespace quor {

class ClientController {
 public:
  virtual void onLobbyMessage1(LobbyMessage1*) {}
  virtual void onLobbyMessage11(LobbyMessage11*) {}
  virtual void onLobbyMessage12(LobbyMessage12*) {}
  virtual void onLobbyMessage6(LobbyMessage6*) {}
  virtual void onLobbyMessage5(LobbyMessage5*) {}
  virtual void onLobbyMessage13(LobbyMessage13*) {}
  virtual void onLobbyMessage7(LobbyMessage7*) {}
  virtual void onText(std::string) {}
  virtual void onLobbyMessage8(LobbyMessage8*) {}
  virtual void onLobbyMessage9(LobbyMessage9*) {}
  virtual void onLobbyMessage14(LobbyMessage14*) {}
  virtual void onRecord(RecordMessage) {}
  virtual void onIngameMessage3(IngameMessage3*) {}
  virtual void onIngameMessage1() {}
  virtual void onIngameMessage2() {}
  virtual void onFeedbackText(std::string) {}
  virtual void onFeedback2Text(std::string) {}
  virtual void onFeedback2List(std::vector<std::string>) {}
  virtual void onFileReply(std::string /*path*/, uint32_t /*size*/, const uint8_t* /*content*/) {}
  virtual void onDisconnected() {}

  virtual ~ClientController() = default;

  // Added after the destructor, so the slots above keep their places.
  // onFileRangeReply's data is valid only during the call, like
  // onFileReply's content.
  virtual void onRangeOffer(const RangeOffer&) {}
  virtual void onFileRangeReply(const FileRangeReply&) {}
};

}  // namespace quor
