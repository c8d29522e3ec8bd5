// Drills of failing disk writes during an update: a folder where a file
// must go, a file where a folder must go, and a read-only folder and file
// for an updater running as an unprivileged user (root ignores permission
// bits, so that case runs the updater through setpriv). Each failure is
// reported with a line naming the path, nothing in its way is destroyed,
// and every other file is updated.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "update_fixture.h"

namespace quor::testing {
namespace {

namespace fs = std::filesystem;

// Differences between folder and expected, ignoring the paths in skip.
std::string compareExcept(const UpdateScenario& scenario, const std::string& folder, Build expected,
                          const std::vector<std::string>& skip) {
  for (const std::string& path : skip) expected.erase(path);
  std::string differences = scenario.compare(folder, expected);
  std::string kept;
  size_t at = 0;
  while (at < differences.size()) {
    size_t end = differences.find('\n', at);
    std::string line = differences.substr(at, end - at);
    bool skipped = false;
    for (const std::string& path : skip) skipped |= line.find(path) != std::string::npos;
    if (!skipped) kept += line + "\n";
    at = end + 1;
  }
  return kept;
}

// Prints the error lines of a drill run, for the test output.
void printErrors(const std::string& log) {
  const std::string marker = "#### ERROR \n";
  for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
    size_t begin = at + marker.size();
    std::cout << "  updater.log error: " << log.substr(begin, log.find('\n', begin) - begin)
              << std::endl;
  }
}

class DiskFaultDrill : public ::testing::Test {
 protected:
  void SetUp() override {
    scenario.publish(v1, v2);
    scenario.startServer();
  }

  UpdateScenario scenario;
  Build v1 = versionOne();
  Build v2 = versionTwo();
};

TEST_F(DiskFaultDrill, AFolderWhereAFileMustGoIsReportedAndKept) {
  // data/quor/b.bin and the new data/quor/new/deep/n.bin each find a
  // folder in their place; the one holding a protected save must survive.
  Build start = v1;
  start.erase("data/quor/b.bin");
  std::string player = scenario.makePlayer("player", start);
  fs::create_directories(player + "/data/quor/b.bin");
  fs::create_directories(player + "/data/quor/new/deep/n.bin/inner");

  RunResult run = scenario.runUpdater(player);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::string log = readFile(player + "/updater.log");
  printErrors(log);
  EXPECT_NE(log.find("cannot write ./data/quor/b.bin: "), std::string::npos) << log;
  EXPECT_NE(log.find("cannot write ./data/quor/new/deep/n.bin: "), std::string::npos) << log;
  EXPECT_TRUE(fs::is_directory(player + "/data/quor/b.bin"));
  EXPECT_TRUE(fs::is_directory(player + "/data/quor/new/deep/n.bin/inner"));
  EXPECT_EQ(compareExcept(scenario, player, v2, {"data/quor/b.bin", "data/quor/new/deep/n.bin"}),
            "");
}

TEST_F(DiskFaultDrill, AStrayFileWhereAFolderMustGoIsClearedByTheUpdate) {
  // data/quor/new is a file the manifest does not list, in the update's
  // own folders: the update deletes it and makes the folder in its place.
  std::string player = scenario.makePlayer("player", v1);
  writeFile(player + "/data/quor/new", "a stray file");

  RunResult run = scenario.runUpdater(player);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(readFile(player + "/data/quor/new/deep/n.bin") == v2["data/quor/new/deep/n.bin"]);
  EXPECT_EQ(scenario.compare(player, v2), "");
}

TEST_F(DiskFaultDrill, ReadOnlyFolderAndFileForAnUnprivilegedUpdater) {
  if (geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) {
    GTEST_SKIP() << "needs root and setpriv to run the updater as another user";
  }
  // The game folder belongs to nobody (65534), except data/quor/maps,
  // which stays root's and read-only: its a.map cannot be replaced, and
  // the file maps/sub, where the new version needs a folder, can be
  // neither deleted nor replaced. data/common/c.txt is read-only but in a
  // writable folder.
  Build v3 = v2;
  v3["data/quor/maps/sub/m.bin"] = "a map in a new folder";
  scenario.publish(v1, v3);
  std::string player = scenario.makePlayer("player", v1);
  writeFile(player + "/data/quor/maps/sub", "the player's file");
  for (const auto& entry : fs::recursive_directory_iterator(player)) {
    ASSERT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(chown(player.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown((player + "/data/quor/maps").c_str(), 0, 0), 0);
  ASSERT_EQ(chown((player + "/data/quor/maps/a.map").c_str(), 0, 0), 0);
  ASSERT_EQ(chown((player + "/data/quor/maps/sub").c_str(), 0, 0), 0);
  fs::permissions(player + "/data/quor/maps", fs::perms::owner_read | fs::perms::owner_exec |
                                                  fs::perms::group_read | fs::perms::group_exec |
                                                  fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(player + "/data/common/c.txt",
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(scenario.root().path(), fs::perms::others_exec, fs::perm_options::add);

  RunResult run = runProgram(
      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", updaterBinary()},
      player);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::string log = readFile(player + "/updater.log");
  printErrors(log);
  EXPECT_NE(log.find("cannot write ./data/quor/maps/a.map: Permission denied"), std::string::npos)
      << log;
  EXPECT_NE(log.find("./data/quor/maps/sub"), std::string::npos) << log;
  EXPECT_TRUE(readFile(player + "/data/quor/maps/a.map") == v1["data/quor/maps/a.map"]);
  EXPECT_EQ(readFile(player + "/data/quor/maps/sub"), "the player's file");
  EXPECT_EQ(compareExcept(scenario, player, v3, {"data/quor/maps/a.map", "data/quor/maps/sub"}),
            "");
  EXPECT_EQ(fs::directory_iterator(player + "/data/quor/maps") == fs::directory_iterator(), false);
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(player + "/data/quor/maps")) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 2u) << "only a.map and sub, no temporary file";
}

}  // namespace
}  // namespace quor::testing
#endif
