#include "container/zstd_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/byte_stream.h"

namespace quor {
namespace {

std::string sample(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) text += "block " + std::to_string(random() % 5000) + "; ";
  text.resize(size);
  return text;
}

const uint8_t* bytesOf(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

// Decodes frame whole through small reads; the status of the first failure.
Status decode(const std::string& frame, std::string* content, const std::string& prefix = "") {
  MemorySource source(bytesOf(frame), frame.size());
  ZstdDecodeSource decoded(source, frame.size(), prefix.empty() ? nullptr : bytesOf(prefix),
                           prefix.size());
  uint8_t piece[1000];
  for (size_t got = sizeof piece; got == sizeof piece;) {
    Status status = decoded.read(piece, sizeof piece, &got);
    if (!status.ok()) return status;
    content->append(reinterpret_cast<const char*>(piece), got);
  }
  return {};
}

TEST(ZstdStream, PiecesAndPrefixesRoundTripAndTheHeaderNamesTheSize) {
  const std::string content = sample(700000, 1);
  ZstdSettings settings;
  settings.level = 3;
  settings.windowLog = 20;
  settings.longMatching = true;
  std::unique_ptr<ZstdEncoder> encoder;
  ASSERT_TRUE(ZstdEncoder::create(settings, content.size(), &encoder).ok());
  std::string frame;
  for (size_t at = 0; at < content.size(); at += 65536) {
    ASSERT_TRUE(encoder->add(bytesOf(content) + at, std::min<size_t>(65536, content.size() - at),
                             &frame)
                    .ok());
  }
  ASSERT_TRUE(encoder->finish(&frame).ok());
  EXPECT_TRUE(isZstdFrame(bytesOf(frame), frame.size()));
  EXPECT_EQ(zstdContentSize(bytesOf(frame), 18), content.size());
  std::string decoded;
  ASSERT_TRUE(decode(frame, &decoded).ok());
  EXPECT_EQ(decoded, content);

  // Against a prefix the new version costs little, and needs that prefix.
  std::string newer = content.substr(0, 300000) + "changed" + content.substr(300000);
  ZstdSettings from = settings;
  from.prefix = bytesOf(content);
  from.prefixSize = content.size();
  from.windowLog = windowLogFor(content.size() + newer.size());
  std::string patch;
  ASSERT_TRUE(zstdCompress(from, bytesOf(newer), newer.size(), &patch).ok());
  EXPECT_LT(patch.size(), frame.size() / 20);
  decoded.clear();
  ASSERT_TRUE(decode(patch, &decoded, content).ok());
  EXPECT_EQ(decoded, newer);
  decoded.clear();
  EXPECT_FALSE(decode(patch, &decoded, sample(content.size(), 2)).ok());
}

TEST(ZstdStream, DamagedCutOverlongAndTooWideFramesAreRefused) {
  const std::string content = sample(200000, 3);
  ZstdSettings settings;
  settings.level = 1;
  std::string frame;
  ASSERT_TRUE(zstdCompress(settings, bytesOf(content), content.size(), &frame).ok());
  std::string decoded;

  std::string cut = frame.substr(0, frame.size() / 2);
  EXPECT_EQ(decode(cut, &decoded).kind(), Status::Kind::kCorrupt);
  std::string garbled = frame;
  garbled[garbled.size() / 2] ^= 0x55;
  decoded.clear();
  EXPECT_FALSE(decode(garbled, &decoded).ok());
  decoded.clear();
  EXPECT_EQ(decode(frame + "tail", &decoded).message(), "zstd: bytes after the frame");
  decoded.clear();
  EXPECT_FALSE(decode("not a frame at all", &decoded).ok());

  // A window above what a player holds is refused before it is allocated.
  settings.windowLog = kMaxZstdWindowLog + 1;
  std::string huge(size_t(130) << 20, 'x');
  std::string wide;
  ASSERT_TRUE(zstdCompress(settings, bytesOf(huge), huge.size(), &wide).ok());
  decoded.clear();
  EXPECT_EQ(decode(wide, &decoded).kind(), Status::Kind::kTooLarge);
  EXPECT_TRUE(decoded.empty());
}

}  // namespace
}  // namespace quor
