#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "fs/file_io.h"
#include "status_values.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

TEST(FileIo, ReadWholeFileReadsOrSaysWhy) {
  TempDir dir;
  writeFile(dir / "f", "content");
  writeFile(dir / "empty", "");
  EXPECT_EQ(testing::wholeFile(dir / "f", nullptr), (std::vector<uint8_t>{'c', 'o', 'n', 't', 'e', 'n', 't'}));
  EXPECT_EQ(testing::wholeFile(dir / "empty", nullptr), std::vector<uint8_t>{});
  Status error;
  EXPECT_FALSE(testing::wholeFile(dir / "missing", &error));
  EXPECT_EQ(error.message().rfind("cannot read " + (dir / "missing") + ": ", 0), 0u) << error.message();
  EXPECT_FALSE(testing::wholeFile(dir.path(), &error));  // a folder
}

TEST(FileIo, WriteFileAtomicallyReplacesWholeAndKeepsPermissions) {
  TempDir dir;
  std::string path = dir / "game.exe";
  writeFile(path, "old");
  fs::permissions(path, fs::perms::owner_all);
  const uint8_t content[] = {'n', 'e', 'w'};
  EXPECT_TRUE(writeFileAtomically(path, content, 3).ok());
  EXPECT_EQ(testing::readFile(path), "new");
#ifndef _WIN32  // Windows keeps no POSIX modes: a writable file reads as 0777.
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_all);
#endif
  EXPECT_FALSE(fs::exists(path + kTemporarySuffix));
  EXPECT_TRUE(writeFileAtomically(dir / "zero", nullptr, 0).ok());
  EXPECT_EQ(fs::file_size(dir / "zero"), 0u);
}

TEST(FileIo, WriteFileAtomicallyFailuresLeaveTheTargetAndNoTemporary) {
  TempDir dir;
  const uint8_t content[] = {'x'};
  Status missingFolder = writeFileAtomically(dir / "no/such/folder/f", content, 1);
  EXPECT_EQ(missingFolder.message().rfind("cannot write " + (dir / "no/such/folder/f") + ": ", 0), 0u);

  fs::create_directories(dir / "occupied/inner");  // a folder where the file goes
  EXPECT_FALSE(writeFileAtomically(dir / "occupied", content, 1).ok());
  EXPECT_TRUE(fs::is_directory(dir / "occupied/inner"));
  EXPECT_FALSE(fs::exists(dir / ("occupied" + std::string(kTemporarySuffix))));
}

}  // namespace
}  // namespace quor
