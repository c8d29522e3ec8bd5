// Fetching one update data file in pieces, from a server that offers
// ranges, into its staging file (update/staging.h). Memory: the pieces in
// flight, kPiecesInFlight beyond the request pump's.
//
// Called from the update run's thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "update/file_update_controller.h"
#include "update/reply_wait.h"
#include "update/staging.h"

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

// Pieces of one file requested at once beyond the first: two for each
// connection the client may have open (kMaxServerConnections), so that a
// connection has its next piece queued at the server when one ends, and
// few enough that the pieces waiting in the controller (with the pump's
// first pieces, within its kMaxWaitingPieces) stay some MiB. At 50 ms,
// 13.0 to 13.5 MB/s against 12.8 with one for each connection.
inline constexpr uint32_t kPiecesInFlight = 32;

// First pieces of files the request pump keeps open at once: one for each
// connection the client may have open, so that a run of small files keeps
// more connections busy at a distance (measured at 50 ms: 9.8 MB/s against
// 9.5 with eleven, the limit for whole replies). Each brings at most one
// piece.
inline constexpr int32_t kFirstPiecesOpen = 16;
static_assert(kFirstPiecesOpen + kPiecesInFlight <= FileUpdateController::kMaxWaitingPieces,
              "the pieces a run asks for at once must fit the controller's table");

enum class FetchOutcome {
  kStaged,    // every piece is on disk
  kNoReply,   // a piece did not come in time: the caller gives up
  kNoSpace,   // the disk cannot hold the staging and the result (logged)
  kFailed,    // the staging could not be written (logged)
  kRefused,   // the server's file is not the size the signature gives (logged)
};

// Where the first request for name starts: the first piece a previous run
// did not leave on disk, or the last piece again when all are there, so
// that its reply tells whether the server still has the same file; 0 when
// nothing of it is staged.
uint64_t firstRequestOffset(const std::string& name, uint32_t pieceSize);

// Takes the reply to the first request (already sent, at firstOffset),
// keeps or restarts the staging according to the server file it names,
// checks the disk space, then requests the missing pieces in order,
// kPiecesInFlight at a time, and stages each as it comes. path is the game file the data stands for, for messages. With
// signedSize (a signed update), a server file of another size is refused
// after its first piece: nothing beyond the signed size is asked for.
FetchOutcome fetchPieces(FileUpdateController& controller, const ReplyWait& wait,
                         uint32_t pieceSize, const std::string& path, const std::string& name,
                         uint64_t firstOffset, StagedFile& staged,
                         std::optional<uint64_t> signedSize = std::nullopt);

}  // namespace quor
