// Settling the updater's old copy at the start of a run.

#include "update/file_apply.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

namespace quor {
namespace {

using testing::ScopedCurrentDir;
using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

TEST(FileApply, OldExecutableIsRemovedAtStartOrPutBackWhenTheUpdaterIsMissing) {
  TempDir dir;
  ScopedCurrentDir here{dir.path()};
  settleOldExecutable();  // neither file: nothing to do
  EXPECT_TRUE(fs::is_empty(dir.path()));

  writeFile("updater.exe", "new");
  writeFile("updater_old.exe", "old");
  settleOldExecutable();
  EXPECT_EQ(testing::readFile("updater.exe"), "new");
  EXPECT_FALSE(fs::exists("updater_old.exe"));

  // A replacement cut off between its two renames.
  fs::rename("updater.exe", "updater_old.exe");
  settleOldExecutable();
  EXPECT_EQ(testing::readFile("updater.exe"), "new");
  EXPECT_FALSE(fs::exists("updater_old.exe"));
}

}  // namespace
}  // namespace quor
