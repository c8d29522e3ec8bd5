#include "dataset/signing_keys.h"

#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "fs/file_io.h"
#include "platform/native_path.h"

namespace quor {
namespace {

constexpr std::string_view kPublicMagic = "QUORPUB1";
constexpr std::string_view kPrivateMagic = "QUORPRV1";
constexpr size_t kMagicSize = 8;
// Larger key files are refused unread.
constexpr uint64_t kMaxKeyFileSize = 4096;

// The bytes after magic in the file at path, which must hold exactly
// payloadSize of them.
Status readKeyFile(const std::string& path, std::string_view magic, size_t payloadSize,
                   Bytes* payload) {
  std::error_code ec;
  uintmax_t size = std::filesystem::file_size(toNativePath(path), ec);
  if (ec) return Status::notFound("cannot read " + path + ": " + ec.message());
  if (size > kMaxKeyFileSize) return Status::corrupt(path + " is not a key file of this program");
  Bytes bytes;
  Status read = readWholeFile(path, &bytes);
  if (!read.ok()) return read;
  if (bytes.size() != kMagicSize + payloadSize ||
      std::memcmp(bytes.data(), magic.data(), kMagicSize) != 0) {
    return Status::corrupt(path + " is not a key file of this program");
  }
  payload->assign(bytes.begin() + kMagicSize, bytes.end());
  return {};
}

}  // namespace

Bytes encodePublicKeyFile(const PublicKey& key) {
  ByteWriter out;
  out.raw(kPublicMagic.data(), kMagicSize);
  out.raw(key.data(), key.size());
  return out.take();
}

Bytes encodePrivateKeyFile(const KeyPair& keys) {
  ByteWriter out;
  out.raw(kPrivateMagic.data(), kMagicSize);
  out.raw(keys.privateKey.data(), keys.privateKey.size());
  out.raw(keys.publicKey.data(), keys.publicKey.size());
  return out.take();
}

Status readPublicKeyFile(const std::string& path, PublicKey* key) {
  Bytes payload;
  Status read = readKeyFile(path, kPublicMagic, kPublicKeySize, &payload);
  if (read.ok()) std::memcpy(key->data(), payload.data(), kPublicKeySize);
  return read;
}

Status readPrivateKeyFile(const std::string& path, KeyPair* keys) {
  Bytes payload;
  Status read = readKeyFile(path, kPrivateMagic, kPrivateKeySize + kPublicKeySize, &payload);
  if (!read.ok()) return read;
  std::memcpy(keys->privateKey.data(), payload.data(), kPrivateKeySize);
  std::memcpy(keys->publicKey.data(), payload.data() + kPrivateKeySize, kPublicKeySize);
  return {};
}

}  // namespace quor
