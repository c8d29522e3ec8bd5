#include "container/container_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "base/byte_stream.h"
#include "container/container.h"
#include "test_support.h"

namespace quor {
namespace {

struct Verdict {
  Status::Kind kind;
  std::string message;
  Bytes content;
};

std::string encoded(uint32_t type, const Bytes& data) {
  std::ostringstream out;
  EXPECT_TRUE(containerEncode(type, data.data(), uint32_t(data.size()), out).ok());
  return out.str();
}

Verdict whole(uint32_t type, const std::string& container) {
  std::istringstream in(container);
  Bytes content;
  Status status = containerDecode(type, in, &content);
  return {status.kind(), status.message(), content};
}

// Pulls the content pull bytes at a time; finish() must agree.
Verdict pulled(uint32_t type, const std::string& container, size_t pull) {
  MemorySource source(reinterpret_cast<const uint8_t*>(container.data()), container.size());
  ContainerReader reader(source);
  Status status = reader.open(type);
  Bytes content;
  size_t got = pull;
  while (status.ok() && got == pull) {
    content.resize(content.size() + pull);
    status = reader.read(content.data() + content.size() - pull, pull, &got);
    content.resize(content.size() - pull + (status.ok() ? got : 0));
  }
  if (status.kind() != Status::Kind::kNotFound) {
    Status finished = reader.finish();
    EXPECT_EQ(finished.message(), status.message());
  }
  if (!status.ok()) content.clear();
  return {status.kind(), status.message(), content};
}

void setU32(std::string& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = char(value >> (8 * i));
}

// A good container and the ways it can be damaged: every cut and flip in
// the header and the last bytes, steps of them in between.
std::vector<std::string> damagedVersions(const std::string& good, uint32_t contentLength,
                                         size_t steps) {
  const size_t size = good.size();
  const uint32_t bodyLength = uint32_t(size - kContainerHeaderSize);
  std::vector<std::string> versions{good};
  const size_t stride = std::max<size_t>(1, size / steps);
  for (size_t cut = 0; cut < size; cut += cut < 48 || cut + 16 > size ? 1 : stride) {
    versions.push_back(good.substr(0, cut));
  }
  // Cuts where the reader's 256 KiB input buffer is refilled.
  for (size_t refill = kContainerHeaderSize + (256 << 10); refill + 1 < size; refill += 256 << 10) {
    for (size_t cut : {refill - 1, refill, refill + 1}) versions.push_back(good.substr(0, cut));
  }
  for (size_t at = 0; at < size; at += at < 48 || at + 8 > size ? 1 : stride) {
    for (char mask : {char(0x01), char(0xFF)}) {
      versions.push_back(good);
      versions.back()[at] = char(versions.back()[at] ^ mask);
    }
  }
  for (uint32_t length : {0u, 1u, 2u, bodyLength - 4, bodyLength - 1, bodyLength + 1,
                          bodyLength + 100, 0xFFFFFFFFu}) {
    versions.push_back(good);
    setU32(versions.back(), 32, length);
  }
  std::vector<uint32_t> contentLengths{0, 1, contentLength - 1, contentLength + 1};
  // containerDecode spends up to 1032 bytes per body byte on this lie.
  if (size < 64 * 1024) contentLengths.push_back(0xFFFFFFFF);
  for (uint32_t length : contentLengths) {
    versions.push_back(good);
    setU32(versions.back(), 36, length);
  }
  // Garbage after the zlib stream, inside the body and after it.
  versions.push_back(good + "garbage");
  setU32(versions.back(), 32, bodyLength + 7);
  versions.push_back(good + "garbage");
  // An empty body, and a header that asks for a preset dictionary.
  versions.push_back(good.substr(0, kContainerHeaderSize));
  setU32(versions.back(), 32, 0);
  versions.push_back(good);
  uint8_t flags = 0x20;
  while ((0x78 * 256 + flags) % 31 != 0) ++flags;
  versions.back()[kContainerHeaderSize + 1] = char(flags);
  return versions;
}

TEST(ContainerReader, AgreesWithContainerDecodeOnDamagedContainers) {
  Bytes text;
  for (int i = 0; i < 20000; ++i) text.push_back(uint8_t("quor data "[i % 10]));
  Bytes small = testing::randomBytes(3000, 7);
  small.insert(small.end(), text.begin(), text.end());
  // Larger than the reader's input buffer, compressed or not.
  Bytes large = testing::randomBytes(320 * 1024, 8);
  for (int i = 0; i < 30; ++i) large.insert(large.end(), text.begin(), text.end());

  struct Sample {
    uint32_t type;
    Bytes content;
    std::vector<size_t> pulls;
    size_t steps;
  };
  std::vector<Sample> samples{
      {generic, {}, {1, 4096}, 1},
      {world_xml, {'x'}, {1, 4096}, 1},
      {binary_patch, small, {61, 4093, size_t(1) << 20}, 200},
      {generic, large, {65521}, 12},
  };
  int sound = 0;
  for (const Sample& sample : samples) {
    std::string good = encoded(sample.type, sample.content);
    std::vector<std::string> versions =
        damagedVersions(good, uint32_t(sample.content.size()), sample.steps);
    std::vector<uint32_t> types{generic, binary_patch};
    if (sample.type != generic && sample.type != binary_patch) types.push_back(sample.type);
    for (const std::string& container : versions) {
      for (uint32_t type : types) {
        Verdict expected = whole(type, container);
        if (expected.kind == Status::Kind::kOk) ++sound;
        for (size_t pull : sample.pulls) {
          SCOPED_TRACE("size " + std::to_string(container.size()) + " type " +
                       std::to_string(type) + " pull " + std::to_string(pull));
          Verdict actual = pulled(type, container, pull);
          ASSERT_EQ(actual.message, expected.message);
          ASSERT_EQ(actual.kind, expected.kind);
          ASSERT_TRUE(actual.content == expected.content);
        }
      }
    }
  }
  EXPECT_GT(sound, 20);  // the damage left some containers sound
}

}  // namespace
}  // namespace quor
