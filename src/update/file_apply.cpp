#include "update/file_apply.h"

#include <cstdio>
#include <filesystem>

#include "base/memory_stream.h"
#include "container/container.h"
#include "dataset/layout.h"
#include "dataset/md5.h"
#include "fs/file_io.h"
#include "log/log.h"
#include "patch/patch.h"

namespace quor {
namespace {

bool matches(const Bytes& content, uint32_t checksum) {
  return static_cast<uint32_t>(bytesChecksum(content.data(), content.size())) == checksum;
}

std::string describe(const std::string& path, const std::string& name) {
  return path + " (" + name + ")";
}

// The local file's bytes; empty when it is missing or empty.
Bytes localContent(const std::string& path) {
  Bytes content;
  if (!readWholeFile(path, &content).ok()) content.clear();
  return content;
}

// Logs a failed operation; true when there was one.
bool reportFailure(const Status& status) {
  if (status.ok()) return false;
  logError(status.message());
  return true;
}

// A container of another type is no failure in itself: the caller tries
// the next type.
void reportDecodeFailure(const Status& status) {
  if (status.kind() != Status::Kind::kNotFound) logError(status.message());
}

bool writeContent(const std::string& path, const Bytes& content) {
  return !reportFailure(writeFileAtomically(path, content.data(), content.size()));
}

ApplyOutcome applyPatch(const std::string& path, const std::string& name, uint32_t checksum,
                        const Bytes& body) {
  Bytes old = localContent(path);
  Bytes result;
  if (reportFailure(bspatch(old.data(), static_cast<uint32_t>(old.size()), body.data(),
                            static_cast<uint32_t>(body.size()), &result))) {
    return ApplyOutcome::kPatchUnusable;
  }
  if (!matches(result, checksum)) {
    logError("patch result does not match the manifest: " + describe(path, name));
    return ApplyOutcome::kPatchUnusable;
  }
  return writeContent(path, result) ? ApplyOutcome::kPatched : ApplyOutcome::kNotWritten;
}

// Replaces the running updater: the old executable is moved aside (a
// running program can be renamed but not overwritten on Windows) only once
// the new one is fully written beside it, so that a crash or kill leaves at
// most the instant between two renames without an updater.exe, and
// settleOldExecutable repairs even that. Windows' rename does not replace
// an existing file, so a leftover updater_old.exe goes first.
bool replaceOwnExecutable(const Bytes& content) {
  if (reportFailure(writeTemporaryCopy(kOwnExecutablePath, content.data(), content.size()))) {
    return false;
  }
  std::remove(kOldExecutableFile);
  std::rename(kOwnExecutableFile, kOldExecutableFile);
  if (!reportFailure(moveTemporaryCopyInto(kOwnExecutablePath))) return true;
  std::error_code ec;
  if (!std::filesystem::exists(kOwnExecutableFile, ec)) {
    std::rename(kOldExecutableFile, kOwnExecutableFile);
  }
  return false;
}

ApplyOutcome applyWhole(const std::string& path, const std::string& name, uint32_t checksum,
                        std::istream& container) {
  Bytes content;
  Status decoded = containerDecode(generic, container, &content);
  if (!decoded.ok()) {
    reportDecodeFailure(decoded);
    logError("could not decompress file: " + describe(path, name));
    return ApplyOutcome::kNotWritten;
  }
  if (!matches(content, checksum)) {
    logError("file does not match the manifest, not written: " + describe(path, name));
    return ApplyOutcome::kNotWritten;
  }
  bool written = path == kOwnExecutablePath ? replaceOwnExecutable(content)
                                            : writeContent(path, content);
  return written ? ApplyOutcome::kWritten : ApplyOutcome::kNotWritten;
}

}  // namespace

void settleOldExecutable() {
  std::error_code ec;
  bool replacementCutOff = !std::filesystem::exists(kOwnExecutableFile, ec) && !ec &&
                           std::filesystem::is_regular_file(kOldExecutableFile, ec);
  if (replacementCutOff) {
    std::rename(kOldExecutableFile, kOwnExecutableFile);
    return;
  }
  std::filesystem::remove(kOldExecutableFile, ec);
}

ApplyOutcome applyReceivedFile(const std::string& path, const std::string& name,
                               uint32_t checksum, const Bytes& received) {
  if (reportFailure(createParentFolders(path))) return ApplyOutcome::kNotWritten;
  MemoryInputStream container(received.data(), received.size());
  Bytes body;
  Status decoded = containerDecode(binary_patch, container, &body);
  if (decoded.ok()) return applyPatch(path, name, checksum, body);
  reportDecodeFailure(decoded);
  return applyWhole(path, name, checksum, container);
}

}  // namespace quor
