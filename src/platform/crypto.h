// The cryptography the updater signs and checks its update data with:
// SHA-256 and ECDSA on the curve P-256; and MD5 for the file checksums. Nothing here is computed by the
// program itself: OpenSSL's libcrypto does it on POSIX (crypto_posix.cpp),
// Windows' CNG (bcrypt) on Windows (crypto_win.cpp).
//
// Keys and signatures travel in one raw form both libraries read and write:
//   public key   X || Y, each coordinate 32 bytes big-endian   (64 bytes)
//   private key  the scalar d, 32 bytes big-endian              (32 bytes)
//   signature    r || s, each 32 bytes big-endian               (64 bytes)
// A signature is made over the SHA-256 of the signed bytes.
//
// Every function may be called from any thread; none keeps state between
// calls beyond its objects. Costs: hashing runs at the library's speed
// (hundreds of MB/s); a signature or a check takes well under a millisecond.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/status.h"

namespace quor {

inline constexpr size_t kSha256Size = 32;
inline constexpr size_t kPublicKeySize = 64;
inline constexpr size_t kPrivateKeySize = 32;
inline constexpr size_t kSignatureSize = 64;

using Sha256Digest = std::array<uint8_t, kSha256Size>;
using PublicKey = std::array<uint8_t, kPublicKeySize>;
using PrivateKey = std::array<uint8_t, kPrivateKeySize>;
using Signature = std::array<uint8_t, kSignatureSize>;

// SHA-256 of bytes given in any number of pieces. Should the library fail
// (it can only run out of memory), finish returns all zeros, a digest no
// data has in practice, so every comparison with a real one fails.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void add(const uint8_t* data, size_t size);
  // Once, after the last add.
  Sha256Digest finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

Sha256Digest sha256Of(const uint8_t* data, size_t size);

// MD5 (RFC 1321) the same way, for the file checksums (dataset/md5.h): the
// libraries' MD5 runs a quarter faster than a portable one, and every
// scan and every installed byte pays it. Not for anything an attacker
// chooses: that is what SHA-256 is for.
inline constexpr size_t kMd5Size = 16;
using Md5Digest = std::array<uint8_t, kMd5Size>;

class Md5 {
 public:
  Md5();
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  void add(const uint8_t* data, size_t size);
  // Once, after the last add; all zeros should the library fail.
  Md5Digest finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

struct KeyPair {
  PrivateKey privateKey{};
  PublicKey publicKey{};
};

// A new key pair from the system's random source.
Status generateKeyPair(KeyPair* keys);

// Signs the SHA-256 of data with the pair's private key (CNG wants the
// public half beside it).
Status signBytes(const KeyPair& keys, const uint8_t* data, size_t size, Signature* signature);

// True only when signature is the key's signature over data. A public key
// that is no point of the curve, or any failure of the library, is false.
bool verifySignature(const PublicKey& key, const uint8_t* data, size_t size,
                     const Signature& signature);

}  // namespace quor
