// The updater killed at several points of a large update: every next run
// repairs what the last one left, and no temporary file survives.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <thread>

#include "update_fixture.h"

namespace quor::testing {
namespace {

namespace fs = std::filesystem;

Build largeBuild(uint32_t version) {
  Build build;
  for (uint32_t i = 0; i < 300; ++i) {
    std::vector<uint8_t> bytes = randomBytes(10000 + (i * 7919) % 90000, i);
    if (version == 2 && i % 3 != 0) bytes[bytes.size() / 2] ^= 0xFF;  // two in three change
    if (version == 2 && i % 5 == 0) bytes.resize(bytes.size() / 2);
    build["data/quor/pack" + std::to_string(i / 50) + "/f" + std::to_string(i) + ".bin"] =
        std::string(bytes.begin(), bytes.end());
  }
  build["updater.exe"] = "#!/bin/sh\n";
  return build;
}

std::vector<std::string> temporaryFiles(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.path().string().find(".quor_tmp") != std::string::npos) {
      found.push_back(entry.path().string());
    }
  }
  return found;
}

TEST(InterruptedUpdate, EveryRunAfterAKillRepairsTheFolder) {
  UpdateScenario scenario;
  Build v1 = largeBuild(1);
  Build v2 = largeBuild(2);
  scenario.publish(v1, v2);
  scenario.startServer();
  std::string player = scenario.makePlayer("player", v1);

  // Kill points: right after the deletion starts, then at growing delays
  // into the transfer.
  const std::pair<const char*, int> killPoints[] = {
      {"Deleting files...", 0},           {"Getting updates from server...", 0},
      {"Getting updates from server...", 20}, {"Getting updates from server...", 150},
      {"Getting updates from server...", 600}};
  for (const auto& [line, delayMs] : killPoints) {
    BackgroundProcess updater({updaterBinary()}, player);
    ASSERT_TRUE(updater.waitForOutput(line, 60)) << updater.output();
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(updater.pid(), SIGKILL);
    updater.stop(SIGKILL);
  }
  RunResult last = scenario.runUpdater(player);
  ASSERT_EQ(last.exitCode, 0) << last.output;
  EXPECT_EQ(scenario.compare(player, v2), "");
  EXPECT_EQ(temporaryFiles(player), std::vector<std::string>{});
  EXPECT_NE(readFile(player + "/updater.log").find(": No remaining file requests\n"),
            std::string::npos);
}

}  // namespace
}  // namespace quor::testing
