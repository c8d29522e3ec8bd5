// Fetching one update data file in pieces, from a server that offers
// ranges, into its staging file (update/staging.h), or into memory when it
// is small. Memory: the pieces in flight, kPiecesInFlight beyond the
// request pump's and the kAheadPieces asked ahead (update/fetch_ahead.h),
// and a small file's kInMemoryDataBytes at most.
//
// Called from the update run's thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "update/file_update_controller.h"
#include "update/reply_wait.h"
#include "update/staging.h"
#include "update/update_source.h"

namespace quor {

// Pieces of one file requested at once beyond the first: two for each
// connection the client may have open (kMaxServerConnections), so that a
// connection has its next piece queued at the server when one ends, and
// few enough that the pieces waiting in the controller (with the pump's
// first pieces, within its kMaxWaitingPieces) stay some MiB. At 50 ms,
// 13.0 to 13.5 MB/s against 12.8 with one for each connection.
inline constexpr uint32_t kPiecesInFlight = 32;

// First pieces the request pump keeps on their way at once: one for each
// connection the client may have open, so that a run of small files keeps
// every connection busy at a distance. More would queue a small file's
// rest behind another file's first piece on its connection, and the run
// would wait with it (32: 12.2 MB/s at 50 ms against 15.7).
inline constexpr int32_t kFirstPiecesOpen = 16;
// Files the pump keeps open at once, their first pieces come or on their
// way: a connection whose first piece has come is given the next file at
// once, not a round trip or two later when the run is done with the file
// (at 50 ms on a 100 Mbit/s line: 11.4 MB/s against 10.0 with the files
// open bound to the first pieces). Each file holds at most one piece
// until the run reaches it.
inline constexpr int32_t kFilesOpen = 32;
static_assert(kFilesOpen + kPiecesInFlight + kAheadPieces <=
                  FileUpdateController::kMaxWaitingPieces,
              "the pieces a run asks for at once must fit the controller's table");

// Update data of at most this many bytes is collected in memory and
// applied as a whole reply is, with no staging on disk: for a file of a
// few pieces the staging's files cost more than its transfer, and a cut
// costs a refetch of seconds at most even on a slow line. On loopback,
// 32 MiB in 200 files and one file of 32 MiB installed at 160 to 193 MB/s
// against 139 to 152 with every file staged.
inline constexpr uint64_t kInMemoryDataBytes = 1u << 20;

enum class FetchOutcome {
  kStaged,    // every piece is on disk, or in memory
  kNoReply,   // a piece did not come in time: the caller gives up
  kNoSpace,   // the disk cannot hold the staging and the result (logged)
  kFailed,    // the pieces could not be stored (logged)
};

// Where the first request for name starts: the first piece a previous run
// did not leave on disk, or the last piece again when all are there, so
// that its reply tells whether the server still has the same file; 0 when
// nothing of it is staged.
uint64_t firstRequestOffset(const std::string& name, uint32_t pieceSize);

// The reply to the first request for name (already sent, at firstOffset,
// for pieceSize bytes); none when it did not come before the wait's clock
// ran out. Here and for every later piece, a server too busy to take the
// request in (kRangeStatusBusy) is asked again after a short pause.
std::optional<ReceivedPiece> awaitFirstPiece(FileUpdateController& controller,
                                             UpdateSource& source, const ReplyWait& wait,
                                             const std::string& name, uint64_t firstOffset,
                                             uint32_t pieceSize);

// Whether the file that first (the reply at firstOffset) belongs to is
// collected in memory rather than staged. Pieces below kMinPieceSize go
// to the staging, which refuses them.
bool collectsInMemory(const ReceivedPiece& first, uint64_t firstOffset, uint32_t pieceSize);

// For a file that collectsInMemory: requests the pieces after first that
// were not asked for ahead (FileUpdateController::askAheadFor),
// kPiecesInFlight at a time, and puts them together in *whole.
FetchOutcome collectPieces(FileUpdateController& controller, UpdateSource& source,
                           const ReplyWait& wait, uint32_t pieceSize, const std::string& name,
                           ReceivedPiece first, Bytes* whole);

// Whether the game folder's disk holds needed more bytes and a margin of
// some MiB beyond them; when not, or when the free space cannot be told,
// false with the line that says so (to update path).
bool enoughSpaceFor(uint64_t needed, const std::string& path);
// The length of the game file the first bytes of update data announce:
// a container's uncompressed length (a bound on the game file it turns
// into), a zstd frame's content size, a split patch's new length; 0 when
// the header is shorter than one or does not say.
uint64_t announcedResultSize(const uint8_t* header, size_t size);
// The same for the staged file's first bytes (a patch body holds at least
// one byte per byte of the new file, so a container's bounds the result).
uint64_t announcedResultSize(const StagedFile& staged);

// Stages first (the reply at firstOffset), keeping or restarting the
// staging according to the server file it names, checks the disk space,
// then requests the missing pieces in order, kPiecesInFlight at a time,
// and stages each as it comes. path is the game file the data stands for,
// for messages.
FetchOutcome fetchPieces(FileUpdateController& controller, UpdateSource& source,
                         const ReplyWait& wait, uint32_t pieceSize, const std::string& path,
                         const std::string& name, uint64_t firstOffset, ReceivedPiece first,
                         StagedFile& staged);

}  // namespace quor
