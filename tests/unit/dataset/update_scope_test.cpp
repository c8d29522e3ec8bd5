#include <gtest/gtest.h>

#include <filesystem>

#include "dataset/update_scope.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::ScopedCurrentDir;
using testing::TempDir;

class UpdateScope : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedCurrentDir here{dir.path()};
};

TEST_F(UpdateScope, ShippedDataIsInAndOtherDataIsOut) {
  EXPECT_TRUE(isInUpdateScope("./data/quor/maps/a.map", false));
  EXPECT_TRUE(isInUpdateScope("./data/common/fonts/b.ttf", false));
  EXPECT_FALSE(isInUpdateScope("./data/other/c.bin", false));
  EXPECT_FALSE(isInUpdateScope("./data/other/c.bin", true));
  EXPECT_TRUE(isInUpdateScope("./quor.exe", false));
  EXPECT_TRUE(isInUpdateScope("./updater.exe", false));
}

TEST_F(UpdateScope, LogAndEditorDataAreNeverInEvenWithFull) {
  for (bool full : {false, true}) {
    EXPECT_FALSE(isInUpdateScope("./updater.log", full));
    EXPECT_FALSE(isInUpdateScope("./logs/updater.log.old", full));
    EXPECT_FALSE(isInUpdateScope("./updater.version", full));
    EXPECT_FALSE(isInUpdateScope("./editor_data/x.dat", full));
  }
}

TEST_F(UpdateScope, ProtectedFoldersProtectOnlyWhileTheyExist) {
  EXPECT_TRUE(isInUpdateScope("./saves/game1.sav", false));  // fresh install
  std::filesystem::create_directory("saves");
  EXPECT_FALSE(isInUpdateScope("./saves/game1.sav", false));
  EXPECT_TRUE(isInUpdateScope("./saves/game1.sav", true));
  EXPECT_FALSE(isInUpdateScope("./saves/data/quor/x", false));
  EXPECT_TRUE(isInUpdateScope("./settings/servers.config", false));
  std::filesystem::create_directory("settings");
  EXPECT_FALSE(isInUpdateScope("./settings/servers.config", false));
}

TEST_F(UpdateScope, AFileNamedLikeTheFolderProtectsToo) {
  testing::writeFile("server_data", "not a folder");
  EXPECT_FALSE(isInUpdateScope("./server_data/update_data/0.compressed", false));
}

TEST_F(UpdateScope, MatchingIsCaseSensitive) {
  EXPECT_TRUE(isInUpdateScope("./Data/x", false));
  EXPECT_TRUE(isInUpdateScope("./DATA/other/x", false));
  std::filesystem::create_directory("saves");
  EXPECT_TRUE(isInUpdateScope("./Saves/x", false));
}

TEST_F(UpdateScope, ManifestPathsInAnotherCaseAreOutWhereNamesIgnoreCase) {
  std::filesystem::create_directory("saves");
  std::filesystem::create_directory("settings");
  for (const char* path : {"./SAVES/game1.sav", "./Settings/servers.config", "./DATA/other/x",
                           "./Editor_Data/e", "./UPDATER.LOG"}) {
    EXPECT_FALSE(isInUpdateScopeInAnyCase(path, false, true)) << path;
  }
  EXPECT_TRUE(isInUpdateScopeInAnyCase("./Data/Quor/maps/a.map", false, true));
  EXPECT_TRUE(isInUpdateScopeInAnyCase("./SAVES/game1.sav", true, true));  // --full
  EXPECT_FALSE(isInUpdateScopeInAnyCase("./EDITOR_DATA/e", true, true));
  // A Linux folder may ignore case too (vfat, casefold): the rule holds everywhere.
  EXPECT_FALSE(isInUpdateScopeInAnyCase("./SAVES/game1.sav", false));
  // Where case tells names apart, these are other files than the player's.
  EXPECT_TRUE(isInUpdateScopeInAnyCase("./SAVES/game1.sav", false, false));
  EXPECT_TRUE(isInUpdateScopeInAnyCase("./Settings/servers.config", false, false));
}

TEST_F(UpdateScope, AnUnanswerableQueryCountsAsPresent) {
  if (!testing::fileModesEnforced()) GTEST_SKIP() << "file modes do not keep this process out";
  std::filesystem::create_directory("locked");
  std::filesystem::create_directory("locked/saves");
  ScopedCurrentDir inside("locked");
  std::filesystem::permissions(".", std::filesystem::perms::none);
  // "./saves" cannot be queried at all here: access is denied, not "not found".
  EXPECT_FALSE(isInUpdateScope("./saves/x.sav", false));
}

}  // namespace
}  // namespace quor
