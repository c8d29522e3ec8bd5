// crypto.h through OpenSSL 3's libcrypto. Keys are built from and taken
// apart into their raw coordinates with EVP's key parameters; signatures
// are converted between OpenSSL's DER form and raw r || s with ECDSA_SIG.
#include "platform/crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cstring>
#include <vector>

namespace quor {
namespace {

constexpr size_t kCoordinateSize = 32;
constexpr char kCurveName[] = "prime256v1";
// An uncompressed point: 0x04, then X and Y.
constexpr uint8_t kUncompressedPoint = 0x04;

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct BigNumberFree {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
struct SignatureFree {
  void operator()(ECDSA_SIG* signature) const { ECDSA_SIG_free(signature); }
};
using KeyHandle = std::unique_ptr<EVP_PKEY, KeyFree>;
using ContextHandle = std::unique_ptr<EVP_PKEY_CTX, ContextFree>;

// A key from its raw parts; the private scalar only when given.
KeyHandle importKey(const PublicKey& publicKey, const PrivateKey* privateKey) {
  uint8_t point[1 + kPublicKeySize];
  point[0] = kUncompressedPoint;
  std::memcpy(point + 1, publicKey.data(), kPublicKeySize);
  OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
  if (builder == nullptr) return nullptr;
  std::unique_ptr<BIGNUM, BigNumberFree> scalar;
  bool built = OSSL_PARAM_BLD_push_utf8_string(builder, OSSL_PKEY_PARAM_GROUP_NAME, kCurveName,
                                               0) == 1 &&
               OSSL_PARAM_BLD_push_octet_string(builder, OSSL_PKEY_PARAM_PUB_KEY, point,
                                                sizeof point) == 1;
  if (built && privateKey != nullptr) {
    scalar.reset(BN_bin2bn(privateKey->data(), kPrivateKeySize, nullptr));
    built = scalar && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_PRIV_KEY, scalar.get()) == 1;
  }
  OSSL_PARAM* params = built ? OSSL_PARAM_BLD_to_param(builder) : nullptr;
  OSSL_PARAM_BLD_free(builder);
  if (params == nullptr) return nullptr;
  EVP_PKEY* key = nullptr;
  ContextHandle context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  int selection = privateKey != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY;
  if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &key, selection, params) != 1) {
    key = nullptr;
  }
  OSSL_PARAM_free(params);
  return KeyHandle(key);
}

// r or s as 32 big-endian bytes.
bool writeCoordinate(const BIGNUM* number, uint8_t* out) {
  return BN_bn2binpad(number, out, kCoordinateSize) == static_cast<int>(kCoordinateSize);
}

}  // namespace

// A digest of EVP's, shared by Sha256 and Md5. A failure of the library
// (it can only run out of memory) leaves it failed for good.
struct EvpDigest {
  explicit EvpDigest(const EVP_MD* type) : context(EVP_MD_CTX_new()) {
    failed = context == nullptr || EVP_DigestInit_ex(context, type, nullptr) != 1;
  }
  ~EvpDigest() { EVP_MD_CTX_free(context); }
  EvpDigest(const EvpDigest&) = delete;
  EvpDigest& operator=(const EvpDigest&) = delete;

  void add(const uint8_t* data, size_t size) {
    if (!failed && size != 0) failed = EVP_DigestUpdate(context, data, size) != 1;
  }
  template <size_t kSize>
  std::array<uint8_t, kSize> finish() {
    std::array<uint8_t, kSize> digest{};
    unsigned int length = 0;
    if (failed || EVP_DigestFinal_ex(context, digest.data(), &length) != 1 || length != kSize) {
      digest.fill(0);
    }
    failed = true;
    return digest;
  }

  EVP_MD_CTX* context;
  bool failed;
};

