#include "patch/split_patch.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "base/byte_stream.h"
#include "container/container.h"
#include "patch/diff.h"
#include "patch/patch_stream.h"

namespace quor {
namespace {

Bytes randomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random() % 7);
  return bytes;
}

// The body of bsdiff's patch of old -> current.
Bytes patchBody(const Bytes& old, const Bytes& current) {
  std::ostringstream patch;
  EXPECT_TRUE(bsdiff(old.data(), static_cast<uint32_t>(old.size()), current.data(),
                     static_cast<uint32_t>(current.size()), patch)
                  .ok());
  std::istringstream in(patch.str());
  Bytes body;
  EXPECT_TRUE(containerDecode(binary_patch, in, &body).ok());
  return body;
}

// Reads the split patch's body whole; the first failure's status.
Status readBody(const std::string& split, Bytes* body) {
  MemorySource source(reinterpret_cast<const uint8_t*>(split.data()), split.size());
  SplitPatchBodySource decoded(source);
  uint8_t piece[777];
  for (size_t got = sizeof piece; got == sizeof piece;) {
    Status status = decoded.read(piece, sizeof piece, &got);
    if (!status.ok()) return status;
    body->insert(body->end(), piece, piece + got);
  }
  return {};
}

class SplitPatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = randomBytes(300000, 1);
    current_ = old_;
    for (size_t i = 1000; i < current_.size(); i += 5003) current_[i] ^= 0x21;
    Bytes inserted = randomBytes(20000, 2);
    current_.insert(current_.begin() + 150000, inserted.begin(), inserted.end());
    body_ = patchBody(old_, current_);
    ZstdSettings settings;
    settings.level = 3;
    ASSERT_TRUE(encodeSplitPatch(body_.data(), body_.size(), settings, &split_).ok());
  }
  Bytes old_, current_, body_;
  std::string split_;
};

TEST_F(SplitPatchTest, GivesBackTheSameBodyWhichAppliesToTheOldFile) {
  Bytes body;
  ASSERT_TRUE(readBody(split_, &body).ok());
  EXPECT_EQ(body, body_);
  EXPECT_EQ(splitPatchNewLength(reinterpret_cast<const uint8_t*>(split_.data()), 48),
            current_.size());

  MemorySource splitSource(reinterpret_cast<const uint8_t*>(split_.data()), split_.size());
  SplitPatchBodySource decoded(splitSource);
  MemorySource old(old_.data(), old_.size());
  struct Collect : ByteSink {
    Bytes bytes;
    Status write(const uint8_t* data, size_t size) override {
      bytes.insert(bytes.end(), data, data + size);
      return {};
    }
  } result;
  ASSERT_TRUE(applyPatchStream(decoded, old, result).ok());
  EXPECT_EQ(result.bytes, current_);
}

TEST_F(SplitPatchTest, CutForeignMismatchedAndGarbledPatchesAreRefused) {
  auto refused = [](std::string split) {
    Bytes body;
    return !readBody(split, &body).ok();
  };
  EXPECT_TRUE(refused(split_.substr(0, 30)));
  EXPECT_TRUE(refused(split_.substr(0, split_.size() - 1)));
  EXPECT_TRUE(refused(split_ + "x"));
  std::string foreign = split_;
  foreign[0] = 'Q';
  EXPECT_TRUE(refused(foreign));
  // A control frame size that eats into the others, and a huge one.
  std::string sizes = split_;
  sizes[24] = static_cast<char>(sizes[24] + 1);
  EXPECT_TRUE(refused(sizes));
  std::string huge = split_;
  huge[31] = '\x7f';
  EXPECT_TRUE(refused(huge));
  std::string longNew = split_;
  longNew[21] = 1;  // a new length beyond 4 GiB
  EXPECT_TRUE(refused(longNew));
  std::string garbled = split_;
  garbled[split_.size() - 40] ^= 0x10;
  EXPECT_TRUE(refused(garbled));

  // A body that is no sound patch is not split.
  ZstdSettings settings;
  std::string out;
  Bytes cut(body_.begin(), body_.begin() + 50);
  EXPECT_FALSE(encodeSplitPatch(cut.data(), cut.size(), settings, &out).ok());
}

}  // namespace
}  // namespace quor
