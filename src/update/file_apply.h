// Turns one received update data file into the game file it stands for:
// a patch is applied to the local file, a whole file decompressed. The
// result must have the manifest's checksum before it replaces anything.
// Both ways stream: the result goes to the target's temporary copy while
// its checksum is computed, through buffers of a few hundred KiB whatever
// the file's size, and the copy is moved into place only when it matches
// (and removed otherwise). Several threads may apply at once, each to a
// path of its own (update/apply_pool.h keeps two spellings of one name
// apart).
#pragma once

#include <cstdint>
#include <string>

#include "base/encoding.h"
#include "platform/crypto.h"

namespace quor {

enum class ApplyOutcome {
  kPatched,         // a patch was applied and the result written
  kWritten,         // a whole file was written
  kPatchUnusable,   // a patch was refused or gave other bytes; nothing written
  kRejected,        // a whole file that did not decode or verify: the sender's fault
  kNotWritten,      // the result could not be written here: the game folder's fault
};

// path: the manifest path (already checked to be safe); name: the update
// data name it was requested as, for messages; checksum: the manifest's.
// Writes are atomic. ./updater.exe is moved to "updater_old.exe" just
// before its fully written replacement takes its place, and moved back
// when that fails.
// With signedDigest (a signed update), the result must also have that
// SHA-256: "file does not match manifest.sig, not written: " otherwise.
ApplyOutcome applyReceivedFile(const std::string& path, const std::string& name,
                               uint32_t checksum, const Bytes& received,
                               const Sha256Digest* signedDigest = nullptr);

// The same for an update data file received into stagedPath, with the
// same outcomes and log lines; a staged file that cannot be read is not
// written, with a line that says why. The staged file is left as it is.
ApplyOutcome applyStagedFile(const std::string& path, const std::string& name, uint32_t checksum,
                             const std::string& stagedPath,
                             const Sha256Digest* signedDigest = nullptr);

// The memory applying the update data name holds beyond its buffers, for
// the apply pool's bound (update/apply_pool.h): a zstd frame's window (no
// more than the result, resultSize) and a patch-from's local file
// (localSize bytes). 0 for the classic files.
uint64_t applyMemory(const std::string& name, uint64_t resultSize, uint64_t localSize);

// At the program's start: removes the "updater_old.exe" that the last
// replacement left behind, or, when there is no "updater.exe" (the
// replacement was cut off between its two renames), puts it back.
void settleOldExecutable();

}  // namespace quor
