#include "update/file_apply.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "base/byte_stream.h"
#include "container/container.h"
#include "container/container_reader.h"
#include "container/zstd_stream.h"
#include "dataset/layout.h"
#include "dataset/md5.h"
#include "fs/file_io.h"
#include "fs/file_stream.h"
#include "log/log.h"
#include "patch/patch_stream.h"
#include "patch/split_patch.h"

namespace quor {
namespace {

constexpr size_t kCopyPieceSize = 256 * 1024;

std::string describe(const std::string& path, const std::string& name) {
  return path + " (" + name + ")";
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

// The result on its way to path's temporary copy, its checksum computed
// as it goes. A failed write does not stop the flow: the verdicts on the
// content come first, and the write's failure is reported only for
// content that would have been written. The copy is removed unless it is
// finished.
class VerifiedCopy : public ByteSink {
 public:
  // A signed update's result has a SHA-256 to meet as well.
  VerifiedCopy(const std::string& path, const Sha256Digest* signedDigest)
      : written_(TemporaryCopySink::create(path, &file_)), signedDigest_(signedDigest) {
    if (signedDigest_ != nullptr) sha256_ = std::make_unique<Sha256>();
  }

  Status write(const uint8_t* data, size_t size) override {
    checksum_.add(data, size);
    if (sha256_) sha256_->add(data, size);
    if (written_.ok()) written_ = file_->write(data, size);
    return {};
  }
  // Once, after the last write.
  bool matches(uint32_t checksum) { return static_cast<uint32_t>(checksum_.value()) == checksum; }
  // Once, after the last write: true unless a signed digest is not met.
  bool matchesSignature() { return !sha256_ || sha256_->finish() == *signedDigest_; }
  // Closes the copy, ready to be moved into place.
  Status finish() { return written_.ok() ? file_->finish() : written_; }

 private:
  std::unique_ptr<TemporaryCopySink> file_;
  Status written_;
  ChecksumBuilder checksum_;
  const Sha256Digest* signedDigest_;
  std::unique_ptr<Sha256> sha256_;
};

bool reportSignatureMismatch(VerifiedCopy& copy, const std::string& path,
                             const std::string& name) {
  if (copy.matchesSignature()) return false;
  logError("file does not match manifest.sig, not written: " + describe(path, name));
  return true;
}

// The local file that a patch applies to, read as the whole-file path
// would have: a file that cannot be read, or that no 32-bit length can
// describe, counts as empty.
std::unique_ptr<SeekableSource> openOldFile(const std::string& path) {
  static const uint8_t kNothing = 0;
  std::unique_ptr<FileSource> file;
  if (!FileSource::open(path, &file).ok() || file->size() > UINT32_MAX) {
    return std::make_unique<MemorySource>(&kNothing, 0);
  }
  return file;
}

// Replaces the running updater with its finished temporary copy: the old
// executable is moved aside (a running program can be renamed but not
// overwritten on Windows) only once the new one is fully written beside
// it, so that a crash or kill leaves at most the instant between two
// renames without an updater.exe, and settleOldExecutable repairs even
// that. Windows' rename does not replace an existing file, so a leftover
// updater_old.exe goes first.
bool swapInOwnExecutable() {
  std::remove(kOldExecutableFile);
  std::rename(kOwnExecutableFile, kOldExecutableFile);
  if (!reportFailure(moveTemporaryCopyInto(kOwnExecutablePath))) return true;
  std::error_code ec;
  if (!std::filesystem::exists(kOwnExecutableFile, ec)) {
    std::rename(kOldExecutableFile, kOwnExecutableFile);
  }
  return false;
}

bool moveIntoPlace(VerifiedCopy& copy, const std::string& path, bool ownExecutable) {
  if (reportFailure(copy.finish())) return false;
  if (ownExecutable) return swapInOwnExecutable();
  return !reportFailure(moveTemporaryCopyInto(path));
}

// The verdicts on a patch's result, complete in copy.
ApplyOutcome settlePatchedCopy(VerifiedCopy& copy, const std::string& path,
                               const std::string& name, uint32_t checksum) {
  if (!copy.matches(checksum)) {
    logError("patch result does not match the manifest: " + describe(path, name));
    return ApplyOutcome::kPatchUnusable;
  }
  if (reportSignatureMismatch(copy, path, name)) return ApplyOutcome::kPatchUnusable;
  return moveIntoPlace(copy, path, false) ? ApplyOutcome::kPatched : ApplyOutcome::kNotWritten;
}

// The same for a whole file's.
ApplyOutcome settleWholeCopy(VerifiedCopy& copy, const std::string& path,
                             const std::string& name, uint32_t checksum) {
  if (!copy.matches(checksum)) {
    logError("file does not match the manifest, not written: " + describe(path, name));
    return ApplyOutcome::kRejected;
  }
  if (reportSignatureMismatch(copy, path, name)) return ApplyOutcome::kRejected;
  bool written = moveIntoPlace(copy, path, path == kOwnExecutablePath);
  return written ? ApplyOutcome::kWritten : ApplyOutcome::kNotWritten;
}

Status copyContent(ByteSource& content, ByteSink& out) {
  auto piece = std::make_unique_for_overwrite<uint8_t[]>(kCopyPieceSize);
  size_t got = kCopyPieceSize;
  while (got == kCopyPieceSize) {
    Status status = content.read(piece.get(), kCopyPieceSize, &got);
    if (status.ok()) status = out.write(piece.get(), got);
    if (!status.ok()) return status;
  }
  return {};
}

// None when the container itself turns out unsound: its failure is logged
// and the caller goes on as for a container of another type. A patch can
// be refused before its container is read to the end; the rest is then
// read, since a damaged container's verdict comes first, as it does when
// the whole body is decoded before the patch is applied.
std::optional<ApplyOutcome> applyPatch(const std::string& path, const std::string& name,
                                       uint32_t checksum, const Sha256Digest* signedDigest,
                                       ContainerReader& body) {
  VerifiedCopy copy(path, signedDigest);
  Status patched;
  {
    std::unique_ptr<SeekableSource> old = openOldFile(path);
    patched = applyPatchStream(body, *old, copy);
  }  // closed before anything is renamed over it
  if (!patched.ok()) {
    Status decoded = body.finish();
    if (!decoded.ok()) {
      reportDecodeFailure(decoded);
      return std::nullopt;
    }
    logError(patched.message());
    return ApplyOutcome::kPatchUnusable;
  }
  return settlePatchedCopy(copy, path, name, checksum);
}

ApplyOutcome applyWhole(const std::string& path, const std::string& name, uint32_t checksum,
                        const Sha256Digest* signedDigest, SeekableSource& received) {
  ContainerReader content(received);
  Status decoded = received.seek(0);
  if (decoded.ok()) decoded = content.open(generic);
  std::unique_ptr<VerifiedCopy> copy;
  if (decoded.ok()) {
    copy = std::make_unique<VerifiedCopy>(path, signedDigest);
    decoded = copyContent(content, *copy);
  }
  if (!decoded.ok()) {
    reportDecodeFailure(decoded);
    logError("could not decompress file: " + describe(path, name));
    return ApplyOutcome::kRejected;
  }
  return settleWholeCopy(*copy, path, name, checksum);
}

// The result of a patch of the second encoding, once the new bytes are in
// copy: the same verdicts as a classic patch's.
ApplyOutcome settlePatchResult(VerifiedCopy& copy, const Status& patched, const std::string& path,
                               const std::string& name, uint32_t checksum) {
  if (!patched.ok()) {
    logError(patched.message() + ": " + describe(path, name));
    return ApplyOutcome::kPatchUnusable;
  }
  return settlePatchedCopy(copy, path, name, checksum);
}

ApplyOutcome applySplitPatch(const std::string& path, const std::string& name, uint32_t checksum,
                             const Sha256Digest* signedDigest, SeekableSource& received) {
  VerifiedCopy copy(path, signedDigest);
  Status patched;
  {
    SplitPatchBodySource body(received);
    std::unique_ptr<SeekableSource> old = openOldFile(path);
    patched = applyPatchStream(body, *old, copy);
  }  // closed before anything is renamed over it
  return settlePatchResult(copy, patched, path, name, checksum);
}

// The local file is the frame's prefix: it is held whole, and only files
// that fit one window a player decodes have such patches.
ApplyOutcome applyPatchFrom(const std::string& path, const std::string& name, uint32_t checksum,
                            const Sha256Digest* signedDigest, SeekableSource& received) {
  VerifiedCopy copy(path, signedDigest);
  Status patched;
  {
    Bytes old;
    std::unique_ptr<FileSource> oldFile;
    patched = FileSource::open(path, &oldFile);
    if (patched.ok() && oldFile->size() > (uint64_t(1) << kMaxZstdWindowLog)) {
      patched = Status::tooLarge("zstd: the local file is larger than a patch-from reaches");
    }
    oldFile.reset();
    if (patched.ok()) patched = readWholeFile(path, &old);
    if (patched.ok()) patched = received.seek(0);
    if (patched.ok()) {
      ZstdDecodeSource content(received, received.size(), old.data(), old.size());
      patched = copyContent(content, copy);
    }
  }
  return settlePatchResult(copy, patched, path, name, checksum);
}

ApplyOutcome applyZstdWhole(const std::string& path, const std::string& name, uint32_t checksum,
                            const Sha256Digest* signedDigest, SeekableSource& received) {
  VerifiedCopy copy(path, signedDigest);
  Status decoded = received.seek(0);
  if (decoded.ok()) {
    ZstdDecodeSource content(received, received.size(), nullptr, 0, kWholeFileWindowLog);
    decoded = copyContent(content, copy);
  }
  if (!decoded.ok()) {
    logError(decoded.message());
    logError("could not decompress file: " + describe(path, name));
    return ApplyOutcome::kRejected;
  }
  return settleWholeCopy(copy, path, name, checksum);
}

// The one way received files are applied, from memory or from disk. The
// second encoding's files are known by their names; of the classic ones a
// binary_patch container is a patch, anything else is tried as a whole
// file.
ApplyOutcome applyContainer(const std::string& path, const std::string& name, uint32_t checksum,
                            const Sha256Digest* signedDigest, SeekableSource& received) {
  if (reportFailure(createParentFolders(path))) return ApplyOutcome::kNotWritten;
  switch (dataKindOf(name)) {
    case DataKind::kZstdWhole:
      return applyZstdWhole(path, name, checksum, signedDigest, received);
    case DataKind::kSplitPatch:
      return applySplitPatch(path, name, checksum, signedDigest, received);
    case DataKind::kPatchFrom:
      return applyPatchFrom(path, name, checksum, signedDigest, received);
    case DataKind::kWhole:
    case DataKind::kPatch:
      break;
  }
  {
    ContainerReader patch(received);
    Status opened = patch.open(binary_patch);
    if (opened.ok()) {
      std::optional<ApplyOutcome> outcome = applyPatch(path, name, checksum, signedDigest, patch);
      if (outcome) return *outcome;
    } else {
      reportDecodeFailure(opened);
    }
  }
  return applyWhole(path, name, checksum, signedDigest, received);
}

}  // namespace

uint64_t applyMemory(const std::string& name, uint64_t resultSize, uint64_t localSize) {
  auto window = [resultSize](uint64_t most) { return std::min(resultSize, most); };
  switch (dataKindOf(name)) {
    case DataKind::kZstdWhole:
      return window(uint64_t(1) << kWholeFileWindowLog);
    case DataKind::kPatchFrom:
      return localSize + window(uint64_t(1) << kMaxZstdWindowLog);
    case DataKind::kSplitPatch:
      return window(kSplitPatchWindowBytes);
    case DataKind::kWhole:
    case DataKind::kPatch:
      break;
  }
  return 0;
}

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
                               uint32_t checksum, const Bytes& received,
                               const Sha256Digest* signedDigest) {
  MemorySource source(received.data(), received.size());
  return applyContainer(path, name, checksum, signedDigest, source);
}

ApplyOutcome applyStagedFile(const std::string& path, const std::string& name, uint32_t checksum,
                             const std::string& stagedPath, const Sha256Digest* signedDigest) {
  std::unique_ptr<FileSource> staged;
  if (reportFailure(FileSource::open(stagedPath, &staged))) return ApplyOutcome::kNotWritten;
  return applyContainer(path, name, checksum, signedDigest, *staged);
}

}  // namespace quor
