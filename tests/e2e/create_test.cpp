// Create mode end to end on the built program.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "container/container.h"
#include "dataset/manifest.h"
#include "patch/patch.h"
#include "status_values.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::readBytes;
using testing::readFile;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

Bytes decode(const std::string& path, uint32_t type) {
  std::string content = readFile(path);
  return testing::decodedContainer(type, content).value_or(Bytes{0xEE});
}

TEST(CreateProgram, PublishesABuildAgainstAnOlderOne) {
  TempDir root;
  Bytes base = testing::randomBytes(100000, 3);
  Bytes changed = base;
  changed.erase(changed.begin() + 1000, changed.begin() + 1500);
  writeFile(root / "old/data/quor/big.bin", base);
  // A game long enough that a patch of its changed line pays.
  std::string game;
  for (int line = 0; line < 80; ++line) game += "game line " + std::to_string(line) + "\n";
  writeFile(root / "old/quor.exe", game + "old game");
  writeFile(root / "new/data/quor/big.bin", changed);
  writeFile(root / "new/quor.exe", game + "new game");
  writeFile(root / "new/settings/servers.config", "main\n127.0.0.1\n7777\n");
  writeFile(root / "new/data/common/empty", "");
  fs::create_directories(root / "new/server_data/update_data/stale");

  // A launcher's event stream in the build folder is no part of the build.
  fs::create_directories(root / "new/logs");
  RunResult run = testing::runProgram({testing::updaterBinary(), "--create", "--old", "..\\old\\",
                                       "--progress-json", "logs/../logs/events.jsonl"},
                                      root / "new");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(readFile(root / "new/logs/events.jsonl").find("\"event\":\"exit\""), std::string::npos);
  std::string log = readFile(root / "new/updater.log");
  EXPECT_NE(log.find(": --create - no update, but create manifest and patches\n"),
            std::string::npos);
  EXPECT_NE(log.find(": Using old data for patch from: ../old\n"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(root / "new/server_data/update_data/stale"));

  std::string folder = root / "new/server_data/update_data/";
  Bytes manifestBytes = readBytes(folder + "manifest.manifest");
  Manifest manifest = readManifest(manifestBytes.data(), manifestBytes.size());
  ASSERT_TRUE(manifest.complete);
  EXPECT_EQ(manifest.files.count("./logs/events.jsonl"), 0u);
  EXPECT_EQ(manifest.emptyFiles, (std::vector<std::string>{"./data/common/empty"}));
  for (const auto& [path, entry] : manifest.files) {
    std::string number = folder + std::to_string(entry.fileNumber);
    if (path == "./updater.log") continue;  // still growing while it was published
    EXPECT_EQ(decode(number + ".compressed", generic), readBytes(root / ("new/" + path)))
        << path;
    bool patched = path == "./data/quor/big.bin" || path == "./quor.exe";
    EXPECT_EQ(fs::exists(number + ".patch"), patched) << path;
    EXPECT_EQ(entry.patchBaseChecksum != 0, patched) << path;
  }
  const ManifestEntry& big = manifest.files.at("./data/quor/big.bin");
  Bytes body = decode(folder + std::to_string(big.fileNumber) + ".patch", binary_patch);
  auto rebuilt = testing::patched(base.data(), static_cast<uint32_t>(base.size()), body.data(),
                                  static_cast<uint32_t>(body.size()));
  ASSERT_TRUE(rebuilt);
  EXPECT_EQ(*rebuilt, changed);
}

TEST(CreateProgram, MissingServerDataEndsWithExitCode3) {
  TempDir game;
  writeFile(game / "quor.exe", "game");
  RunResult run = testing::runProgram({testing::updaterBinary(), "--create"}, game.path());
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_NE(readFile(game / "updater.log").find("server_data/ not found"), std::string::npos);
  EXPECT_FALSE(fs::exists(game / "server_data"));
}

}  // namespace
}  // namespace quor
