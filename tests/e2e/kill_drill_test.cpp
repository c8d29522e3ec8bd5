// Drill: the updater killed with SIGKILL at random points of a 300-file
// update, ten times in a row, each kill followed by a fresh run. After
// every kill each game file holds one whole version, old or new, never a
// torn mix; the last run ends equal to the published version with no
// temporary file left. The points are drawn from a seed printed with the
// test (QUOR_DRILL_SEED repeats a run).
#ifndef _WIN32
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "dataset/layout.h"
#include "update_fixture.h"

namespace quor::testing {
namespace {

namespace fs = std::filesystem;

// 300 files in nested folders: two in three change, one in five shrinks,
// some are new in version 2 and some are dropped from it.
Build drillBuild(uint32_t version) {
  Build build;
  for (uint32_t i = 0; i < 300; ++i) {
    if (version == 1 && i % 29 == 0) continue;  // new in version 2
    if (version == 2 && i % 31 == 1) continue;  // removed in version 2
    std::vector<uint8_t> bytes = randomBytes(8000 + (i * 7919) % 60000, 1000 + i);
    if (version == 2 && i % 3 != 0) bytes[bytes.size() / 3] ^= 0xA5;
    if (version == 2 && i % 5 == 0) bytes.resize(bytes.size() / 2);
    build["data/" + std::string(i % 2 ? "quor" : "common") + "/set" + std::to_string(i / 40) +
          "/f" + std::to_string(i) + ".bin"] = std::string(bytes.begin(), bytes.end());
  }
  Build standIns = versionOne();
  build["quor.exe"] = standIns["quor.exe"];
  build["updater.exe"] = standIns["updater.exe"];
  return build;
}

uint32_t drillSeed() {
  if (const char* given = std::getenv("QUOR_DRILL_SEED")) return std::strtoul(given, nullptr, 10);
  return std::random_device{}();
}

std::vector<std::string> temporaryFiles(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.path().filename().string().find(".quor_tmp") != std::string::npos) {
      found.push_back(entry.path().string());
    }
  }
  return found;
}

// Every game file present holds exactly its content of v1 or of v2.
std::string tornFiles(const std::string& folder, const Build& v1, const Build& v2) {
  std::string torn;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::string path = fs::relative(entry.path(), folder).string();
    if (isRunArtifact(path) || path.find(".quor_tmp") != std::string::npos) continue;
    // Pieces of a download are no game file: the next run goes on from
    // them, and the last one must leave none (compare() lists them).
    if (isStagingPath("", path)) continue;
    std::string content = readFile(entry.path().string());
    auto old = v1.find(path);
    auto now = v2.find(path);
    bool whole =
        (old != v1.end() && old->second == content) || (now != v2.end() && now->second == content);
    if (!whole) torn += path + "\n";
  }
  return torn;
}

size_t filesAtVersion(const std::string& folder, const Build& build) {
  size_t count = 0;
  for (const auto& [path, content] : build) {
    count += exists(folder + "/" + path) && readFile(folder + "/" + path) == content;
  }
  return count;
}

TEST(KillDrill, TenRandomKillsThenAFreshRunEndsAtThePublishedVersion) {
  UpdateScenario scenario;
  Build v1 = drillBuild(1);
  Build v2 = drillBuild(2);
  scenario.publish(v1, v2);
  scenario.startServer();
  std::string player = scenario.makePlayer("player", v1);

  uint32_t seed = drillSeed();
  std::cout << "kill drill seed " << seed << " (QUOR_DRILL_SEED repeats it)" << std::endl;
  std::mt19937 random(seed);
  // Anchors along a run, and how far past each one the kill may land. The
  // banner's pause comes before the scan, so "## Starting log" plus up to
  // 4.5 s reaches into the scan, connect and manifest. The transfer of the
  // whole update takes well under a second on loopback, so most kills land
  // within 120 ms of its start, where each run leaves work for the next.
  const std::pair<const char*, int> anchors[] = {{"## Starting log", 4500},
                                                 {"Deleting files...", 30},
                                                 {"Getting updates from server...", 120},
                                                 {"Getting updates from server...", 120},
                                                 {"Getting updates from server...", 120}};
  for (int kill = 0; kill < 10; ++kill) {
    const auto& [line, spreadMs] = anchors[random() % std::size(anchors)];
    int delayMs = static_cast<int>(random() % static_cast<uint32_t>(spreadMs));
    BackgroundProcess updater({updaterBinary()}, player);
    ASSERT_TRUE(updater.waitForOutput(line, 60)) << updater.output();
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    updater.stop(SIGKILL);
    SCOPED_TRACE("kill " + std::to_string(kill) + " at " + line + " + " + std::to_string(delayMs) +
                 " ms");
    EXPECT_EQ(tornFiles(player, v1, v2), "");
    std::cout << "kill " << kill << ": " << line << " + " << delayMs << " ms, "
              << filesAtVersion(player, v2) << " of " << v2.size() << " files new" << std::endl;
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
#endif
