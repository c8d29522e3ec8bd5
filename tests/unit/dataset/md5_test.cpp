#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "dataset/md5.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::LogCapture;
using testing::TempDir;
using testing::writeFile;

std::string hexDigest(const std::string& message) {
  MD5 md5;
  md5.update(reinterpret_cast<const uint8_t*>(message.data()),
             static_cast<uint32_t>(message.size()));
  md5.finalize();
  auto digest = md5.raw_digest();
  std::string hex;
  char byte[3];
  for (uint8_t b : *digest) {
    std::snprintf(byte, sizeof byte, "%02x", b);
    hex += byte;
  }
  return hex;
}

TEST(Md5, MatchesTheReferenceTestSuite) {
  EXPECT_EQ(hexDigest(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(hexDigest("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(hexDigest("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(hexDigest("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(hexDigest("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(hexDigest("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(hexDigest("1234567890123456789012345678901234567890"
                      "1234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PaddingBoundariesAgreeWithPiecewiseUpdates) {
  // 55 bytes take one byte of padding, 56 take a whole extra block.
  for (size_t size : {55u, 56u, 63u, 64u, 65u, 127u, 128u, 1000u}) {
    std::vector<uint8_t> data = testing::randomBytes(size, static_cast<uint32_t>(size));
    MD5 whole;
    whole.update(data.data(), static_cast<uint32_t>(size));
    whole.finalize();
    MD5 pieces;
    for (size_t at = 0; at < size; at += 7) {
      pieces.update(data.data() + at, static_cast<uint32_t>(std::min<size_t>(7, size - at)));
    }
    pieces.finalize();
    EXPECT_EQ(*whole.raw_digest(), *pieces.raw_digest()) << size;
  }
}

TEST(Md5, MisuseIsRefusedWithItsLine) {
  LogCapture log;
  MD5 md5;
  EXPECT_FALSE(md5.raw_digest().has_value());
  md5.update(reinterpret_cast<const uint8_t*>("abc"), 3);
  md5.finalize();
  auto before = *md5.raw_digest();
  md5.update(reinterpret_cast<const uint8_t*>("x"), 1);
  md5.finalize();
  EXPECT_EQ(*md5.raw_digest(), before);
  std::string text = log.text();
  EXPECT_NE(text.find("MD5::raw_digest:  Can't get digest if you haven't finalized the digest!"),
            std::string::npos);
  EXPECT_NE(text.find("MD5::update:  Can't update a finalized digest!"), std::string::npos);
  EXPECT_NE(text.find("MD5::finalize:  Already finalized this digest!"), std::string::npos);
}

TEST(Md5, FileChecksumFoldsTheDigestIntoOneWord) {
  TempDir dir;
  writeFile(dir / "abc", "abc");
  writeFile(dir / "empty", "");
  EXPECT_EQ(fileChecksum(dir / "abc"), 503268352);
  EXPECT_EQ(fileChecksum(dir / "empty"), 0);
  EXPECT_EQ(fileChecksum(dir / "missing"), 0);
  EXPECT_EQ(fileChecksum(dir.path()), 0);  // a folder reads as nothing
  EXPECT_EQ(bytesChecksum(reinterpret_cast<const uint8_t*>("abc"), 3), 503268352);
  EXPECT_EQ(bytesChecksum(nullptr, 0), 0);
}

TEST(Md5, FileChecksumEqualsTheDigestOfTheSameBytesInPieces) {
  TempDir dir;
  for (size_t size : {1024u, 1025u, 65536u, 65537u, 300000u}) {
    std::vector<uint8_t> data = testing::randomBytes(size, 7);
    writeFile(dir / "f", data);
    EXPECT_EQ(fileChecksum(dir / "f"), bytesChecksum(data.data(), data.size())) << size;
    ChecksumBuilder pieces;  // uneven pieces, an empty one among them
    for (size_t at = 0, piece = 1; at < size; at += piece, piece = piece * 3 + 1) {
      pieces.add(data.data() + at, std::min(piece, size - at));
      pieces.add(data.data() + at, 0);
    }
    EXPECT_EQ(pieces.value(), bytesChecksum(data.data(), data.size())) << size;
    // The system library's digest behind the checksum is the MD5 class's.
    MD5 reference;
    reference.update(data.data(), static_cast<uint32_t>(size));
    reference.finalize();
    Md5 library;
    library.add(data.data(), size);
    EXPECT_EQ(library.finish(), *reference.raw_digest()) << size;
  }
  EXPECT_EQ(ChecksumBuilder().value(), 0);
}

}  // namespace
}  // namespace quor
