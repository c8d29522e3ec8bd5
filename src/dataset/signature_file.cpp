#include "dataset/signature_file.h"

#include <cstring>
#include <memory>
#include <string_view>

#include "fs/file_stream.h"

namespace quor {
namespace {

constexpr size_t kReadPieceSize = 256 * 1024;
constexpr std::string_view kMagic = "quor_sig";
// Magic, format version, data set version, expiry, manifest record.
constexpr size_t kHeaderSize = 8 + 4 + 8 + 8 + 8 + kSha256Size;
// The least a listed file takes: an empty name's terminator, size, hash.
constexpr size_t kLeastRecordSize = 1 + 8 + kSha256Size;

void writeRecord(ByteWriter& out, const SignedFile& file) {
  out.u64(file.size);
  out.raw(file.sha256.data(), kSha256Size);
}

void writeList(ByteWriter& out, const std::map<std::string, SignedFile>& files) {
  out.u32(static_cast<uint32_t>(files.size()));
  for (const auto& [name, file] : files) {
    out.text(name);
    writeRecord(out, file);
  }
}

// Reads a size and a hash; false when the bytes end first.
bool readRecord(ByteReader& in, const uint8_t* data, SignedFile* file) {
  file->size = in.u64();
  if (in.overrun() || in.remaining() < kSha256Size) return false;
  std::memcpy(file->sha256.data(), data + in.position(), kSha256Size);
  // Moves past the hash through the reader, which checked it is there.
  for (size_t i = 0; i < kSha256Size; ++i) in.u8();
  return true;
}

Status readList(ByteReader& in, const uint8_t* data, const char* what,
                std::map<std::string, SignedFile>* files) {
  uint32_t count = in.listCount();
  if (in.overrun() || count > in.remaining() / kLeastRecordSize) {
    return Status::corrupt(std::string("manifest.sig: the count of ") + what +
                           " is larger than the file");
  }
  for (uint32_t i = 0; i < count; ++i) {
    std::string name = in.text();
    SignedFile file;
    if (in.overrun() || !readRecord(in, data, &file)) {
      return Status::corrupt(std::string("manifest.sig: the list of ") + what + " is cut short");
    }
    if (!files->empty() && !(files->rbegin()->first < name)) {
      return Status::corrupt(std::string("manifest.sig: the list of ") + what +
                             " is out of order or names a file twice");
    }
    files->emplace_hint(files->end(), std::move(name), file);
  }
  return {};
}

}  // namespace

Bytes encodeSignedPart(const SignatureFile& file) {
  ByteWriter out;
  out.raw(kMagic.data(), kMagic.size());
  out.u32(kSignatureFormatVersion);
  out.u64(file.dataSetVersion);
  out.u64(file.expiresAt);
  writeRecord(out, file.manifest);
  writeList(out, file.dataFiles);
  writeList(out, file.gameFiles);
  return out.take();
}

Status signSignatureFile(const SignatureFile& file, const KeyPair& keys, Bytes* out) {
  Bytes bytes = encodeSignedPart(file);
  Signature signature;
  Status signedOk = signBytes(keys, bytes.data(), bytes.size(), &signature);
  if (!signedOk.ok()) return signedOk;
  bytes.insert(bytes.end(), signature.begin(), signature.end());
  *out = std::move(bytes);
  return {};
}

Status readSignatureFile(const uint8_t* data, size_t size, SignatureFile* file) {
  if (size < kHeaderSize + 8 + kSignatureSize) {
    return Status::corrupt("manifest.sig is too short to be a signature file");
  }
  size_t signedSize = size - kSignatureSize;
  if (std::memcmp(data, kMagic.data(), kMagic.size()) != 0) {
    return Status::corrupt("manifest.sig is no signature file");
  }
  ByteReader in(data, signedSize, kMagic.size());
  uint32_t formatVersion = in.u32();
  if (formatVersion != kSignatureFormatVersion) {
    return Status::corrupt("manifest.sig has unknown format version " +
                           std::to_string(formatVersion));
  }
  SignatureFile read;
  read.dataSetVersion = in.u64();
  read.expiresAt = in.u64();
  if (!readRecord(in, data, &read.manifest)) {
    return Status::corrupt("manifest.sig is cut short");
  }
  Status listed = readList(in, data, "update data files", &read.dataFiles);
  if (listed.ok()) listed = readList(in, data, "game files", &read.gameFiles);
  if (!listed.ok()) return listed;
  if (in.remaining() != 0) return Status::corrupt("manifest.sig has bytes after its lists");
  *file = std::move(read);
  return {};
}

Status hashFile(const std::string& path, SignedFile* file) {
  std::unique_ptr<FileSource> input;
  Status status = FileSource::open(path, &input);
  if (!status.ok()) return status;
  auto piece = std::make_unique_for_overwrite<uint8_t[]>(kReadPieceSize);
  Sha256 hash;
  uint64_t size = 0;
  size_t got = kReadPieceSize;
  while (got != 0) {
    status = input->read(piece.get(), kReadPieceSize, &got);
    if (!status.ok()) return status;
    hash.add(piece.get(), got);
    size += got;
  }
  file->size = size;
  file->sha256 = hash.finish();
  return {};
}

Status openSignatureFile(const uint8_t* data, size_t size, const PublicKey& key,
                         SignatureFile* file) {
  if (size < kSignatureSize) return Status::corrupt("manifest.sig is too short to be a signature file");
  Signature signature;
  std::memcpy(signature.data(), data + size - kSignatureSize, kSignatureSize);
  if (!verifySignature(key, data, size - kSignatureSize, signature)) {
    return Status::corrupt("the signature does not verify");
  }
  return readSignatureFile(data, size, file);
}

}  // namespace quor
