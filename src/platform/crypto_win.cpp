// crypto.h through Windows' CNG (bcrypt.dll). Keys cross in
// BCRYPT_ECCKEY_BLOB form (a header, then X, Y and for a private key d,
// each 32 bytes big-endian), and CNG's ECDSA signatures are raw r || s
// already, so the raw forms of crypto.h need no conversion.
#include "platform/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <vector>

namespace quor {
namespace {

constexpr ULONG kKeyBits = 256;

bool succeeded(NTSTATUS status) { return status >= 0; }

// An algorithm provider, closed when it goes.
class Provider {
 public:
  explicit Provider(LPCWSTR algorithm) {
    if (!succeeded(BCryptOpenAlgorithmProvider(&handle_, algorithm, nullptr, 0))) {
      handle_ = nullptr;
    }
  }
  ~Provider() {
    if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

// A key, destroyed when it goes.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (handle_ != nullptr) BCryptDestroyKey(handle_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  BCRYPT_KEY_HANDLE* out() { return &handle_; }
  BCRYPT_KEY_HANDLE get() const { return handle_; }

 private:
  BCRYPT_KEY_HANDLE handle_ = nullptr;
};

// The blob BCryptImportKeyPair reads: the header, X, Y, and d when given.
std::vector<uint8_t> keyBlob(const PublicKey& publicKey, const PrivateKey* privateKey) {
  BCRYPT_ECCKEY_BLOB header;
  header.dwMagic = privateKey != nullptr ? BCRYPT_ECDSA_PRIVATE_P256_MAGIC
                                         : BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = kPrivateKeySize;
  std::vector<uint8_t> blob(sizeof header + kPublicKeySize +
                            (privateKey != nullptr ? kPrivateKeySize : 0));
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, publicKey.data(), kPublicKeySize);
  if (privateKey != nullptr) {
    std::memcpy(blob.data() + sizeof header + kPublicKeySize, privateKey->data(),
                kPrivateKeySize);
  }
  return blob;
}

bool importKey(const Provider& provider, const PublicKey& publicKey,
               const PrivateKey* privateKey, Key* key) {
  std::vector<uint8_t> blob = keyBlob(publicKey, privateKey);
  LPCWSTR type = privateKey != nullptr ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB;
  return provider.get() != nullptr &&
         succeeded(BCryptImportKeyPair(provider.get(), nullptr, type, key->out(), blob.data(),
                                       static_cast<ULONG>(blob.size()), 0));
}

}  // namespace

// A hash of CNG's, shared by Sha256 and Md5. A failure of the library
// leaves it failed for good.
struct CngDigest {
  explicit CngDigest(LPCWSTR algorithm) : provider(algorithm) {
    failed = provider.get() == nullptr ||
             !succeeded(BCryptCreateHash(provider.get(), &hash, nullptr, 0, nullptr, 0, 0));
  }
  ~CngDigest() {
    if (hash != nullptr) BCryptDestroyHash(hash);
  }
  CngDigest(const CngDigest&) = delete;
  CngDigest& operator=(const CngDigest&) = delete;

  void add(const uint8_t* data, size_t size) {
    // BCryptHashData counts in 32 bits.
    constexpr size_t kMaxPiece = 1u << 30;
    while (!failed && size != 0) {
      size_t piece = size < kMaxPiece ? size : kMaxPiece;
      failed = !succeeded(
          BCryptHashData(hash, const_cast<PUCHAR>(data), static_cast<ULONG>(piece), 0));
      data += piece;
      size -= piece;
    }
  }
  template <size_t kSize>
  std::array<uint8_t, kSize> finish() {
    std::array<uint8_t, kSize> digest{};
    if (failed || !succeeded(BCryptFinishHash(hash, digest.data(), kSize, 0))) digest.fill(0);
    failed = true;
    return digest;
  }

  Provider provider;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
};

struct Sha256::State : CngDigest {
  State() : CngDigest(BCRYPT_SHA256_ALGORITHM) {}
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;
void Sha256::add(const uint8_t* data, size_t size) { state_->add(data, size); }
Sha256Digest Sha256::finish() { return state_->finish<kSha256Size>(); }

struct Md5::State : CngDigest {
  State() : CngDigest(BCRYPT_MD5_ALGORITHM) {}
};

Md5::Md5() : state_(std::make_unique<State>()) {}
Md5::~Md5() = default;
void Md5::add(const uint8_t* data, size_t size) { state_->add(data, size); }
Md5Digest Md5::finish() { return state_->finish<kMd5Size>(); }

Status generateKeyPair(KeyPair* keys) {
  Provider provider(BCRYPT_ECDSA_P256_ALGORITHM);
  Key key;
  if (provider.get() == nullptr ||
      !succeeded(BCryptGenerateKeyPair(provider.get(), key.out(), kKeyBits, 0)) ||
      !succeeded(BCryptFinalizeKeyPair(key.get(), 0))) {
    return Status::ioError("cannot generate a key pair: CNG failed");
  }
  std::vector<uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + kPublicKeySize + kPrivateKeySize);
  ULONG written = 0;
  if (!succeeded(BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(),
                                 static_cast<ULONG>(blob.size()), &written, 0)) ||
      written != blob.size()) {
    return Status::ioError("cannot export the new key pair: CNG failed");
  }
  const uint8_t* parts = blob.data() + sizeof(BCRYPT_ECCKEY_BLOB);
  std::memcpy(keys->publicKey.data(), parts, kPublicKeySize);
  std::memcpy(keys->privateKey.data(), parts + kPublicKeySize, kPrivateKeySize);
  return {};
}

Status signBytes(const KeyPair& keys, const uint8_t* data, size_t size, Signature* signature) {
  Sha256Digest digest = sha256Of(data, size);
  Provider provider(BCRYPT_ECDSA_P256_ALGORITHM);
  Key key;
  if (!importKey(provider, keys.publicKey, &keys.privateKey, &key)) {
    return Status::corrupt("the private key is not a P-256 key pair");
  }
  ULONG written = 0;
  if (!succeeded(BCryptSignHash(key.get(), nullptr, digest.data(), kSha256Size,
                                signature->data(), kSignatureSize, &written, 0)) ||
      written != kSignatureSize) {
    return Status::ioError("cannot sign: CNG failed");
  }
  return {};
}

bool verifySignature(const PublicKey& publicKey, const uint8_t* data, size_t size,
                     const Signature& signature) {
  Provider provider(BCRYPT_ECDSA_P256_ALGORITHM);
  Key key;
  if (!importKey(provider, publicKey, nullptr, &key)) return false;
  Sha256Digest digest = sha256Of(data, size);
  return succeeded(BCryptVerifySignature(key.get(), nullptr, digest.data(), kSha256Size,
                                         const_cast<PUCHAR>(signature.data()), kSignatureSize,
                                         0));
}

}  // namespace quor
