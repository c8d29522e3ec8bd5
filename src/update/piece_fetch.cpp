#include "update/piece_fetch.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

#include "base/encoding.h"
#include "log/log.h"
#include "net/network_client.h"
#include "platform/native_path.h"
#include "platform/sleep.h"

namespace quor {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPollPauseMs = 2;
// A container's header: tag, compressed and uncompressed length.
constexpr size_t kContainerHeaderSize = 40;
constexpr size_t kUncompressedLengthAt = 36;

// Waits for the piece of name at offset until it arrives or the wait's
// clock runs out.
std::optional<ReceivedPiece> awaitPiece(FileUpdateController& controller, const ReplyWait& wait,
                                        const std::string& name, uint64_t offset) {
  ReplyWaitClock clock(wait, Clock::now());
  for (;;) {
    uint64_t seen = controller.arrivalCount();
    std::optional<ReceivedPiece> piece = controller.takePiece(name, offset);
    if (piece) return piece;
    if (clock.expired(Clock::now())) return std::nullopt;
    controller.awaitArrival(seen, std::chrono::milliseconds(kPollPauseMs));
  }
}

// Waits until a request that may bring weight bytes keeps within the
// download cap, or the wait's clock runs out.
void awaitAllowance(const ReplyWait& wait, uint64_t weight) {
  ReplyWaitClock clock(wait, Clock::now());
  while (!requestAllowed(weight) && !clock.expired(Clock::now())) sleepMs(kPollPauseMs);
}

// The uncompressed length the staged container announces: a bound on the
// game file it turns into (a patch body holds at least one byte per byte
// of the new file).
uint64_t announcedResultSize(const StagedFile& staged) {
  uint8_t header[kContainerHeaderSize];
  FILE* part = openFile(staged.partPath(), "rb");
  if (part == nullptr) return 0;
  size_t read = std::fread(header, 1, sizeof header, part);
  std::fclose(part);
  if (read != sizeof header) return 0;
  return ByteReader(header, sizeof header, kUncompressedLengthAt).u32();
}

bool enoughSpace(const StagedFile& staged, const std::string& path) {
  uint64_t needed = staged.fileSize() - staged.stagedBytes() + announcedResultSize(staged);
  std::error_code ec;
  std::filesystem::space_info space = std::filesystem::space(toNativePath("./"), ec);
  if (ec || space.available >= needed) return true;
  logError("not enough disk space to update " + path + ": " + std::to_string(needed) +
           " bytes needed, " + std::to_string(space.available) + " free; nothing was replaced");
  return false;
}

// Takes up the staging a previous run left when it holds the same server
// file as the piece, else starts afresh.
Status adopt(StagedFile& staged, const ReceivedPiece& piece, uint32_t pieceSize) {
  if (!staged.started()) staged.loadPrevious();
  if (staged.matches(piece.fileSize, piece.fileVersion, pieceSize)) return {};
  return staged.start(piece.fileSize, piece.fileVersion, pieceSize);
}

Status stage(StagedFile& staged, uint64_t offset, const ReceivedPiece& piece) {
  return staged.writePiece(offset, piece.data.data(), piece.data.size());
}

}  // namespace

uint64_t firstRequestOffset(const std::string& name, uint32_t pieceSize) {
  StagedFile staged(name);
  if (!staged.loadPrevious() || staged.pieceSize() != pieceSize || staged.pieceCount() == 0) {
    return 0;
  }
  uint32_t missing = staged.firstMissing();
  if (missing == staged.pieceCount()) missing = staged.pieceCount() - 1;
  return staged.pieceOffset(missing);
}

FetchOutcome fetchPieces(FileUpdateController& controller, const ReplyWait& wait,
                         uint32_t pieceSize, const std::string& path, const std::string& name,
                         uint64_t firstOffset, StagedFile& staged,
                         std::optional<uint64_t> signedSize) {
  std::optional<ReceivedPiece> first = awaitPiece(controller, wait, name, firstOffset);
  if (!first) return FetchOutcome::kNoReply;
  if (signedSize && first->fileSize != *signedSize) {
    logError(name + " has " + std::to_string(first->fileSize) + " bytes, manifest.sig says " +
             std::to_string(*signedSize));
    return FetchOutcome::kRefused;
  }
  Status status = adopt(staged, *first, pieceSize);
  if (status.ok()) status = stage(staged, firstOffset, *first);
  if (!status.ok()) {
    logError(status.message());
    return FetchOutcome::kFailed;
  }
  first.reset();
  if (!enoughSpace(staged, path)) return FetchOutcome::kNoSpace;

  // Requests run ahead of the piece awaited by up to kPiecesInFlight, as
  // far as the download cap lets them; the awaited piece itself waits for
  // the cap (a bounded wait) and is then asked for.
  uint32_t next = staged.firstMissing();
  uint32_t requested = next;
  while (next < staged.pieceCount()) {
    while (requested < staged.pieceCount() && requested < next + kPiecesInFlight) {
      bool awaited = requested <= next;
      if (!awaited && !requestAllowed(pieceSize)) break;
      if (!staged.has(requested)) {
        if (awaited) awaitAllowance(wait, pieceSize);
        sendFileRangeRequest(name, staged.pieceOffset(requested), pieceSize);
      }
      ++requested;
    }
    std::optional<ReceivedPiece> piece =
        awaitPiece(controller, wait, name, staged.pieceOffset(next));
    if (!piece) return FetchOutcome::kNoReply;
    if (!staged.matches(piece->fileSize, piece->fileVersion, pieceSize)) {
      // Republished while we fetched it: the run starts again from a new
      // manifest, and this staging goes then.
      logError("the server's copy changed during the download: " + name);
      return FetchOutcome::kNoReply;
    }
    status = stage(staged, staged.pieceOffset(next), *piece);
    if (!status.ok()) {
      logError(status.message());
      return FetchOutcome::kFailed;
    }
    next = staged.firstMissing(next);
  }
  return FetchOutcome::kStaged;
}

}  // namespace quor