struct Sha256::State : EvpDigest {
  State() : EvpDigest(EVP_sha256()) {}
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;
void Sha256::add(const uint8_t* data, size_t size) { state_->add(data, size); }
Sha256Digest Sha256::finish() { return state_->finish<kSha256Size>(); }

struct Md5::State : EvpDigest {
  State() : EvpDigest(EVP_md5()) {}
};

Md5::Md5() : state_(std::make_unique<State>()) {}
Md5::~Md5() = default;
void Md5::add(const uint8_t* data, size_t size) { state_->add(data, size); }
Md5Digest Md5::finish() { return state_->finish<kMd5Size>(); }

Status generateKeyPair(KeyPair* keys) {
  KeyHandle key(EVP_EC_gen(kCurveName));
  if (!key) return Status::ioError("cannot generate a key pair: OpenSSL failed");
  uint8_t point[1 + kPublicKeySize];
  size_t pointSize = 0;
  BIGNUM* scalar = nullptr;
  bool exported = EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point,
                                                  sizeof point, &pointSize) == 1 &&
                  pointSize == sizeof point && point[0] == kUncompressedPoint &&
                  EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &scalar) == 1;
  std::unique_ptr<BIGNUM, BigNumberFree> owned(scalar);
  if (!exported || BN_bn2binpad(scalar, keys->privateKey.data(), kPrivateKeySize) !=
                       static_cast<int>(kPrivateKeySize)) {
    return Status::ioError("cannot export the new key pair: OpenSSL failed");
  }
  std::memcpy(keys->publicKey.data(), point + 1, kPublicKeySize);
  return {};
}

Status signBytes(const KeyPair& keys, const uint8_t* data, size_t size, Signature* signature) {
  Sha256Digest digest = sha256Of(data, size);
  KeyHandle key = importKey(keys.publicKey, &keys.privateKey);
  if (!key) return Status::corrupt("the private key is not a P-256 key pair");
  ContextHandle context(EVP_PKEY_CTX_new(key.get(), nullptr));
  size_t derSize = 0;
  if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1 ||
      EVP_PKEY_sign(context.get(), nullptr, &derSize, digest.data(), digest.size()) != 1) {
    return Status::ioError("cannot sign: OpenSSL failed");
  }
  std::vector<uint8_t> der(derSize);
  if (EVP_PKEY_sign(context.get(), der.data(), &derSize, digest.data(), digest.size()) != 1) {
    return Status::ioError("cannot sign: OpenSSL failed");
  }
  const uint8_t* cursor = der.data();
  std::unique_ptr<ECDSA_SIG, SignatureFree> parsed(
      d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derSize)));
  if (!parsed || !writeCoordinate(ECDSA_SIG_get0_r(parsed.get()), signature->data()) ||
      !writeCoordinate(ECDSA_SIG_get0_s(parsed.get()), signature->data() + kCoordinateSize)) {
    return Status::ioError("cannot sign: OpenSSL gave an unreadable signature");
  }
  return {};
}

bool verifySignature(const PublicKey& publicKey, const uint8_t* data, size_t size,
                     const Signature& signature) {
  KeyHandle key = importKey(publicKey, nullptr);
  if (!key) return false;
  std::unique_ptr<ECDSA_SIG, SignatureFree> parsed(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(signature.data(), kCoordinateSize, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + kCoordinateSize, kCoordinateSize, nullptr);
  if (!parsed || r == nullptr || s == nullptr || ECDSA_SIG_set0(parsed.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return false;
  }
  unsigned char* der = nullptr;
  int derSize = i2d_ECDSA_SIG(parsed.get(), &der);
  if (derSize <= 0) return false;
  Sha256Digest digest = sha256Of(data, size);
  ContextHandle context(EVP_PKEY_CTX_new(key.get(), nullptr));
  bool valid = context && EVP_PKEY_verify_init(context.get()) == 1 &&
               EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) == 1 &&
               EVP_PKEY_verify(context.get(), der, static_cast<size_t>(derSize), digest.data(),
                               digest.size()) == 1;
  OPENSSL_free(der);
  return valid;
}

}  // namespace quor
