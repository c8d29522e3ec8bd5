// The update client's controller: keeps every file reply and every piece
// of a file (a range reply) of the server until the update run collects
// it, and notes whether the server offers ranges. Every other message is
// ignored.
//
// The on... operations are called on the network thread, the take...
// and offeredPieceSize on the update run's thread, at the same time; the
// tables between them are locked.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/encoding.h"
#include "base/mutex.h"
#include "base/wake_signal.h"
#include "client/client_controller.h"
#include "update/fetch_ahead.h"
#include "update/progress_text.h"
#include "update/reply_wait.h"

namespace quor {

// The pieces the updater asks for: at most this much of what the server
// offers (1 MiB). One connection moves 64 KiB per round trip, so a 1 MiB
// piece took 0.9 s at 50 ms: a large file's first piece alone, which must
// come before the others are asked for, held the fetch that long, and the
// last pieces of a file ran on a few connections while the rest idled.
// Measured at 50 ms (64 MiB, half in 200 files, half in one): 9.8 MB/s
// with 1 MiB, 12.0 with 512 KiB, 12.8 with 256 KiB, 4.9 with 128 KiB (a
// file of 167 KB then needs two pieces, one round trip after the other).
// Staging made with another piece size is started afresh.
inline constexpr uint32_t kPieceSize = 256 * 1024;

// One piece of an update data file, as a range reply brought it; or the
// server's word that it has no such piece (status: the file is refused,
// or the offset lies beyond its end), with no data.
struct ReceivedPiece {
  uint64_t fileSize = 0;
  uint64_t fileVersion = 0;
  Bytes data;
  uint32_t status = kRangeStatusOk;
};

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

  // The server's offer of ranges; the update run looks after the manifest
  // has come, which the server answers after the offer.
  void onRangeOffer(const RangeOffer& offer) override EXCLUDES(receivedLock);
  // The largest piece the server sends, once it has offered ranges.
  std::optional<uint32_t> offeredPieceSize() EXCLUDES(receivedLock);

  // Stores a copy of a piece under its name and offset. A refusal (no
  // such file, or an offset beyond its end) logs "failed to fetch: " +
  // name and is stored as a piece without data, so that the run learns at
  // once that its request cannot be answered. Pieces beyond
  // kMaxWaitingPieces are dropped with an error line: the run never asks
  // for that many at once. A piece longer than kPieceSize, which the run
  // never asks for, is stored without its data (an error line), so that
  // the run fails its file at once; the table thus holds at most
  // kMaxWaitingPieces * kPieceSize bytes of data. The first piece of a
  // small file may ask for the rest of it ahead of the run (askAheadFor).
  void onFileRangeReply(const FileRangeReply& reply) override EXCLUDES(receivedLock);
  static constexpr size_t kMaxWaitingPieces = 96;
  std::optional<ReceivedPiece> takePiece(const std::string& name, uint64_t offset)
      EXCLUDES(receivedLock);

  // From now on the first piece of one of names (at offset 0) asks for the
  // rest of its file at once through request, on the network thread, when
  // the file has at most maxFileSize bytes (update/fetch_ahead.h). request
  // sends a range request and is false when it could not, or must not yet
  // (the download cap); what it could not ask for, the run asks for itself.
  using RangeRequester =
      std::function<bool(const std::string& name, uint64_t offset, uint32_t length)>;
  void askAheadFor(std::unordered_set<std::string> names, uint32_t pieceSize,
                   uint64_t maxFileSize, RangeRequester request) EXCLUDES(receivedLock);
  // The offsets asked ahead for name, which the run now waits for as for
  // its own requests.
  std::vector<uint64_t> claimAskedAhead(const std::string& name) EXCLUDES(receivedLock);
  // The run is done with name: the pieces of it that wait are dropped, and
  // so are those asked ahead and unclaimed when they come.
  void forgetPiecesOf(const std::string& name) EXCLUDES(receivedLock);

  // First pieces the request pump has asked for that have not come yet (a
  // refusal counts as come). The pump bounds these as well as the files
  // open, so that a connection whose first piece has come is given the
  // next file at once rather than when the run is done with the file.
  // came is called on the network thread each time one comes, under the
  // controller's lock (it must not call the controller); the run sets it
  // before its pump starts and clears it after, which also forgets what is
  // still awaited, and no call of the old one runs once it returns.
  void expectFirstPiece(const std::string& name, uint64_t offset) EXCLUDES(receivedLock);
  size_t firstPiecesOnTheirWay() EXCLUDES(receivedLock);
  void onFirstPieceCame(std::function<void()> came) EXCLUDES(receivedLock);

  // Waiting for replies and pieces (see awaitTaken below): read
  // arrivalCount() before looking with take..., then awaitArrival returns
  // as soon as something has been stored since, or after limit.
  uint64_t arrivalCount() { return arrivals_.generation(); }
  void awaitArrival(uint64_t seen, std::chrono::milliseconds limit) {
    arrivals_.waitFor(seen, limit);
  }
  // The last connection is lost: a waiting run wakes at once and sees it
  // through its wait's serverGone.
  void onDisconnected() override { arrivals_.notify(); }

  // Sizes of the named update data files, learnt from their replies (a
  // piece carries its file's size, a whole reply is its size), for the
  // progress shown on a terminal. Only the names given here are tallied,
  // so no server can grow the table; a later call replaces the names.
  void watchSizesOf(const std::vector<std::string>& names) EXCLUDES(receivedLock);
  FileSizeTally knownSizes() EXCLUDES(receivedLock);

 private:
  void noteSize(const std::string& name, uint64_t size) REQUIRES(receivedLock);
  void askAhead(const FileRangeReply& reply) EXCLUDES(receivedLock);
  void noteFirstPiece(const FileRangeReply& reply) EXCLUDES(receivedLock);

  // Held only for one table operation; copies are made outside it.
  Mutex receivedLock;
  std::unordered_map<std::string, ReceivedFile> receivedFiles GUARDED_BY(receivedLock);
  // Keyed by name + "@" + offset.
  std::unordered_map<std::string, ReceivedPiece> receivedPieces GUARDED_BY(receivedLock);
  std::optional<uint32_t> pieceSize GUARDED_BY(receivedLock);
  // Watched name -> its size once a reply told it.
  std::unordered_map<std::string, std::optional<uint64_t>> watchedSizes GUARDED_BY(receivedLock);
  FileSizeTally sizeTally GUARDED_BY(receivedLock);
  FetchAhead fetchAhead GUARDED_BY(receivedLock);
  RangeRequester requestRange GUARDED_BY(receivedLock);
  std::unordered_set<std::string> firstPiecesAwaited GUARDED_BY(receivedLock);  // pieceKey
  std::function<void()> firstPieceCame GUARDED_BY(receivedLock);
  WakeSignal arrivals_;  // notified after each reply or piece is stored
};

// Calls take (which looks in controller's tables) until it yields
// something or wait's clock runs out. Between looks it sleeps until
// something is stored or the server is lost, and at most 50 ms: the
// clock counts seconds, and a waiting updater should not wake hundreds of
// times a second for nothing.
template <typename Take>
auto awaitTaken(FileUpdateController& controller, const ReplyWait& wait, Take take)
    -> decltype(take()) {
  using Clock = std::chrono::steady_clock;
  ReplyWaitClock clock(wait, Clock::now());
  for (;;) {
    uint64_t seen = controller.arrivalCount();
    if (auto taken = take()) return taken;
    if (clock.expired(Clock::now())) return std::nullopt;
    controller.awaitArrival(seen, std::chrono::milliseconds(50));
  }
}

}  // namespace quor
