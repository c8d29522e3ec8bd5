// The files the update server serves: which names are plain file names,
// and which entries of the folder are looked up and read.

#include "server/served_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "protocol/file_update_messages.h"
#include "protocol/passthrough_messages.h"
#include "protocol/transport_limits.h"
#include "test_support.h"

namespace quor {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

TEST(ServedFiles, OnlyPlainNamesArePlainFileNames) {
  for (const char* name : {"17.patch", "manifest.manifest", "a b", ".hidden", "x.y.z"}) {
    EXPECT_TRUE(isPlainFileName(name)) << name;
  }
  for (const std::string& name : std::vector<std::string>{"", "..", "../x", "a/b", "/etc/passwd", "a\\b", "C:x", "c:\\x", "a..b", "dir/",
                           std::string("a\0b", 3)}) {
    EXPECT_FALSE(isPlainFileName(name)) << name;
  }
}

TEST(ServedFiles, LookUpServesOnlyRegularFilesOfTheFolder) {
  TempDir dir;
  std::string folder = dir / "data";
  writeFile(folder + "/file", "12345");
  writeFile(dir / "outside", "secret");
  fs::create_directories(folder + "/folder");
#ifndef _WIN32  // the Windows C++ library makes no symbolic links
  fs::create_symlink(dir / "outside", folder + "/link");
#endif

  FileLookup file = lookUpServedFile(folder, "file");
  EXPECT_EQ(file.refusal, "");
  EXPECT_EQ(file.size, 5u);
  uint8_t bytes[5];
  ASSERT_TRUE(readServedFile(folder, "file", bytes, 5).ok());
  EXPECT_EQ(std::string(bytes, bytes + 5), "12345");

  EXPECT_EQ(lookUpServedFile(folder, "missing").refusal, "no such file");
  EXPECT_EQ(lookUpServedFile(folder, "folder").refusal, "not a regular file");
#ifndef _WIN32
  EXPECT_EQ(lookUpServedFile(folder, "link").refusal, "not a regular file");
#endif
  EXPECT_EQ(lookUpServedFile(folder, "../outside").refusal, "not a plain file name");
  EXPECT_EQ(lookUpServedFile(folder, dir / "outside").refusal, "not a plain file name");
}

TEST(ServedFiles, FileOfAnotherSizeThanLookedUpIsAFailure) {
  TempDir dir;
  writeFile(dir / "file", "123");
  uint8_t bytes[8];
  EXPECT_FALSE(readServedFile(dir.path(), "file", bytes, 8).ok());
  EXPECT_FALSE(readServedFile(dir.path(), "file", bytes, 2).ok());  // grew since the lookup
  EXPECT_TRUE(readServedFile(dir.path(), "file", bytes, 3).ok());
  EXPECT_FALSE(readServedFile(dir.path(), "gone", bytes, 1).ok());
}

TEST(ServedFiles, RangesAreReadInPlaceAndVersionedByWriteTimeAndSize) {
  TempDir dir;
  writeFile(dir / "file", "0123456789");
  uint8_t bytes[4] = {};
  ASSERT_TRUE(readServedRange(dir.path(), "file", 6, bytes, 4).ok());
  EXPECT_EQ(std::string(bytes, bytes + 4), "6789");
  EXPECT_FALSE(readServedRange(dir.path(), "file", 7, bytes, 4).ok());
  EXPECT_FALSE(readServedRange(dir.path(), "file", 11, bytes, 1).ok());
  EXPECT_FALSE(readServedRange(dir.path(), "gone", 0, bytes, 1).ok());

  FileLookup first = lookUpServedRangeFile(dir.path(), "file");
  EXPECT_EQ(first.size, 10u);
  EXPECT_EQ(lookUpServedRangeFile(dir.path(), "file").version, first.version);
  writeFile(dir / "file", "01234567890");
  EXPECT_NE(lookUpServedRangeFile(dir.path(), "file").version, first.version);
  EXPECT_EQ(lookUpServedRangeFile(dir.path(), "../file").refusal, "not a plain file name");
}

TEST(ServedFiles, FilesAboveOneGibibyteAreRefusedWholeAndFourInRanges) {
  TempDir dir;
  writeFile(dir / "huge", "");
  fs::resize_file(dir / "huge", kMaxFileBytes + 1);  // sparse: no disk space used
  EXPECT_EQ(lookUpServedFile(dir.path(), "huge").refusal, "larger than 1 GiB");
  EXPECT_EQ(lookUpServedRangeFile(dir.path(), "huge").refusal, "");
  fs::resize_file(dir / "huge", kMaxFileBytes);
  EXPECT_EQ(lookUpServedFile(dir.path(), "huge").refusal, "");
  fs::resize_file(dir / "huge", kMaxRangeFileBytes);
  EXPECT_EQ(lookUpServedRangeFile(dir.path(), "huge").size, kMaxRangeFileBytes);
  fs::resize_file(dir / "huge", kMaxRangeFileBytes + 1);
  EXPECT_EQ(lookUpServedRangeFile(dir.path(), "huge").refusal, "4 GiB or larger");
}

}  // namespace
}  // namespace quor
