// g++ 12 reports moving an optional that holds an optional vector as "may
// be used uninitialized" (a known false positive whose place moves with the
// build flags); nothing here reads an uninitialized value.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "update/file_update_controller.h"

#include <new>
#include <utility>

#include "dataset/layout.h"
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

std::string pieceKey(const std::string& name, uint64_t offset) {
  return name + "@" + std::to_string(offset);
}

}  // namespace

void FileUpdateController::onFileReply(std::string path, uint32_t size, const uint8_t* content) {
  // A missing signature file is the update run's one refusal line.
  if (size == 0 && path != kSignatureFileName) logError("failed to fetch: " + path);
  ReceivedFile file{size, copyContent(content, size)};
  {
    MutexLock lock(&receivedLock);
    if (size != 0) noteSize(path, size);
    if (receivedFiles.size() < kMaxWaitingReplies || receivedFiles.contains(path)) {
      receivedFiles.insert_or_assign(std::move(path), std::move(file));
      arrivals_.notify();
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

void FileUpdateController::onRangeOffer(const RangeOffer& offer) {
  MutexLock lock(&receivedLock);
  pieceSize = offer.maxPieceSize;
}

std::optional<uint32_t> FileUpdateController::offeredPieceSize() {
  MutexLock lock(&receivedLock);
  return pieceSize;
}

void FileUpdateController::onFileRangeReply(const FileRangeReply& reply) {
  noteFirstPiece(reply);
  bool refused = reply.status != kRangeStatusOk;
  // A busy server is asked again (update/piece_fetch.h): no failure yet.
  if (refused && reply.status != kRangeStatusBusy) logError("failed to fetch: " + reply.name);
  {
    MutexLock lock(&receivedLock);
    if (fetchAhead.dropsArrival(reply.name, reply.offset)) return;
  }
  // Asked before the piece is stored: the run claims what was asked ahead
  // only once it has taken the piece.
  if (!refused) askAhead(reply);
  std::string key = pieceKey(reply.name, reply.offset);
  ReceivedPiece piece{reply.fileSize, reply.fileVersion, {}, reply.status};
  try {
    if (refused) {
      piece.fileSize = 0;
    } else if (reply.data.size() <= kPieceSize) {
      piece.data.assign(reply.data.begin(), reply.data.end());
    } else {
      logError("a piece longer than asked for, its data dropped: " + key);
    }
  } catch (const std::bad_alloc&) {
    logError("out of memory, dropped a piece of " + reply.name);
    return;
  }
  {
    MutexLock lock(&receivedLock);
    if (!refused) noteSize(reply.name, reply.fileSize);
    if (receivedPieces.size() < kMaxWaitingPieces || receivedPieces.contains(key)) {
      receivedPieces.insert_or_assign(std::move(key), std::move(piece));
      arrivals_.notify();
      return;
    }
  }
  logError("too many pieces waiting, dropped: " + key);
}

// came is called under the lock, so that once onFirstPieceCame has
// replaced it, no call of the old one is still running.
void FileUpdateController::noteFirstPiece(const FileRangeReply& reply) {
  MutexLock lock(&receivedLock);
  if (firstPiecesAwaited.erase(pieceKey(reply.name, reply.offset)) != 0 && firstPieceCame) {
    firstPieceCame();
  }
}

void FileUpdateController::expectFirstPiece(const std::string& name, uint64_t offset) {
  MutexLock lock(&receivedLock);
  firstPiecesAwaited.insert(pieceKey(name, offset));
}

size_t FileUpdateController::firstPiecesOnTheirWay() {
  MutexLock lock(&receivedLock);
  return firstPiecesAwaited.size();
}

void FileUpdateController::onFirstPieceCame(std::function<void()> came) {
  MutexLock lock(&receivedLock);
  firstPieceCame = std::move(came);
  firstPiecesAwaited.clear();
}

std::optional<ReceivedPiece> FileUpdateController::takePiece(const std::string& name,
                                                             uint64_t offset) {
  MutexLock lock(&receivedLock);
  auto found = receivedPieces.find(pieceKey(name, offset));
  if (found == receivedPieces.end()) return std::nullopt;
  std::optional<ReceivedPiece> taken(std::move(found->second));
  receivedPieces.erase(found);
  return taken;
}

void FileUpdateController::askAhead(const FileRangeReply& reply) {
  std::vector<uint64_t> wanted;
  RangeRequester request;
  uint32_t length = 0;
  {
    MutexLock lock(&receivedLock);
    wanted = fetchAhead.wanted(reply.name, reply.offset, reply.fileSize);
    if (wanted.empty()) return;
    request = requestRange;
    length = fetchAhead.pieceSize();
  }
  // Sent without the lock, which the run's takes must not wait behind.
  // Only this thread adds to what is asked ahead, so the room wanted saw
  // is still there.
  size_t asked = 0;
  while (asked < wanted.size() && request && request(reply.name, wanted[asked], length)) ++asked;
  wanted.resize(asked);
  MutexLock lock(&receivedLock);
  fetchAhead.noteAsked(reply.name, wanted);
}

void FileUpdateController::askAheadFor(std::unordered_set<std::string> names, uint32_t pieceSize,
                                       uint64_t maxFileSize, RangeRequester request) {
  MutexLock lock(&receivedLock);
  fetchAhead.arm(std::move(names), pieceSize, maxFileSize);
  requestRange = std::move(request);
}

std::vector<uint64_t> FileUpdateController::claimAskedAhead(const std::string& name) {
  MutexLock lock(&receivedLock);
  return fetchAhead.claim(name);
}

void FileUpdateController::forgetPiecesOf(const std::string& name) {
  std::string prefix = name + "@";
  MutexLock lock(&receivedLock);
  fetchAhead.forget(name, [&](uint64_t offset) REQUIRES(receivedLock) {
    return receivedPieces.contains(pieceKey(name, offset));
  });
  std::erase_if(receivedPieces,
                [&prefix](const auto& entry) { return entry.first.starts_with(prefix); });
  // A first piece no longer awaited makes room for the pump, which must
  // hear of it as it hears of one that came.
  size_t forgotten = std::erase_if(
      firstPiecesAwaited, [&prefix](const std::string& key) { return key.starts_with(prefix); });
  if (forgotten != 0 && firstPieceCame) firstPieceCame();
}

void FileUpdateController::watchSizesOf(const std::vector<std::string>& names) {
  MutexLock lock(&receivedLock);
  watchedSizes.clear();
  sizeTally = {};
  for (const std::string& name : names) watchedSizes.emplace(name, std::nullopt);
}

FileSizeTally FileUpdateController::knownSizes() {
  MutexLock lock(&receivedLock);
  return sizeTally;
}

void FileUpdateController::noteSize(const std::string& name, uint64_t size) {
  auto found = watchedSizes.find(name);
  if (found == watchedSizes.end() || found->second) return;
  found->second = size;
  ++sizeTally.filesKnown;
  sizeTally.bytesKnown += size;
}

}  // namespace quor
