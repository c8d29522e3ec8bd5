// Update data files larger than one packet: fetched in pieces, staged on
// disk, resumed after a cut, and still served to a client without ranges.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "dataset/layout.h"
#include "dataset/manifest.h"
#include "update_fixture.h"

namespace quor::testing {
namespace {

namespace fs = std::filesystem;

// More than one packet carries at ENet's default datagram size (32 MiB),
// and hardly compressible, so that its container is as large.
constexpr size_t kBigSize = 36u << 20;
// Larger than a piece, so that a patch too is applied piece by piece.
constexpr size_t kMediumSize = 3u << 20;

std::string randomText(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes = randomBytes(size, seed);
  return std::string(bytes.begin(), bytes.end());
}

Build withLargeFiles(Build build, uint32_t version) {
  build["data/quor/packs/big.pak"] = randomText(kBigSize, 77);
  std::string medium = randomText(kMediumSize, 78);
  if (version == 2) medium.replace(kMediumSize / 2, 9, "version 2");
  build["data/quor/packs/medium.pak"] = medium;
  return build;
}

// What update_server has written to its sockets and files so far.
uint64_t bytesWrittenBy(int pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "wchar:") return value;
  }
  return 0;
}

std::string stagedPart(const std::string& player, const std::string& dataFolder,
                       const std::string& path) {
  Bytes bytes = readBytes(dataFolder + "/" + kManifestName);
  uint32_t number = readManifest(bytes.data(), bytes.size()).files.at(path).fileNumber;
  return player + "/" + kStagingFolderName + "/" + wholeFileName(number) + ".part";
}

// Starts the updater and kills it once part holds at least bytes: a cut in
// the middle of the big file.
uint64_t killWhileStaging(UpdateScenario& scenario, const std::string& player,
                          const std::string& part) {
  BackgroundProcess updater({updaterBinary()}, player);
  uint64_t staged = 0;
  for (int i = 0; i < 60000 && updater.running(); ++i) {
    std::error_code ec;
    staged = fs::file_size(part, ec);
    if (!ec && staged >= kBigSize / 3) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  updater.stop(SIGKILL);
  std::error_code ec;
  staged = fs::file_size(part, ec);
  (void)scenario;
  return ec ? 0 : staged;
}

TEST(LargeFiles, InstallPatchResumeAndRepublish) {
  UpdateScenario scenario;
  Build v1 = withLargeFiles(versionOne(), 1);
  Build v2 = withLargeFiles(versionTwo(), 2);
  scenario.publish(v1, v2);
  scenario.startServer();

  // A fresh install, cut in the middle of the big file, then resumed: the
  // second run fetches what was missing and the pieces in flight at most.
  std::string fresh = scenario.makePlayer("fresh", {});
  std::string part = stagedPart(fresh, scenario.dataFolder(), "./data/quor/packs/big.pak");
  uint64_t staged = killWhileStaging(scenario, fresh, part);
  ASSERT_GT(staged, 0u) << "the updater was not caught while staging";
  ASSERT_LT(staged, kBigSize);
  uint64_t before = bytesWrittenBy(scenario.server()->pid());
  RunResult resumed = scenario.runUpdater(fresh);
  uint64_t sent = bytesWrittenBy(scenario.server()->pid()) - before;
  ASSERT_EQ(resumed.exitCode, 0) << resumed.output;
  EXPECT_EQ(scenario.compare(fresh, v2), "");
  EXPECT_FALSE(fs::exists(fresh + "/" + kStagingFolderName + "/" +
                          fs::path(part).filename().string()));
  uint64_t published = 0;
  for (const auto& [path, content] : v2) published += content.size();
  EXPECT_LT(sent, published - staged + (20u << 20)) << "staged " << staged << ", sent " << sent;

  // A version-1 player gets the big file unchanged and the medium one by a
  // patch applied piece by piece.
  std::string old = scenario.makePlayer("old", v1);
  RunResult patched = scenario.runUpdater(old);
  ASSERT_EQ(patched.exitCode, 0) << patched.output;
  EXPECT_EQ(scenario.compare(old, v2), "");
  EXPECT_EQ(readFile(old + "/updater.log").find(": Patched: 0\n"), std::string::npos);

  // Pieces of a file that has been published again since are not used.
  std::string again = scenario.makePlayer("again", {});
  std::string againPart = stagedPart(again, scenario.dataFolder(), "./data/quor/packs/big.pak");
  ASSERT_GT(killWhileStaging(scenario, again, againPart), 0u);
  std::string republished = fs::path(againPart).filename().stem().string();
  fs::last_write_time(scenario.dataFolder() + "/" + republished,
                      fs::file_time_type::clock::now() + std::chrono::hours(1));
  before = bytesWrittenBy(scenario.server()->pid());
  RunResult fetchedAgain = scenario.runUpdater(again);
  sent = bytesWrittenBy(scenario.server()->pid()) - before;
  ASSERT_EQ(fetchedAgain.exitCode, 0) << fetchedAgain.output;
  EXPECT_EQ(scenario.compare(again, v2), "");
  EXPECT_GT(sent, kBigSize) << "the old pieces were kept";
}

}  // namespace
}  // namespace quor::testing
#endif
