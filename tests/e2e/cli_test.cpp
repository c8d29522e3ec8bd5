// The updater program end to end: options, help, the write check and the
// log file. Each run pays the program's real pauses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "test_support.h"

namespace quor {
namespace {

using testing::readFile;
using testing::RunResult;
using testing::runProgram;
using testing::TempDir;
using testing::updaterBinary;
namespace fs = std::filesystem;

const char* kHelpLines =
    ": --quor - start game after update\n"
    ": --create - create update data into server_data/update_data/\n"
    ": --old - next parameter specifies path to old quor folder\n"
    ": --full - updates and deletes also files that aren't usually updated, like settings, "
    "saves, server and editor data ()\n"
    ": --wait - wait 24s to get some chance to connect to this when attaching debugger\n";

RunResult runUpdater(const TempDir& game, std::vector<std::string> args) {
  args.insert(args.begin(), updaterBinary());
  return runProgram(args, game.path());
}

TEST(Cli, HelpPrintsFiveLinesAfterTheBanner) {
  for (const char* option : {"--help", "--h"}) {
    TempDir game;
    RunResult run = runUpdater(game, {option});
    EXPECT_EQ(run.exitCode, 0);
    std::string log = readFile(game / "updater.log");
    EXPECT_EQ(log.rfind(": ## Starting log\n: =====", 0), 0u) << log;
    EXPECT_NE(log.find(std::string(kHelpLines)), std::string::npos) << log;
    EXPECT_EQ(run.output, log);  // the console shows the same records
    EXPECT_FALSE(testing::exists(game / "QUOR_WRITE_TEST.FILE"));
  }
}

TEST(Cli, BannerIsSevenLinesOf53Characters) {
  TempDir game;
  runUpdater(game, {"--h"});
  std::string log = readFile(game / "updater.log");
  size_t at = log.find('\n') + 1;
  for (int line = 0; line < 7; ++line) {
    size_t end = log.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(end - at, 2u + 53u) << log.substr(at, end - at);
    at = end + 1;
  }
  EXPECT_EQ(log.substr(at, std::string(kHelpLines).size()), kHelpLines);
}

TEST(Cli, OldPathErrorsEndWithoutScanning) {
  TempDir game;
  testing::writeFile(game / "somefile", "x");
  RunResult missing = runUpdater(game, {"--old"});
  EXPECT_EQ(missing.exitCode, 0);
  EXPECT_NE(readFile(game / "updater.log").find(": missing old path? use --help\n"),
            std::string::npos);
  RunResult notFolder = runUpdater(game, {"--create", "--old", "somefile"});
  EXPECT_EQ(notFolder.exitCode, 0);
  std::string log = readFile(game / "updater.log");
  EXPECT_NE(log.find(": old path is not directory? use --help\n"), std::string::npos);
  EXPECT_EQ(log.find("Creating update data"), std::string::npos);
  EXPECT_EQ(log.find("missing old path"), std::string::npos);  // a new run, a new log
}

// Runs the updater as an unprivileged user in a folder owned by root, or,
// when the tests do not run as root, in a folder without write permission.
TEST(Cli, UnwritableFolderGetsTheBoxedMessageAndNoLog) {
  TempDir root;
  fs::permissions(root.path(), fs::perms::all & ~fs::perms::group_write & ~fs::perms::others_write);
  std::string binary = root / "updater";
  fs::copy_file(updaterBinary(), binary);
  fs::create_directory(root / "game");
  std::vector<std::string> command = {binary};
  if (geteuid() == 0) {
    command = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", binary};
  } else {
    fs::permissions(root / "game", fs::perms::owner_read | fs::perms::owner_exec);
  }
  RunResult run = runProgram(command, root / "game");
  EXPECT_EQ(run.exitCode, 255);  // -1
  EXPECT_EQ(run.output,
            "########################################\n"
            "####  ERROR: unable to write files  ####\n"
            "########################################\n"
            "\n"
            "Game is probably in a location with restricted write permissions\n"
            "for example \"c:/program files/\".\n"
            "Please move your game folder to different directory\n");
  EXPECT_FALSE(testing::exists(root / "game/updater.log"));
}

TEST(Cli, UnreadableFolderIsReportedWithANonZeroExit) {
  TempDir root;
  fs::permissions(root.path(), fs::perms::all & ~fs::perms::group_write & ~fs::perms::others_write);
  std::string binary = root / "updater";
  fs::copy_file(updaterBinary(), binary);
  fs::create_directories(root / "game/data/quor/secret");
  std::vector<std::string> command = {binary};
  if (geteuid() == 0) {
    // The game folder belongs to the player; one folder in it does not.
    chown((root / "game").c_str(), 65534, 65534);
    chown((root / "game/data").c_str(), 65534, 65534);
    chown((root / "game/data/quor").c_str(), 65534, 65534);
    fs::permissions(root / "game/data/quor/secret", fs::perms::owner_all);
    command = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", binary};
  } else {
    fs::permissions(root / "game/data/quor/secret", fs::perms::none);
  }
  RunResult run = runProgram(command, root / "game");
  EXPECT_EQ(run.exitCode, 2);
  std::string log = readFile(root / "game/updater.log");
  EXPECT_NE(log.find("#### ERROR \ncannot read folder ./data/quor/secret: "), std::string::npos)
      << log;
  EXPECT_EQ(log.find("Fetching manifest"), std::string::npos);
}

}  // namespace
}  // namespace quor
