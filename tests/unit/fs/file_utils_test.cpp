#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "fs/file_utils.h"
#include "status_values.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::ScopedCurrentDir;
using testing::TempDir;
using testing::writeFile;

std::vector<std::string> sorted(std::vector<std::string> list) {
  std::sort(list.begin(), list.end());
  return list;
}

TEST(FileUtils, ListingFilesDepthFirstWithTheRootAsWritten) {
  TempDir dir;
  writeFile(dir / "a.txt", "a");
  writeFile(dir / "d/b.txt", "b");
  writeFile(dir / "d/e/f.txt", "f");
  writeFile(dir / ".hidden", "h");
  std::filesystem::create_directories(dir / "empty/deeper");
  ScopedCurrentDir here(dir.path());
  Status error;
  EXPECT_EQ(sorted(testing::listedFiles("./", &error)),
            (std::vector<std::string>{"./.hidden", "./a.txt", "./d/b.txt", "./d/e/f.txt"}));
  EXPECT_TRUE(error.ok());
  EXPECT_EQ(sorted(testing::listedFiles("./d", &error)),
            (std::vector<std::string>{"./d/b.txt", "./d/e/f.txt"}));
  EXPECT_EQ(sorted(testing::listedFiles("d/", &error)),
            (std::vector<std::string>{"d/b.txt", "d/e/f.txt"}));
}

TEST(FileUtils, ListingAFoldersContentsStandTogether) {
  TempDir dir;
  for (const char* name : {"x1", "x2", "x3"}) writeFile(dir / (std::string("d/") + name), "");
  writeFile(dir / "a", "");
  writeFile(dir / "z", "");
  ScopedCurrentDir here(dir.path());
  std::vector<std::string> files = testing::listedFiles("./", nullptr);
  auto first = std::find(files.begin(), files.end(), "./d/x1");
  ASSERT_NE(first, files.end());
  // Depth first: whatever order d's files come in, they are adjacent.
  auto inD = [](const std::string& p) { return p.rfind("./d/", 0) == 0; };
  auto begin = std::find_if(files.begin(), files.end(), inD);
  EXPECT_TRUE(std::all_of(begin, begin + 3, inD));
}

TEST(FileUtils, ListingFoldersBeforeTheirContents) {
  TempDir dir;
  writeFile(dir / "d/e/f.txt", "f");
  std::filesystem::create_directories(dir / "g");
  ScopedCurrentDir here(dir.path());
  std::vector<std::string> folders = testing::listedFolders("./", nullptr);
  ASSERT_EQ(sorted(folders), (std::vector<std::string>{"./d", "./d/e", "./g"}));
  EXPECT_LT(std::find(folders.begin(), folders.end(), "./d"),
            std::find(folders.begin(), folders.end(), "./d/e"));
}

TEST(FileUtils, ListingMissingRootIsEmptyAndAFileRootIsAnError) {
  TempDir dir;
  writeFile(dir / "file", "x");
  Status error;
  EXPECT_TRUE(testing::listedFiles(dir / "missing", &error).empty());
  EXPECT_TRUE(error.ok());
  EXPECT_TRUE(testing::listedFiles(dir / "file", &error).empty());
  EXPECT_NE(error.message().find("cannot read folder " + (dir / "file")), std::string::npos) << error.message();
}

TEST(FileUtils, CreateParentFoldersCreatesEveryMissingLevel) {
  TempDir dir;
  ScopedCurrentDir here(dir.path());
  EXPECT_TRUE(createParentFolders("./data/new/deeper/x.bin").ok());
  EXPECT_TRUE(std::filesystem::is_directory("./data/new/deeper"));
  EXPECT_TRUE(createParentFolders("./x.bin").ok());
  EXPECT_TRUE(createParentFolders("x.bin").ok());
  writeFile("blocker", "file in the way");
  Status error = createParentFolders("./blocker/inner/x.bin");
  EXPECT_NE(error.message().find("cannot create folder ./blocker/inner"), std::string::npos) << error.message();
}

TEST(FileUtils, PathInCurrentFolderAsAScanWouldListIt) {
  std::string here = std::filesystem::current_path().generic_string();
  EXPECT_EQ(pathInCurrentFolder("events.jsonl"), "./events.jsonl");
  EXPECT_EQ(pathInCurrentFolder("./logs/../logs//e.jsonl"), "./logs/e.jsonl");
  EXPECT_EQ(pathInCurrentFolder(here + "/logs/e.jsonl"), "./logs/e.jsonl");
  for (std::string outside : {"", ".", "../e.jsonl", "logs/../../e.jsonl", "/e.jsonl"}) {
    EXPECT_EQ(pathInCurrentFolder(outside), "") << outside;
  }
}

}  // namespace
}  // namespace quor
