#include "update/piece_fetch.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "base/encoding.h"
#include "container/zstd_stream.h"
#include "log/log.h"
#include "patch/split_patch.h"
#include "platform/native_path.h"
#include "platform/sleep.h"

namespace quor {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPollPauseMs = 2;
// A container's header: tag, compressed and uncompressed length.
constexpr size_t kContainerHeaderSize = 40;
constexpr size_t kUncompressedLengthAt = 36;

// A server too busy to take a request in says so; the same request goes
// again after this pause, and the wait for it goes on.
constexpr uint32_t kBusyPauseMs = 250;

// Waits for whichever piece of name at one of offsets comes first, until
// the wait's clock runs out; returns its offset and bytes.
std::optional<std::pair<uint64_t, ReceivedPiece>> awaitPiece(
    FileUpdateController& controller, UpdateSource& source, const ReplyWait& wait,
    const std::string& name, const std::vector<uint64_t>& offsets, uint32_t pieceSize) {
  return awaitTaken(controller, wait, [&]() -> std::optional<std::pair<uint64_t, ReceivedPiece>> {
    for (uint64_t offset : offsets) {
      std::optional<ReceivedPiece> piece = controller.takePiece(name, offset);
      if (piece && piece->status == kRangeStatusBusy) {
        sleepMs(kBusyPauseMs);
        source.requestRange(name, offset, pieceSize);
      } else if (piece) {
        return std::make_pair(offset, std::move(*piece));
      }
    }
    return std::nullopt;
  });
}

// Waits until a request that may bring weight bytes keeps within the
// download cap, or the wait's clock runs out.
void awaitAllowance(UpdateSource& source, const ReplyWait& wait, uint64_t weight) {
  ReplyWaitClock clock(wait, Clock::now());
  while (!source.mayRequest(weight) && !clock.expired(Clock::now())) sleepMs(kPollPauseMs);
}

// Room the disk keeps beyond what a file needs: the game, the system and
// the log go on writing while the run does.
constexpr uint64_t kDiskSpaceMargin = 16u << 20;

}  // namespace

bool enoughSpaceFor(uint64_t needed, const std::string& path) {
  std::error_code ec;
  std::filesystem::space_info space = std::filesystem::space(toNativePath("./"), ec);
  if (ec) {
    logError("cannot tell the free disk space to update " + path + ": " + ec.message() +
             "; nothing was replaced");
    return false;
  }
  if (space.available >= needed && space.available - needed >= kDiskSpaceMargin) return true;
  logError("not enough disk space to update " + path + ": " + std::to_string(needed) +
           " bytes needed, " + std::to_string(space.available) + " free; nothing was replaced");
  return false;
}

uint64_t announcedResultSize(const StagedFile& staged) {
  uint8_t header[kContainerHeaderSize];
  FILE* part = openFile(staged.partPath(), "rb");
  if (part == nullptr) return 0;
  size_t read = std::fread(header, 1, sizeof header, part);
  std::fclose(part);
  return announcedResultSize(header, read);
}

uint64_t announcedResultSize(const uint8_t* header, size_t size) {
  if (isZstdFrame(header, size)) return zstdContentSize(header, size);
  if (uint64_t newLength = splitPatchNewLength(header, size); newLength != 0) return newLength;
  if (size < kContainerHeaderSize) return 0;
  return ByteReader(header, size, kUncompressedLengthAt).u32();
}

namespace {

bool enoughSpace(const StagedFile& staged, const std::string& path) {
  uint64_t needed = staged.fileSize() - staged.stagedBytes() + announcedResultSize(staged);
  return enoughSpaceFor(needed, path);
}

// Takes up the staging a previous run left when it holds the same server
// file as the piece, else starts afresh.
Status adopt(StagedFile& staged, const ReceivedPiece& piece, uint32_t pieceSize) {
  if (!staged.started()) staged.loadPrevious();
  if (staged.matches(piece.fileSize, piece.fileVersion, pieceSize)) return {};
  return staged.start(piece.fileSize, piece.fileVersion, pieceSize);
}

// The pieces of a small file put together in memory, with the same rules
// as a staging: whole pieces at their offsets, of one server file.
class PiecesInMemory {
 public:
  PiecesInMemory(const ReceivedPiece& first, uint32_t pieceSize)
      : fileSize_(first.fileSize),
        fileVersion_(first.fileVersion),
        pieceSize_(pieceSize),
        have_(pieceCountOf(first.fileSize, pieceSize), false) {
    data_.resize(first.fileSize);
  }

  bool matches(uint64_t fileSize, uint64_t fileVersion, uint32_t pieceSize) const {
    return fileSize_ == fileSize && fileVersion_ == fileVersion && pieceSize_ == pieceSize;
  }
  uint32_t pieceCount() const { return static_cast<uint32_t>(have_.size()); }
  bool has(uint32_t piece) const { return have_[piece]; }
  uint64_t pieceOffset(uint32_t piece) const { return uint64_t(piece) * pieceSize_; }
  uint32_t firstMissing() const {
    return static_cast<uint32_t>(std::find(have_.begin(), have_.end(), false) - have_.begin());
  }
  bool complete() const { return firstMissing() == pieceCount(); }

