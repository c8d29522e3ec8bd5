// The update client's controller: keeps every file reply of the server
// until the update run collects it. Every other message is ignored.
//
// onFileReply is called on the network thread and takeReceivedFile on the
// update run's thread, at the same time; the table between them is locked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "base/encoding.h"
#include "base/mutex.h"
#include "net/client_controller.h"

namespace quor {

struct ReceivedFile {
  uint32_t size = 0;
  // A copy of the content; none only when the copy could not be allocated.
  std::optional<Bytes> data;
};

class FileUpdateController : public ClientController {
 public:
  // Stores a copy of the content under path, replacing an entry of the
  // same name. A reply with no content is stored too, after one
  // "failed to fetch: " + path error line. A reply of a new name while
  // kMaxWaitingReplies others wait is dropped with an error line: the update
  // run never has more than a dozen requests open, so only a misbehaving
  // server sends more, and each can be large.
  void onFileReply(std::string path, uint32_t size, const uint8_t* content) override
      EXCLUDES(receivedLock);
  static constexpr size_t kMaxWaitingReplies = 16;

  // The reply stored under name, removed from the table; nothing when no
  // such reply has arrived.
  std::optional<ReceivedFile> takeReceivedFile(const std::string& name) EXCLUDES(receivedLock);

 private:
  // Held only for one table operation; copies are made outside it.
  Mutex receivedLock;
  std::unordered_map<std::string, ReceivedFile> receivedFiles GUARDED_BY(receivedLock);
};

}  // namespace quor
