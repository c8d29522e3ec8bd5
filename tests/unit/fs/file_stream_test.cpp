#include "fs/file_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "test_support.h"

namespace quor {
namespace {

using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

TEST(FileStream, PiecesReadAndWrittenThroughAFixedBuffer) {
  TempDir dir;
  std::vector<uint8_t> data = testing::randomBytes(10000, 4);
  writeFile(dir / "in", data);
  std::unique_ptr<FileSource> reader;
  ASSERT_TRUE(FileSource::open(dir / "in", &reader).ok());
  EXPECT_EQ(reader->size(), data.size());
  std::string path = dir / "out";
  writeFile(path, "previous");
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
  {
    std::unique_ptr<TemporaryCopySink> copy;
    ASSERT_TRUE(TemporaryCopySink::create(path, &copy).ok());
    uint8_t buffer[3000];
    size_t got = 0;
    do {
      ASSERT_TRUE(reader->read(buffer, sizeof buffer, &got).ok());
      ASSERT_TRUE(copy->write(buffer, got).ok());
    } while (got != 0);
    const uint8_t header[] = {'H', 'E', 'A', 'D'};
    ASSERT_TRUE(copy->finish(header, sizeof header).ok());
  }
  EXPECT_EQ(testing::readFile(path), "previous");  // until the copy is moved in
  ASSERT_TRUE(moveTemporaryCopyInto(path).ok());
  std::vector<uint8_t> expected = data;
  std::copy_n("HEAD", 4, expected.begin());
  EXPECT_EQ(testing::readBytes(path), expected);
#ifndef _WIN32
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
#endif

  // An unfinished copy goes away with its writer; the target stays.
  {
    std::unique_ptr<TemporaryCopySink> copy;
    ASSERT_TRUE(TemporaryCopySink::create(path, &copy).ok());
    ASSERT_TRUE(copy->write(data.data(), 10).ok());
  }
  EXPECT_FALSE(fs::exists(path + kTemporarySuffix));
  EXPECT_EQ(testing::readBytes(path), expected);

  std::unique_ptr<FileSource> none;
  Status missing = FileSource::open(dir / "missing", &none);
  EXPECT_EQ(missing.message().rfind("cannot read " + (dir / "missing") + ": ", 0), 0u);
  EXPECT_FALSE(FileSource::open(dir.path(), &none).ok());  // a folder
  std::unique_ptr<TemporaryCopySink> nowhere;
  Status opened = TemporaryCopySink::create(dir / "no/such/folder/f", &nowhere);
  EXPECT_EQ(opened.message().rfind("cannot write " + (dir / "no/such/folder/f") + ": ", 0), 0u);
}

}  // namespace
}  // namespace quor
