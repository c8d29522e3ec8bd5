// Update mode when things go wrong: a file that never comes, no server, a
// missing or cut manifest, and the updater replacing itself.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "dataset/manifest.h"
#include "update_fixture.h"

namespace quor::testing {
namespace {

namespace fs = std::filesystem;

bool waitForFile(const std::string& path) {
  for (int i = 0; i < 250 && !exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return exists(path);
}

// A copy of the published data that a test may damage.
std::string copyOfData(UpdateScenario& scenario, const std::string& name) {
  std::string copy = scenario.root() / name;
  fs::copy(scenario.dataFolder(), copy, fs::copy_options::recursive);
  return copy;
}

class UpdateFailures : public ::testing::Test {
 protected:
  void SetUp() override { scenario.publish(versionOne(), versionTwo()); }
  UpdateScenario scenario;
};

TEST_F(UpdateFailures, AFileThatNeverComesRestartsTheUpdater) {
  std::string data = copyOfData(scenario, "damaged");
  // Neither encoding of it is there.
  uint32_t number = fileNumberOf(data, "./data/quor/new/deep/n.bin");
  fs::remove(data + "/" + wholeFileName(number));
  fs::remove(data + "/" + dataFileName(number, DataKind::kZstdWhole));
  scenario.startServer(data);
  std::string player = scenario.makePlayer("player", versionOne());
  auto start = std::chrono::steady_clock::now();
  std::string stream = scenario.root() / "events.jsonl";
  RunResult run = scenario.runUpdater(player, {"--quor", "--progress-json", stream});
  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_GT(took, std::chrono::seconds(14 + 5));
  std::string log = readFile(player + "/updater.log");
  EXPECT_NE(log.find("failed to fetch: "), std::string::npos) << log;
  EXPECT_NE(log.find("updater got stuck when updating file: "), std::string::npos) << log;
  EXPECT_NE(log.find(": Restarting in 5 seconds\n: Press ctrl+c to abort\n"
                     ": If this keeps repeating, please report to developer, thank you!\n"),
            std::string::npos);
  EXPECT_EQ(log.find("updates applied"), std::string::npos);
  ASSERT_TRUE(waitForFile(player + "/updater_restarted.txt"));
  EXPECT_EQ(readFile(player + "/updater_restarted.txt"),
            updaterBinary() + " --quor --progress-json " + stream + "\n");
  EXPECT_FALSE(exists(player + "/game_started.txt"));
  std::vector<nlohmann::json> events = readEvents(stream, player + "/updater.log");
  ASSERT_EQ(eventsNamed(events, "end").size(), 1u);
  EXPECT_EQ(eventsNamed(events, "end")[0]["result"], "restart");
  EXPECT_EQ(eventsNamed(events, "end")[0]["game_started"], false);
}

TEST_F(UpdateFailures, NoServerChangesNothingAndTheGameStillStarts) {
  Build v1 = versionOne();
  std::string player = scenario.makePlayer("player", v1);
  scenario.writeServerList(player, 9);  // nothing listens there
  RunResult run = scenario.runUpdater(player, {"--quor"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(scenario.compare(player, v1), "");
  std::string log = readFile(player + "/updater.log");
  EXPECT_NE(log.find(": |||| Failed to connect to server \"test server\" (127.0.0.1) on port 9!\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("no connection to an update server: nothing was updated"), std::string::npos);
  EXPECT_EQ(log.find("Deleting files"), std::string::npos);
  EXPECT_TRUE(waitForFile(player + "/game_started.txt"));
}

TEST_F(UpdateFailures, MissingOrCutManifestChangesNothing) {
  std::string noManifest = copyOfData(scenario, "no_manifest");
  fs::remove(noManifest + "/manifest.manifest");
  std::string cut = copyOfData(scenario, "cut_manifest");
  std::string manifest = readFile(cut + "/manifest.manifest");
  writeFile(cut + "/manifest.manifest", manifest.substr(0, manifest.size() / 2));

  Build v1 = versionOne();
  for (const auto& [data, line] :
       {std::pair{noManifest, "the server sent an empty manifest: nothing was updated"},
        std::pair{cut, "the manifest is incomplete: nothing was updated"}}) {
    scenario.startServer(data);
    std::string player = scenario.makePlayer(fs::path(data).filename().string() + "_player", v1);
    RunResult run = scenario.runUpdater(player);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(scenario.compare(player, v1), "");
    std::string log = readFile(player + "/updater.log");
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find("Deleting files"), std::string::npos);
    EXPECT_FALSE(exists(player + "/updater_restarted.txt"));
  }
}

TEST_F(UpdateFailures, TheUpdaterReplacesItselfAndTheNextStartRemovesTheOldCopy) {
  // Comments long enough that a patch of the updater pays.
  Build v1 = versionOne();
  for (int line = 0; line < 80; ++line) v1["updater.exe"] += "# line " + std::to_string(line) + "\n";
  Build v2 = versionTwo();
  v2["updater.exe"] = v1["updater.exe"] + "echo new updater\n";
  scenario.publish(v1, v2);
  scenario.startServer();
  std::string player = scenario.makePlayer("player", v1);
  ASSERT_EQ(scenario.runUpdater(player).exitCode, 0);
  EXPECT_EQ(scenario.compare(player, v2), "");
  EXPECT_EQ(readFile(player + "/updater_old.exe"), v1.at("updater.exe"));
  // The updater is always fetched whole, though a patch for it exists.
  std::string number = std::to_string(fileNumberOf(scenario.dataFolder(), "./updater.exe"));
  EXPECT_TRUE(exists(scenario.dataFolder() + "/" + number + ".patch"));
  EXPECT_NE(scenario.serverOutput().find("Served " + number + ".zst"), std::string::npos);
  EXPECT_EQ(scenario.serverOutput().find("Served " + number + ".z"), 
            scenario.serverOutput().find("Served " + number + ".zst"));
  ASSERT_EQ(scenario.runUpdater(player, {"--h"}).exitCode, 0);
  EXPECT_FALSE(exists(player + "/updater_old.exe"));
}

}  // namespace
}  // namespace quor::testing
