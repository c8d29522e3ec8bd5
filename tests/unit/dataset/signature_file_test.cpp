#include <gtest/gtest.h>

#include "dataset/signature_file.h"
#include "test_support.h"

namespace quor {
namespace {

SignatureFile sample() {
  SignatureFile file;
  file.dataSetVersion = 7;
  file.expiresAt = 1800000000;
  file.manifest = {216, sha256Of(nullptr, 0)};
  file.dataFiles["0.compressed"] = {155, {1, 2, 3}};
  file.dataFiles["0.patch"] = {99, {4}};
  file.gameFiles["./quor.exe"] = {3, {5}};
  return file;
}

TEST(SignatureFile, RoundTripsAndVerifiesOnlyWithItsKey) {
  KeyPair keys, other;
  ASSERT_TRUE(generateKeyPair(&keys).ok());
  ASSERT_TRUE(generateKeyPair(&other).ok());
  Bytes bytes;
  ASSERT_TRUE(signSignatureFile(sample(), keys, &bytes).ok());
  SignatureFile opened;
  ASSERT_TRUE(openSignatureFile(bytes.data(), bytes.size(), keys.publicKey, &opened).ok());
  EXPECT_EQ(opened, sample());
  EXPECT_EQ(openSignatureFile(bytes.data(), bytes.size(), other.publicKey, &opened).message(),
            "the signature does not verify");
  for (size_t at : {size_t(0), size_t(12), size_t(30), bytes.size() - 1}) {
    Bytes tampered = bytes;
    tampered[at] ^= 0x20;
    EXPECT_FALSE(openSignatureFile(tampered.data(), tampered.size(), keys.publicKey, &opened).ok())
        << at;
  }
}

// Every way the bytes can be wrong is refused without reading past them.
TEST(SignatureFile, RefusesMalformedBytes) {
  Bytes good = encodeSignedPart(sample());
  good.resize(good.size() + kSignatureSize);
  SignatureFile read;
  ASSERT_TRUE(readSignatureFile(good.data(), good.size(), &read).ok());
  for (size_t size = 0; size < good.size(); ++size) {
    Bytes cut(good.begin(), good.begin() + static_cast<long>(size));
    EXPECT_EQ(readSignatureFile(cut.data(), cut.size(), &read).kind(), Status::Kind::kCorrupt)
        << size;
  }
  auto refused = [&](Bytes bytes) {
    return readSignatureFile(bytes.data(), bytes.size(), &read).message();
  };
  Bytes huge = good;
  huge[68] = huge[69] = huge[70] = 0xff;  // the count of update data files
  EXPECT_EQ(refused(huge), "manifest.sig: the count of update data files is larger than the file");
  Bytes version = good;
  version[8] = 2;
  EXPECT_EQ(refused(version), "manifest.sig has unknown format version 2");
  Bytes magic = good;
  magic[0] = 'Q';
  EXPECT_EQ(refused(magic), "manifest.sig is no signature file");
  Bytes extra = encodeSignedPart(sample());
  extra.push_back(0);
  extra.resize(extra.size() + kSignatureSize);
  EXPECT_EQ(refused(extra), "manifest.sig has bytes after its lists");
  SignatureFile twice = sample();
  Bytes duplicated = encodeSignedPart(twice);
  // "0.patch" renamed "0.compressed": one name listed twice.
  std::string text(duplicated.begin(), duplicated.end());
  size_t at = text.find("0.patch");
  ASSERT_NE(at, std::string::npos);
  Bytes renamed(duplicated.begin(), duplicated.begin() + static_cast<long>(at));
  for (char c : std::string("0.compressed")) renamed.push_back(static_cast<uint8_t>(c));
  renamed.insert(renamed.end(), duplicated.begin() + static_cast<long>(at + 7), duplicated.end());
  renamed.resize(renamed.size() + kSignatureSize);
  EXPECT_EQ(refused(renamed),
            "manifest.sig: the list of update data files is out of order or names a file twice");
}

}  // namespace
}  // namespace quor
