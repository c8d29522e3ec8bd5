#include <gtest/gtest.h>

#include <filesystem>

#include "fs/file_io.h"
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
  EXPECT_EQ(readWholeFile(dir / "f", nullptr), (std::vector<uint8_t>{'c', 'o', 'n', 't', 'e', 'n', 't'}));
  EXPECT_EQ(readWholeFile(dir / "empty", nullptr), std::vector<uint8_t>{});
  FsError error;
  EXPECT_FALSE(readWholeFile(dir / "missing", &error));
  EXPECT_EQ(error.rfind("cannot read " + (dir / "missing") + ": ", 0), 0u) << error;
  EXPECT_FALSE(readWholeFile(dir.path(), &error));  // a folder
}

TEST(FileIo, WriteFileAtomicallyReplacesWholeAndKeepsPermissions) {
  TempDir dir;
  std::string path = dir / "game.exe";
  writeFile(path, "old");
  fs::permissions(path, fs::perms::owner_all);
  const uint8_t content[] = {'n', 'e', 'w'};
  EXPECT_EQ(writeFileAtomically(path, content, 3), "");
  EXPECT_EQ(testing::readFile(path), "new");
#ifndef _WIN32  // Windows keeps no POSIX modes: a writable file reads as 0777.
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_all);
#endif
  EXPECT_FALSE(fs::exists(path + kTemporarySuffix));
  EXPECT_EQ(writeFileAtomically(dir / "zero", nullptr, 0), "");
  EXPECT_EQ(fs::file_size(dir / "zero"), 0u);
}

TEST(FileIo, WriteFileAtomicallyFailuresLeaveTheTargetAndNoTemporary) {
  TempDir dir;
  const uint8_t content[] = {'x'};
  FsError missingFolder = writeFileAtomically(dir / "no/such/folder/f", content, 1);
  EXPECT_EQ(missingFolder.rfind("cannot write " + (dir / "no/such/folder/f") + ": ", 0), 0u);

  fs::create_directories(dir / "occupied/inner");  // a folder where the file goes
  EXPECT_NE(writeFileAtomically(dir / "occupied", content, 1), "");
  EXPECT_TRUE(fs::is_directory(dir / "occupied/inner"));
  EXPECT_FALSE(fs::exists(dir / ("occupied" + std::string(kTemporarySuffix))));
}

}  // namespace
}  // namespace quor