  Status writePiece(uint64_t offset, const uint8_t* data, size_t size) {
    uint32_t piece = 0;
    Status checked = checkPiece(fileSize_, pieceSize_, offset, size, &piece);
    if (!checked.ok()) return checked;
    std::copy(data, data + size, data_.begin() + static_cast<ptrdiff_t>(offset));
    have_[piece] = true;
    return {};
  }

  Bytes take() { return std::move(data_); }

 private:
  uint64_t fileSize_;
  uint64_t fileVersion_;
  uint32_t pieceSize_;
  std::vector<bool> have_;
  Bytes data_;
};

// Requests the pieces pieces lacks, up to kPiecesInFlight at once and as
// far as the download cap lets them, and stores each as soon as it comes,
// in whatever order: waiting for the oldest first would leave every other
// connection idle while the one carrying it works through its queue. When
// none is open, the next one waits for the cap (a bounded wait) and is
// then asked for, so the fetch always moves on. open holds the offsets
// already asked for. Pieces is a StagedFile or PiecesInMemory.
template <typename Pieces>
FetchOutcome requestMissing(FileUpdateController& controller, UpdateSource& source,
                            const ReplyWait& wait, uint32_t pieceSize, const std::string& name,
                            Pieces& pieces, std::vector<uint64_t> open = {}) {
  uint32_t toRequest = pieces.firstMissing();
  for (;;) {
    while (open.size() < kPiecesInFlight && toRequest < pieces.pieceCount()) {
      if (!open.empty() && !source.mayRequest(pieceSize)) break;
      uint64_t offset = pieces.pieceOffset(toRequest);
      if (!pieces.has(toRequest) && std::find(open.begin(), open.end(), offset) == open.end()) {
        if (open.empty()) awaitAllowance(source, wait, pieceSize);
        source.requestRange(name, offset, pieceSize);
        open.push_back(offset);
      }
      ++toRequest;
    }
    if (open.empty()) break;
    std::optional<std::pair<uint64_t, ReceivedPiece>> arrived =
        awaitPiece(controller, source, wait, name, open, pieceSize);
    if (!arrived) return FetchOutcome::kNoReply;
    auto& [offset, piece] = *arrived;
    open.erase(std::find(open.begin(), open.end(), offset));
    if (piece.status != kRangeStatusOk ||
        !pieces.matches(piece.fileSize, piece.fileVersion, pieceSize)) {
      // Republished while we fetched it: the run starts again from a new
      // manifest, and this staging goes then.
      logError("the server's copy changed during the download: " + name);
      return FetchOutcome::kNoReply;
    }
    Status status = pieces.writePiece(offset, piece.data.data(), piece.data.size());
    if (!status.ok()) {
      logError(status.message());
      return FetchOutcome::kFailed;
    }
  }
  return pieces.complete() ? FetchOutcome::kStaged : FetchOutcome::kNoReply;
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

std::optional<ReceivedPiece> awaitFirstPiece(FileUpdateController& controller,
                                             UpdateSource& source, const ReplyWait& wait,
                                             const std::string& name, uint64_t firstOffset,
                                             uint32_t pieceSize) {
  std::optional<std::pair<uint64_t, ReceivedPiece>> arrived =
      awaitPiece(controller, source, wait, name, {firstOffset}, pieceSize);
  if (!arrived) return std::nullopt;
  return std::move(arrived->second);
}

bool collectsInMemory(const ReceivedPiece& first, uint64_t firstOffset, uint32_t pieceSize) {
  return firstOffset == 0 && first.fileSize <= kInMemoryDataBytes && pieceSize >= kMinPieceSize;
}

FetchOutcome collectPieces(FileUpdateController& controller, UpdateSource& source,
                           const ReplyWait& wait, uint32_t pieceSize, const std::string& name,
                           ReceivedPiece first, Bytes* whole) {
  PiecesInMemory pieces(first, pieceSize);
  Status status = pieces.writePiece(0, first.data.data(), first.data.size());
  if (!status.ok()) {
    logError(status.message());
    return FetchOutcome::kFailed;
  }
  first = {};
  FetchOutcome outcome = requestMissing(controller, source, wait, pieceSize, name, pieces,
                                        controller.claimAskedAhead(name));
  if (outcome == FetchOutcome::kStaged) *whole = pieces.take();
  return outcome;
}

FetchOutcome fetchPieces(FileUpdateController& controller, UpdateSource& source,
                         const ReplyWait& wait, uint32_t pieceSize, const std::string& path,
                         const std::string& name, uint64_t firstOffset, ReceivedPiece first,
                         StagedFile& staged) {
  Status status = adopt(staged, first, pieceSize);
  if (status.ok()) status = staged.writePiece(firstOffset, first.data.data(), first.data.size());
  if (!status.ok()) {
    logError(status.message());
    return FetchOutcome::kFailed;
  }
  first = {};
  if (!enoughSpace(staged, path)) return FetchOutcome::kNoSpace;
  return requestMissing(controller, source, wait, pieceSize, name, staged);
}

}  // namespace quor
