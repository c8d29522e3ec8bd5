// g++ 12 reports moving an optional that holds an optional vector as "may
// be used uninitialized" (a known false positive whose place moves with the
// build flags); nothing here reads an uninitialized value.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "update/file_update_controller.h"

#include <new>
#include <utility>

#include "log/log.h"

namespace quor {
namespace {

// The reply's bytes; none when memory for them cannot be had, which the
// update run reports when it takes the entry.
std::optional<Bytes> copyContent(const uint8_t* content, uint32_t size) {
  try {
    return Bytes(content, content + size);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace

void FileUpdateController::onFileReply(std::string path, uint32_t size, const uint8_t* content) {
  if (size == 0) logError("failed to fetch: " + path);
  ReceivedFile file{size, copyContent(content, size)};
  {
    MutexLock lock(&receivedLock);
    if (receivedFiles.size() < kMaxWaitingReplies || receivedFiles.contains(path)) {
      receivedFiles.insert_or_assign(std::move(path), std::move(file));
      return;
    }
  }
  logError("too many replies waiting, dropped: " + path);
}

std::optional<ReceivedFile> FileUpdateController::takeReceivedFile(const std::string& name) {
  MutexLock lock(&receivedLock);
  auto found = receivedFiles.find(name);
  if (found == receivedFiles.end()) return std::nullopt;
  std::optional<ReceivedFile> taken(std::move(found->second));
  receivedFiles.erase(found);
  return taken;
}

}  // namespace quor
