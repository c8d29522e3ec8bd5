// Update data files larger than one packet: fetched in pieces, staged on
// disk, resumed after a cut, and still served to a client without ranges.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
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

Build withLargeFiles(Build build, uint32_t version) {
  build["data/quor/packs/big.pak"] = randomText(kBigSize, 77);
  std::string medium = randomText(kMediumSize, 78);
  if (version == 2) medium.replace(kMediumSize / 2, 9, "version 2");
  build["data/quor/packs/medium.pak"] = medium;
  // Files of two to four pieces, collected in memory with the rest of
  // each asked for as soon as its first piece comes.
  for (uint32_t i = 0; i < 8; ++i) {
    std::string small = randomText((300u + 90u * i) << 10, 80 + i);
    if (version == 2 && i % 2 == 0) small.replace(small.size() / 3, 9, "version 2");
    build["data/quor/packs/small" + std::to_string(i) + ".pak"] = small;
  }
  return build;
}

size_t connectionsSoFar(UpdateScenario& scenario) {
  std::string output = scenario.serverOutput();
  size_t count = 0;
  for (size_t at = 0; (at = output.find("Client connected: ", at)) != std::string::npos; ++at) {
    ++count;
  }
  return count;
}

size_t occurrences(const std::string& text, const std::string& pattern) {
  size_t count = 0;
  for (size_t at = 0; (at = text.find(pattern, at)) != std::string::npos; at += pattern.size()) {
    ++count;
  }
  return count;
}

// The bytes the server sent to the client of its connection number index
// (from 0): the sum over every connection of that client (they share its
// address), from the lines the server logs when they end; waits for them
// a while.
uint64_t bytesSentOverConnection(UpdateScenario& scenario, size_t index) {
  for (int i = 0; i < 300; ++i) {
    std::string output = scenario.serverOutput();
    size_t at = 0;
    for (size_t n = 0; at != std::string::npos && n <= index; ++n) {
      at = output.find("Client connected: ", n == 0 ? 0 : at + 1);
    }
    if (at != std::string::npos) {
      std::string peer = output.substr(at + 18, output.find('\n', at) - at - 18);
      std::string ended = "Client disconnected: " + peer + " (";
      if (occurrences(output, ended) == occurrences(output, "Client connected: " + peer + "\n")) {
        uint64_t sent = 0;
        for (size_t end = 0; (end = output.find(ended, end)) != std::string::npos; ++end) {
          sent += std::stoull(output.substr(end + ended.size()));
        }
        return sent;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ADD_FAILURE() << "no end of connection " << index << " in:\n" << scenario.serverOutput();
  return 0;
}

std::string stagedPart(const std::string& player, const std::string& dataFolder,
                       const std::string& path) {
  std::vector<uint8_t> bytes = readBytes(dataFolder + "/" + kManifestName);
  uint32_t number = readManifest(bytes.data(), bytes.size()).files.at(path).fileNumber;
  return player + "/" + kStagingFolderName + "/" + wholeDataName(dataFolder, number) + ".part";
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
  bool saveWritten = fs::exists(fresh + "/saves/default.sav");  // before the cut, by the order
  size_t connection = connectionsSoFar(scenario);
  RunResult resumed = scenario.runUpdater(fresh);
  ASSERT_EQ(resumed.exitCode, 0) << resumed.output;
  uint64_t sent = bytesSentOverConnection(scenario, connection);
  // The cut-off run created the manifest's folders, so saves/ is the
  // player's own by the next run and its file is left alone: there only if
  // the cut-off run had written it.
  Build v2WithoutSaves = v2;
  if (!saveWritten) v2WithoutSaves.erase("saves/default.sav");
  EXPECT_EQ(scenario.compare(fresh, v2WithoutSaves), "");
  EXPECT_FALSE(fs::exists(fresh + "/" + kStagingFolderName));
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
  Build againExpected = v2;
  if (!fs::exists(again + "/saves/default.sav")) againExpected.erase("saves/default.sav");
  std::string republished = fs::path(againPart).filename().stem().string();
  fs::last_write_time(scenario.dataFolder() + "/" + republished,
                      fs::file_time_type::clock::now() + std::chrono::hours(1));
  connection = connectionsSoFar(scenario);
  RunResult fetchedAgain = scenario.runUpdater(again);
  ASSERT_EQ(fetchedAgain.exitCode, 0) << fetchedAgain.output;
  sent = bytesSentOverConnection(scenario, connection);
  EXPECT_EQ(scenario.compare(again, againExpected), "");
  EXPECT_GT(sent, kBigSize) << "the old pieces were kept";

  // A server without ranges still brings a version-1 player up to date:
  // its files fit one packet each.
  scenario.startServer("", {"--no-ranges"});
  std::string plain = scenario.makePlayer("plain", v1);
  RunResult whole = scenario.runUpdater(plain);
  ASSERT_EQ(whole.exitCode, 0) << whole.output;
  EXPECT_EQ(scenario.compare(plain, v2), "");
  EXPECT_NE(scenario.serverOutput().find("Served "), std::string::npos);
}

}  // namespace
}  // namespace quor::testing
#endif
