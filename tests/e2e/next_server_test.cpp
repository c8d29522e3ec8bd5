// Update mode with several servers in its list: a run that one server
// fails goes on with the next that answers, in the same run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "update_fixture.h"

namespace quor::testing {
namespace {

namespace fs = std::filesystem;

std::string serverEntry(const std::string& name, int port) {
  return name + "\n127.0.0.1\n" + std::to_string(port) + "\n";
}

// A copy of the data set in which every whole file holds another file's
// data: valid containers that never match the manifest.
std::string tamperedCopy(UpdateScenario& scenario) {
  std::string copy = scenario.root() / "tampered";
  fs::copy(scenario.dataFolder(), copy, fs::copy_options::recursive);
  std::vector<std::string> wholes;
  for (const auto& item : fs::directory_iterator(copy)) {
    if (item.path().extension() == ".compressed") wholes.push_back(item.path().string());
  }
  std::sort(wholes.begin(), wholes.end());
  std::vector<uint8_t> first = readBytes(wholes.front());
  for (size_t i = 0; i + 1 < wholes.size(); ++i) writeFile(wholes[i], readBytes(wholes[i + 1]));
  writeFile(wholes.back(), first);
  return copy;
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

bool waitForExit(BackgroundProcess& process, int seconds) {
  for (int i = 0; i < seconds * 10 && process.running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return !process.running();
}

// One list, four servers: the first never answers, the second sends data
// that fails its checks, the third goes away in the middle of a large
// file, the fourth works. The player ends with the published version in
// one run, without a restart.
TEST(NextServer, EachFailingServerHandsTheRunOnUntilOneWorks) {
  UpdateScenario scenario;
  Build v1 = versionOne();
  Build v2 = versionTwo();
  std::vector<uint8_t> big = randomBytes(6 << 20, 7);
  v2["data/quor/big.pak"] = std::string(big.begin(), big.end());
  scenario.publish(v1, v2, kClassicOnly);  // the tampered copy alters the classic files

  int tamperedPort = 0, vanishingPort = 0, goodPort = 0;
  TempDir cwd;
  auto tampered = startUpdateServer(tamperedCopy(scenario), tamperedPort, cwd.path());
  auto vanishing = startUpdateServer(scenario.dataFolder(), vanishingPort, cwd.path());
  auto good = startUpdateServer(scenario.dataFolder(), goodPort, cwd.path());
  std::string player = scenario.makePlayer("player", v1);
  writeFile(player + "/settings/servers.config",
            serverEntry("silent", 9) + serverEntry("tampered", tamperedPort) +
                serverEntry("vanishing", vanishingPort) + serverEntry("good", goodPort));

  // The cap makes the large file take seconds, so the third server can go
  // while it is on its way.
  BackgroundProcess updater({updaterBinary(), "--quor", "--limit-rate", "1M"}, player);
  ASSERT_TRUE(updater.waitForOutput("Going on with the next server: \"vanishing\"", 90))
      << updater.output();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  vanishing->stop();
  ASSERT_TRUE(waitForExit(updater, 120)) << updater.output();

  EXPECT_EQ(scenario.compare(player, v2), "");
  std::string log = readFile(player + "/updater.log");
  size_t silent = log.find("Failed to connect to server \"silent\" (127.0.0.1) on port 9!");
  size_t refused = log.find("file does not match the manifest, not written: ");
  size_t toVanishing = log.find("Going on with the next server: \"vanishing\" (127.0.0.1, 127.0.0.1)");
  size_t gettingThere = log.find("Getting updates from server...", toVanishing);
  size_t toGood = log.find("Going on with the next server: \"good\"");
  EXPECT_NE(silent, std::string::npos) << log;
  EXPECT_LT(silent, refused) << log;
  EXPECT_LT(refused, toVanishing) << log;
  EXPECT_LT(gettingThere, toGood) << log;
  EXPECT_NE(toGood, std::string::npos) << log;
  // Each refused whole file was fetched twice from the tampered server.
  EXPECT_GE(countOf(log, "Fetching the whole file again: "), 1u) << log;
  // The tampered server's run names what it could not install.
  EXPECT_EQ(countOf(log, "... updates applied"), 1u) << log;
  EXPECT_EQ(countOf(log, " files were not updated: "), 1u) << log;
  EXPECT_EQ(log.find("Restarting in 5 seconds"), std::string::npos) << log;
  EXPECT_FALSE(exists(player + "/updater_restarted.txt"));
  for (int i = 0; i < 100 && !exists(player + "/game_started.txt"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(exists(player + "/game_started.txt"));
}

// Without a server list there is no next server: one error line says so,
// and the game is started all the same.
TEST(NextServer, AMissingListIsOneErrorLine) {
  UpdateScenario scenario;
  std::string player = scenario.makePlayer("player", versionOne());
  fs::remove(player + "/settings/servers.config");
  RunResult run = scenario.runUpdater(player, {"--quor"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  std::string log = readFile(player + "/updater.log");
  EXPECT_EQ(countOf(log, "servers.config not found, no idea where to connect..."), 1u) << log;
  for (int i = 0; i < 100 && !exists(player + "/game_started.txt"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(exists(player + "/game_started.txt"));
}

}  // namespace
}  // namespace quor::testing
