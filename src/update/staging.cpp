#include "update/staging.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/encoding.h"
#include "dataset/layout.h"
#include "fs/file_io.h"
#include "platform/file_seek.h"
#include "platform/native_path.h"

namespace quor {
namespace {

namespace fs = std::filesystem;

constexpr char kMetaMagic[] = "quor_staging    ";
constexpr size_t kMagicSize = 16;
constexpr size_t kMetaHeaderSize = 36;
// Bounds of what a meta file may claim, so a damaged one costs nothing:
// the container's 32-bit lengths, and piece sizes the update run uses
// (from kMinPieceSize up).
constexpr uint64_t kMaxFileSize = UINT32_MAX;
constexpr uint32_t kMaxPieceSize = 64u << 20;

constexpr const char* kPartSuffix = ".part";
constexpr const char* kMetaSuffix = ".meta";

std::string stagingPath(const std::string& name, const char* suffix) {
  return std::string(kStagingFolder) + "/" + name + suffix;
}

bool plausible(uint64_t fileSize, uint32_t pieceSize) {
  return fileSize <= kMaxFileSize && pieceSize >= kMinPieceSize && pieceSize <= kMaxPieceSize;
}


void writeU64(ByteWriter& out, uint64_t value) {
  out.u32(static_cast<uint32_t>(value));
  out.u32(static_cast<uint32_t>(value >> 32));
}

uint64_t readU64(ByteReader& in) {
  uint64_t low = in.u32();
  return low | uint64_t(in.u32()) << 32;
}

}  // namespace

uint32_t pieceCountOf(uint64_t fileSize, uint32_t pieceSize) {
  return static_cast<uint32_t>((fileSize + pieceSize - 1) / pieceSize);
}

Status checkPiece(uint64_t fileSize, uint32_t pieceSize, uint64_t offset, size_t size,
                  uint32_t* piece) {
  if (pieceSize == 0 || offset % pieceSize != 0 || offset >= fileSize) {
    return Status::corrupt("a piece at an offset no piece starts at");
  }
  if (size != std::min<uint64_t>(pieceSize, fileSize - offset)) {
    return Status::corrupt("a piece of the wrong length");
  }
  *piece = static_cast<uint32_t>(offset / pieceSize);
  return {};
}

StagedFile::StagedFile(const std::string& name)
    : partPath_(stagingPath(name, kPartSuffix)), metaPath_(stagingPath(name, kMetaSuffix)) {}

StagedFile::~StagedFile() { closePart(); }

void StagedFile::closePart() {
  if (part_ != nullptr) std::fclose(part_);
  part_ = nullptr;
}

bool StagedFile::loadPrevious() {
  Bytes meta;
  if (!readWholeFile(metaPath_, &meta).ok() || meta.size() < kMetaHeaderSize) return false;
  if (std::memcmp(meta.data(), kMetaMagic, kMagicSize) != 0) return false;
  ByteReader in(meta.data(), meta.size(), kMagicSize);
  uint64_t fileSize = readU64(in);
  uint64_t fileVersion = readU64(in);
  uint32_t pieceSize = in.u32();
  if (!plausible(fileSize, pieceSize)) return false;
  uint32_t pieces = pieceCountOf(fileSize, pieceSize);
  if (meta.size() != kMetaHeaderSize + (size_t(pieces) + 7) / 8) return false;
  std::error_code ec;
  if (fs::file_size(toNativePath(partPath_), ec) > fileSize || ec) return false;
  fileSize_ = fileSize;
  fileVersion_ = fileVersion;
  pieceSize_ = pieceSize;
  have_.assign(pieces, false);
  for (uint32_t i = 0; i < pieces; ++i) {
    have_[i] = (meta[kMetaHeaderSize + i / 8] >> (i % 8)) & 1;
  }
  resumed_ = stagedBytes() != 0;
  return true;
}

bool StagedFile::matches(uint64_t fileSize, uint64_t fileVersion, uint32_t pieceSize) const {
  return started() && fileSize_ == fileSize && fileVersion_ == fileVersion &&
         pieceSize_ == pieceSize;
}

Status StagedFile::start(uint64_t fileSize, uint64_t fileVersion, uint32_t pieceSize) {
  remove();
  if (!plausible(fileSize, pieceSize)) {
    return Status::tooLarge("cannot stage " + partPath_ + ": " + decimalText(uint32_t(pieceSize)) +
                            "-byte pieces of a file of that size");
  }
  std::error_code ec;
  fs::create_directories(toNativePath(kStagingFolder), ec);
  if (ec) return Status::ioError(std::string("cannot create folder ") + kStagingFolder + ": " +
                                 ec.message());
  fileSize_ = fileSize;
  fileVersion_ = fileVersion;
  pieceSize_ = pieceSize;
  have_.assign(pieceCountOf(fileSize, pieceSize), false);
  return saveMeta();
}

uint32_t StagedFile::pieceLength(uint32_t piece) const {
  uint64_t offset = pieceOffset(piece);
  return static_cast<uint32_t>(std::min<uint64_t>(pieceSize_, fileSize_ - offset));
}

uint32_t StagedFile::firstMissing(uint32_t from) const {
  while (from < pieceCount() && have_[from]) ++from;
  return from;
}

uint64_t StagedFile::stagedBytes() const {
  uint64_t total = 0;
  for (uint32_t i = 0; i < pieceCount(); ++i) {
    if (have_[i]) total += pieceLength(i);
  }
  return total;
}

Status StagedFile::writePiece(uint64_t offset, const uint8_t* data, size_t size) {
  uint32_t piece = 0;
  Status checked = checkPiece(fileSize_, pieceSize_, offset, size, &piece);
  if (!checked.ok()) return checked;
  if (have_[piece]) return {};
  if (part_ == nullptr) {
    part_ = openFile(partPath_, "r+b");
    if (part_ == nullptr) part_ = openFile(partPath_, "w+b");
    if (part_ == nullptr) return Status::ioError("cannot write " + partPath_);
  }
  if (!seekFile(part_, offset) || std::fwrite(data, 1, size, part_) != size ||
      std::fflush(part_) != 0) {
    return Status::ioError("cannot write " + partPath_);
  }
  have_[piece] = true;
  return saveMeta();
}

Status StagedFile::saveMeta() const {
  ByteWriter out;
  out.raw(kMetaMagic, kMagicSize);
  writeU64(out, fileSize_);
  writeU64(out, fileVersion_);
  out.u32(pieceSize_);
  Bytes bits((have_.size() + 7) / 8, 0);
  for (size_t i = 0; i < have_.size(); ++i) {
    if (have_[i]) bits[i / 8] = static_cast<uint8_t>(bits[i / 8] | (1u << (i % 8)));
  }
  out.raw(bits.data(), bits.size());
  return writeFileAtomically(metaPath_, out.bytes().data(), out.bytes().size());
}

void StagedFile::remove() {
  closePart();
  std::error_code ec;
  fs::remove(toNativePath(partPath_), ec);
  fs::remove(toNativePath(metaPath_), ec);
  fileSize_ = 0;
  fileVersion_ = 0;
  pieceSize_ = 0;
  have_.clear();
  resumed_ = false;
}

void removeEmptyStagingFolder() {
  std::error_code ec;
  fs::remove(toNativePath(kStagingFolder), ec);
}

void removeStaleStaging(const std::unordered_set<std::string>& keep) {
  std::error_code ec;
  fs::directory_iterator it(toNativePath(kStagingFolder), ec);
  std::vector<fs::path> stale;
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string file = fromNativePath(it->path().filename());
    if (keep.count(file.substr(0, file.rfind('.'))) == 0) stale.push_back(it->path());
  }
  for (const fs::path& path : stale) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
}

}  // namespace quor
