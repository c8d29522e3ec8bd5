#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/crypto.h"

namespace quor {
namespace {

std::string hex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

template <size_t N>
std::array<uint8_t, N> fromHex(const std::string& text) {
  std::array<uint8_t, N> bytes{};
  for (size_t i = 0; i < N; ++i) bytes[i] = static_cast<uint8_t>(std::stoi(text.substr(2 * i, 2), nullptr, 16));
  return bytes;
}

const uint8_t* bytesOf(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

TEST(Crypto, Sha256MatchesTheStandardVectorsWholeOrInPieces) {
  Sha256Digest empty = sha256Of(nullptr, 0);
  EXPECT_EQ(hex(empty.data(), empty.size()),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  std::string message = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  Sha256Digest whole = sha256Of(bytesOf(message), message.size());
  EXPECT_EQ(hex(whole.data(), whole.size()),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  Sha256 pieces;
  pieces.add(bytesOf(message), 7);
  pieces.add(bytesOf(message) + 7, 0);
  pieces.add(bytesOf(message) + 7, message.size() - 7);
  EXPECT_EQ(pieces.finish(), whole);
}

TEST(Crypto, SignaturesVerifyOnlyForTheirKeyAndBytes) {
  KeyPair keys, other;
  ASSERT_TRUE(generateKeyPair(&keys).ok());
  ASSERT_TRUE(generateKeyPair(&other).ok());
  EXPECT_NE(keys.publicKey, other.publicKey);
  std::string data = "the bytes a publisher signs";
  Signature signature;
  ASSERT_TRUE(signBytes(keys, bytesOf(data), data.size(), &signature).ok());
  EXPECT_TRUE(verifySignature(keys.publicKey, bytesOf(data), data.size(), signature));
  EXPECT_FALSE(verifySignature(other.publicKey, bytesOf(data), data.size(), signature));
  EXPECT_FALSE(verifySignature(keys.publicKey, bytesOf(data), data.size() - 1, signature));
  Signature flipped = signature;
  flipped[40] ^= 1;
  EXPECT_FALSE(verifySignature(keys.publicKey, bytesOf(data), data.size(), flipped));
  EXPECT_FALSE(verifySignature(keys.publicKey, bytesOf(data), data.size(), Signature{}));
  PublicKey offCurve = keys.publicKey;
  offCurve[63] ^= 1;
  EXPECT_FALSE(verifySignature(offCurve, bytesOf(data), data.size(), signature));
  KeyPair mismatched{keys.privateKey, PublicKey{}};
  EXPECT_FALSE(signBytes(mismatched, bytesOf(data), data.size(), &signature).ok());
}

// Made once by the other library: a signature made with OpenSSL checks
// with CNG and the other way round.
TEST(Crypto, SignaturesOfEitherLibraryVerify) {
  std::string data = "signed on one system, checked on the other";
  struct Vector {
    const char* publicKey;
    const char* signature;
  };
  const Vector vectors[] = {
      // OpenSSL
      {"952dd7f38e88e143607c803fe920bd51f0760017effa0ce2054afe30a0344c63"
       "dd5beeb33e66f3efda89a56961de79c3623003edf2cff9d767a4a9bc12eaf992",
       "b3ab96fdaca7597873e1d3369d71b134fd3ebb2c161b729caf195ebeeb8027bd"
       "a955dbe90e5f5d7da1bdd514b0dd0850cf7d13564957a1d6205f25783d95f04b"},
      // CNG
      {"d79531c2ce0a71a692e1bb8cea7214515a9323819c43abe847c6355092da1c88"
       "b649b0a8d83dc9192c6cbf756b9dffce6793f56139469b83340bf2851a8d6100",
       "5495039bcf888da34f42266234bb2c8c85dcc1f0cbc987b1d9363091b48669b7"
       "ee1570e43817657b23c7482d1b859df2c248922a7be674e458d521d22c2dda61"},
  };
  for (const Vector& vector : vectors) {
    PublicKey key = fromHex<kPublicKeySize>(vector.publicKey);
    Signature signature = fromHex<kSignatureSize>(vector.signature);
    EXPECT_TRUE(verifySignature(key, bytesOf(data), data.size(), signature)) << vector.publicKey;
  }
}

// Prints a vector for the test above, made by this system's library.
TEST(Crypto, DISABLED_PrintVector) {
  std::string data = "signed on one system, checked on the other";
  KeyPair keys;
  ASSERT_TRUE(generateKeyPair(&keys).ok());
  Signature signature;
  ASSERT_TRUE(signBytes(keys, bytesOf(data), data.size(), &signature).ok());
  std::printf("{\"%s\",\n \"%s\"}\n", hex(keys.publicKey.data(), kPublicKeySize).c_str(),
              hex(signature.data(), kSignatureSize).c_str());
}

}  // namespace
}  // namespace quor
