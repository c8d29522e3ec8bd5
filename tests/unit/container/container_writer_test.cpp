#include "container/container_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "container/container.h"
#include "fs/file_io.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::LogCapture;
using testing::TempDir;
namespace fs = std::filesystem;

std::string encodedInMemory(uint32_t type, const Bytes& data) {
  std::ostringstream out;
  EXPECT_TRUE(containerEncode(type, data.data(), static_cast<uint32_t>(data.size()), out).ok());
  return out.str();
}

// Hands out data in pieces of the given sizes, in turn, whatever the
// capacity offered (up to it).
ContainerSource pieces(const Bytes& data, std::vector<size_t> sizes) {
  return [&data, sizes, offset = size_t(0), turn = size_t(0)](
             uint8_t* buffer, size_t capacity, size_t* got) mutable {
    *got = std::min({sizes[turn++ % sizes.size()], capacity, data.size() - offset});
    std::copy_n(data.begin() + offset, *got, buffer);
    offset += *got;
    return Status();
  };
}

Bytes compressible(size_t size) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i) data[i] = uint8_t("game data, game data "[i % 21] + i / 50000);
  return data;
}

// Random bytes, then text: both kinds of block in one stream.
Bytes mixed(size_t size, uint32_t seed) {
  Bytes data = testing::randomBytes(size / 2, seed);
  Bytes text = compressible(size - data.size());
  data.insert(data.end(), text.begin(), text.end());
  return data;
}

TEST(ContainerWriter, SameBytesAsCompress2WhateverTheSizeAndPieces) {
  TempDir dir;
  const size_t piece = kContainerPieceSize;
  // zlib's own buffers at level 9: 16 Ki symbols per block, a 32 KiB
  // window in a 64 KiB buffer; then the reading piece and several MiB.
  std::vector<size_t> sizes = {0,         1,         2,         257,       16383,
                               16384,     16385,     32767,     32768,     32769,
                               65535,     65536,     65537,     piece - 1, piece,
                               piece + 1, 2 * piece, 3 * piece + 17};
  uint32_t seed = 1;
  for (size_t size : sizes) {
    for (const Bytes& data : {testing::randomBytes(size, seed++), compressible(size)}) {
      SCOPED_TRACE(std::to_string(size) + " bytes");
      testing::writeFile(dir / "in", data);
      ASSERT_TRUE(containerEncodeFile(generic, dir / "in", dir / "out").ok());
      EXPECT_EQ(testing::readFile(dir / "out"), encodedInMemory(generic, data));
    }
  }
  Bytes large = mixed(6 << 20, 9);
  testing::writeFile(dir / "in", large);
  ASSERT_TRUE(containerEncodeFile(mesh, dir / "in", dir / "out").ok());
  std::string expected = encodedInMemory(mesh, large);
  EXPECT_EQ(testing::readFile(dir / "out"), expected);
  // A source that gives fewer bytes than asked changes nothing.
  ASSERT_TRUE(containerEncodeToFile(mesh, pieces(large, {1, 7, 65537, 4096, piece}),
                                    dir / "pieces").ok());
  EXPECT_EQ(testing::readFile(dir / "pieces"), expected);
  EXPECT_FALSE(fs::exists(dir / ("out" + std::string(kTemporarySuffix))));

  LogCapture log;  // an unknown type: the blank tag, and one line, as in memory
  Bytes small = mixed(5000, 3);
  ASSERT_TRUE(containerEncodeToFile(9, pieces(small, {1000}), dir / "unknown").ok());
  EXPECT_EQ(log.count("unknown compressed file type 9"), 1);
  EXPECT_EQ(testing::readFile(dir / "unknown"), encodedInMemory(generic, small));
}

TEST(ContainerWriter, FailuresLeaveTheOutputAsItWas) {
  TempDir dir;
  Bytes data = testing::randomBytes(3 * kContainerPieceSize, 5);
  std::string out = dir / "out";
  testing::writeFile(out, "previous");
  auto expectUntouched = [&](const Status& status, const std::string& message) {
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.message().rfind(message, 0), 0u) << status.message();
    EXPECT_EQ(testing::readFile(out), "previous");
    EXPECT_FALSE(fs::exists(out + kTemporarySuffix));
  };

  expectUntouched(containerEncodeFile(generic, dir / "missing", out),
                  "cannot read " + (dir / "missing") + ": ");
  size_t calls = 0;  // a source failing after two pieces
  ContainerSource failing = [&](uint8_t* buffer, size_t capacity, size_t* got) {
    *got = 0;
    if (++calls > 2) return Status::ioError("cannot read in: gone");
    std::copy_n(data.begin(), capacity, buffer);
    *got = capacity;
    return Status();
  };
  expectUntouched(containerEncodeToFile(generic, failing, out), "cannot read in: gone");
  // Random bytes deflate to a little more than themselves: a limit equal
  // to the input's length lets the input through but not the body.
  Status body = containerEncodeToFile(generic, pieces(data, {4096}), out, data.size());
  expectUntouched(body, "zlib: not enough space in the buffer to compress");
  EXPECT_EQ(body.kind(), Status::Kind::kTooLarge);
  Status input = containerEncodeToFile(generic, pieces(data, {4096}), out, data.size() - 1);
  expectUntouched(input, "the input is larger than a container holds");
  EXPECT_EQ(input.kind(), Status::Kind::kTooLarge);

  testing::writeFile(dir / "in", data);
  Status unwritable = containerEncodeFile(generic, dir / "in", dir / "no/such/folder/out");
  EXPECT_EQ(unwritable.message().rfind("cannot write " + (dir / "no/such/folder/out") + ": ", 0),
            0u);
  fs::create_directories(dir / "occupied/inner");  // a folder where the file goes
  EXPECT_FALSE(containerEncodeFile(generic, dir / "in", dir / "occupied").ok());
  EXPECT_TRUE(fs::is_directory(dir / "occupied/inner"));
  EXPECT_FALSE(fs::exists(dir / ("occupied" + std::string(kTemporarySuffix))));
}

}  // namespace
}  // namespace quor
