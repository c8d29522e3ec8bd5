// Update mode end to end: the real updater against the real update_server
// on 127.0.0.1, each test in a game folder of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "net_test_support.h"
#include "dataset/manifest.h"
#include "update_fixture.h"

namespace quor::testing {
namespace {

namespace fs = std::filesystem;

int countOf(const std::string& text, const std::string& needle) {
  int found = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++found;
  }
  return found;
}

// Patches of any kind the server sent.
int patchesServed(const std::string& served) {
  return countOf(served, ".patch (") + countOf(served, ".zdiff (") + countOf(served, ".zfrom (");
}

class UpdateProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    scenario.publish(versionOne(), versionTwo());
    scenario.startServer();
  }
  UpdateScenario scenario;
};

TEST_F(UpdateProgram, EmptyFolderBecomesTheNewVersion) {
  std::string player = scenario.makePlayer("empty", {});
  RunResult run = scenario.runUpdater(player);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(scenario.compare(player, versionTwo()), "") << readFile(player + "/updater.log");
  EXPECT_TRUE(fs::is_directory(player + "/server_data/update_data"));
  std::string log = readFile(player + "/updater.log");
  EXPECT_NE(log.find(": Connection to server succesful!\n"), std::string::npos);
  EXPECT_NE(log.find(": ... manifest received\n"), std::string::npos);
  EXPECT_NE(log.find(": Patched: 0\n"), std::string::npos);
  EXPECT_NE(log.find(": Enet client destroyed\n"), std::string::npos);
  EXPECT_EQ(countOf(scenario.serverOutput(), ".patch ("), 0);
  EXPECT_FALSE(exists(player + "/game_started.txt"));
}

TEST_F(UpdateProgram, OldVersionIsPatchedAndStaleFilesDeleted) {
  Build v1 = versionOne();
  v1["data/other/mod.bin"] = "a mod of the player";
  v1["editor_data/level.dat"] = "editor work";
  std::string player = scenario.makePlayer("v1", v1);
  // Over five connections, each carrying requests of its own, telling a
  // launcher what it does in a file the launcher put in the game folder,
  // which is neither deleted nor counted.
  std::string stream = player + "/events.jsonl";
  RunResult run =
      scenario.runUpdater(player, {"--quor", "--connections", "5", "--progress-json", stream});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::vector<nlohmann::json> events = readEvents(stream, player + "/updater.log");
  std::filesystem::remove(stream);
  Build expected = versionTwo();
  expected["data/other/mod.bin"] = "a mod of the player";
  expected["editor_data/level.dat"] = "editor work";
  EXPECT_EQ(scenario.compare(player, expected), "") << readFile(player + "/updater.log");

  std::string log = readFile(player + "/updater.log");
  // removed.bin, and empty1 (listed among the empty files, made again)
  EXPECT_NE(log.find(": ... 2 deleted\n"), std::string::npos) << log;
  EXPECT_NE(log.find(": Patched: 2\n"), std::string::npos) << log;  // a.map and c.txt
  std::string served = scenario.serverOutput();
  // zstd's patches: their index lists them as smaller than the classic.
  EXPECT_EQ(patchesServed(served), 2) << served;
  EXPECT_EQ(countOf(served, ".patch ("), 0) << served;
  // The manifest, the index, two patches, and the new n.bin and default.sav.
  EXPECT_EQ(countOf(served, "Served "), 1 + 1 + 2 + 2) << served;
  EXPECT_EQ(countOf(served, ".zst ("), 2) << served;
  EXPECT_EQ(countOf(served, "Client connected: "), 5) << served;
  ASSERT_EQ(eventsNamed(events, "server").size(), 1u);
  ASSERT_EQ(eventsNamed(events, "manifest").size(), 1u);
  EXPECT_EQ(eventsNamed(events, "manifest")[0]["files"], 4);
  EXPECT_TRUE(eventsNamed(events, "manifest")[0]["bytes"].is_number());
  std::multiset<std::string> results;
  for (const nlohmann::json& done : eventsNamed(events, "file_done")) results.insert(done["result"]);
  EXPECT_EQ(results, (std::multiset<std::string>{"patched", "patched", "written", "written"}));
  EXPECT_EQ(eventsNamed(events, "file_start").size(), 4u);
  EXPECT_FALSE(eventsNamed(events, "progress").empty());
  ASSERT_EQ(eventsNamed(events, "run_end").size(), 1u);
  EXPECT_EQ(eventsNamed(events, "run_end")[0]["patched"], 2);
  ASSERT_EQ(eventsNamed(events, "end").size(), 1u);
  EXPECT_EQ(eventsNamed(events, "end")[0]["result"], "updated");
  EXPECT_EQ(eventsNamed(events, "end")[0]["game_started"], true);
  EXPECT_EQ(events.back()["exit_code"], 0);
  // The game was started after the finished update, with no arguments.
  for (int i = 0; i < 100 && !exists(player + "/game_started.txt"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(exists(player + "/game_started.txt"));
}

TEST_F(UpdateProgram, LocallyChangedFileIsFetchedWhole) {
  Build v1 = versionOne();
  v1["data/quor/maps/a.map"] += "modded";
  std::string player = scenario.makePlayer("modded", v1);
  RunResult run = scenario.runUpdater(player);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(scenario.compare(player, versionTwo()), "");
  EXPECT_EQ(patchesServed(scenario.serverOutput()), 1);  // c.txt only
}

TEST_F(UpdateProgram, ProtectedFoldersNeedFull) {
  Build v1 = versionOne();
  v1["saves/mine.sav"] = "progress";
  v1["saves/default.sav"] = "changed by playing";
  v1["data/other/keep"] = "x";
  v1["editor_data/e"] = "y";
  std::string player = scenario.makePlayer("saves", v1);
  ASSERT_EQ(scenario.runUpdater(player).exitCode, 0);
  EXPECT_EQ(readFile(player + "/saves/mine.sav"), "progress");
  EXPECT_EQ(readFile(player + "/saves/default.sav"), "changed by playing");

  ASSERT_EQ(scenario.runUpdater(player, {"--full"}).exitCode, 0);
  EXPECT_FALSE(exists(player + "/saves/mine.sav"));
  EXPECT_EQ(readFile(player + "/saves/default.sav"), "published save");
  EXPECT_EQ(readFile(player + "/settings/servers.config"), "published default\n");
  EXPECT_EQ(readFile(player + "/data/other/keep"), "x");
  EXPECT_EQ(readFile(player + "/editor_data/e"), "y");
  EXPECT_TRUE(exists(player + "/updater.log"));
}

TEST_F(UpdateProgram, UpToDateFolderRequestsNothing) {
  std::string player = scenario.makePlayer("current", versionTwo());
  scenario.writeServerList(player, scenario.port());
  ASSERT_EQ(scenario.runUpdater(player).exitCode, 0);
  // The manifest and the encodings index alone.
  EXPECT_EQ(countOf(scenario.serverOutput(), "Served "), 2);
  EXPECT_NE(readFile(player + "/updater.log").find(": Written: 0\n: Patched: 0\n"),
            std::string::npos);
}

// While 200 connections from another address (127.0.0.2, one host each,
// as players behind one carrier NAT) ask for nothing, a player still
// updates over several connections with the server's defaults: a first
// connection is never refused for its address while there is room, and
// the 200 are closed once idle, each with its log line.
TEST_F(UpdateProgram, PlayerUpdatesWhileAnotherAddressHoldsIdleConnections) {
  scenario.startServer("", {"--idle-seconds", "6"});
  std::vector<std::unique_ptr<IdleConnections>> flood;
  for (int i = 0; i < 200; ++i) {
    flood.push_back(std::make_unique<IdleConnections>(scenario.port(), 1, 0, "127.0.0.2"));
  }
  auto serviceFlood = [&flood](size_t& connects, size_t& disconnects) {
    connects = disconnects = 0;
    for (auto& host : flood) {
      host->service();
      connects += host->connects;
      disconnects += host->disconnects;
    }
  };
  size_t connects = 0, disconnects = 0;
  ASSERT_TRUE(waitUntil(
      [&] {
        serviceFlood(connects, disconnects);
        return connects == 200 && disconnects == 0;
      },
      20000))
      << connects << " " << disconnects;

  std::atomic<bool> updating{true};
  std::thread holder([&] {
    size_t c = 0, d = 0;
    while (updating.load()) {
      serviceFlood(c, d);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::string player = scenario.makePlayer("flooded", versionOne());
  RunResult run = scenario.runUpdater(player, {"--connections", "4"});
  updating = false;
  holder.join();
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(scenario.compare(player, versionTwo()), "") << readFile(player + "/updater.log");

  ASSERT_TRUE(waitUntil(
      [&] {
        serviceFlood(connects, disconnects);
        return disconnects == 200;
      },
      30000));
  std::string log = scenario.serverOutput();
  EXPECT_EQ(countOf(log, "|||| Refused connection from 127.0.0.2:"), 0) << log;
  EXPECT_EQ(countOf(log, "Closed idle connection: 127.0.0.2:"), 200);
  EXPECT_EQ(countOf(log, "Client connected: 127.0.0.1:"), 4);
  EXPECT_EQ(countOf(log, "Refused connection from 127.0.0.1:"), 0);
  // The player was in before the first idle connection was closed.
  EXPECT_LT(log.find("Client connected: 127.0.0.1:"), log.find("Closed idle connection: "));
}

// A patch no smaller than the file's compressed copy is not published: the
// manifest's patch base 0 sends a player holding the old file to the whole
// file, while the changes that pay still come as patches.
TEST_F(UpdateProgram, AFileWhosePatchWouldNotPayComesWhole) {
  Build v1 = versionOne();
  Build v2 = versionTwo();
  std::vector<uint8_t> before = randomBytes(20000, 40);
  std::vector<uint8_t> after = randomBytes(20000, 41);
  v1["data/quor/noise.bin"].assign(before.begin(), before.end());
  v2["data/quor/noise.bin"].assign(after.begin(), after.end());
  scenario.publish(v1, v2);
  scenario.startServer();
  std::vector<uint8_t> bytes = readBytes(scenario.dataFolder() + "/manifest.manifest");
  Manifest manifest = readManifest(bytes.data(), bytes.size());
  const ManifestEntry& noise = manifest.files.at("./data/quor/noise.bin");
  EXPECT_EQ(noise.patchBaseChecksum, 0u);
  std::string number = std::to_string(noise.fileNumber);
  for (const char* patch : {".patch", ".zdiff", ".zfrom"}) {
    EXPECT_FALSE(exists(scenario.dataFolder() + "/" + number + patch)) << patch;
  }
  EXPECT_NE(manifest.files.at("./data/common/c.txt").patchBaseChecksum, 0u);

  std::string player = scenario.makePlayer("noisy", v1);
  RunResult run = scenario.runUpdater(player);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(scenario.compare(player, v2), "") << readFile(player + "/updater.log");
  std::string served = scenario.serverOutput();
  EXPECT_NE(served.find("Served " + number + ".zst ("), std::string::npos) << served;
  EXPECT_EQ(patchesServed(served), 2) << served;  // a.map and c.txt
  EXPECT_NE(readFile(player + "/updater.log").find(": Patched: 2\n"), std::string::npos);
}

// A link in the game folder (a player's folder moved to another disk) is
// an opaque entry: create mode publishes neither what a link stands for
// nor loops on a cycle, and the update deletes nothing behind a link,
// writes nothing through one and does not replace it.
// Three releases: a player of each older one is patched, the one two
// releases behind from the patches named by its files' checksums. With
// the index damaged, players fetch what the manifest alone offers.
TEST(UpdateSeries, PlayersSeveralReleasesBehindArePatchedUnlessTheIndexIsDamaged) {
  Build v0 = versionOne();
  v0["data/quor/maps/a.map"].replace(7000, 4000, std::string(4000, 'z'));
  v0["data/common/c.txt"] = v0["data/common/c.txt"].substr(0, 600) + "zeroth version\n";
  const std::vector<std::pair<std::string, Build>> players{
      {"v0", v0}, {"v1", versionOne()}, {"v2", versionTwo()}};
  UpdateScenario scenario;
  scenario.publishSeries({versionOne(), v0}, versionTwo());
  for (bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged index" : "index");
    if (damaged) writeFile(scenario.dataFolder() + "/encodings.index", "quor_encodings 1\n0.zst x 0\n");
    scenario.startServer();
    std::vector<std::string> folders;
    for (const auto& [name, build] : players) {
      folders.push_back(scenario.makePlayer("player-" + name + (damaged ? "d" : ""), build));
    }
    std::vector<RunResult> runs(players.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < players.size(); ++i) {
      threads.emplace_back([&, i] { runs[i] = scenario.runUpdater(folders[i]); });
    }
    for (std::thread& thread : threads) thread.join();
    for (size_t i = 0; i < players.size(); ++i) {
      const std::string& name = players[i].first;
      ASSERT_EQ(runs[i].exitCode, 0) << runs[i].output;
      std::string log = readFile(folders[i] + "/updater.log");
      EXPECT_EQ(scenario.compare(folders[i], versionTwo()), "") << name << log;
      bool patched = name == "v1" || (name == "v0" && !damaged);
      EXPECT_EQ(countOf(log, patched ? ": Patched: 2\n" : ": Patched: 0\n"), 1) << name << log;
      EXPECT_EQ(countOf(log, "fetching the classic update data"), damaged ? 1 : 0) << name;
    }
    std::string served = scenario.serverOutput();
    EXPECT_EQ(patchesServed(served), damaged ? 2 : 4) << served;
    // n.bin and default.sav for v0 and v1, and v0's a.map and c.txt when damaged
    EXPECT_EQ(countOf(served, ".compressed (") + countOf(served, ".zst ("), damaged ? 6 : 4)
        << served;
  }
}

TEST(UpdateLinks, LinksAreLeftAsTheyAreAndNothingBehindThemIsTouched) {
  UpdateScenario scenario;
  const TempDir& root = scenario.root();
  std::string outside = root / "outside";
  writeFile(outside + "/letter.txt", "the player's letter");
  std::string build = root / "build";
  writeBuild(build, {{"quor.exe", "game"},
                     {"data/common/c.txt", "new c"},
                     {"data/common/shared/shipped.txt", "shipped"},
                     {"data/quor/linked.bin", "shipped bin"}});
  fs::create_directories(build + "/server_data");
  fs::create_directory_symlink(outside, build + "/data/quor/elsewhere");
  fs::create_directory_symlink("..", build + "/data/quor/loop");
  RunResult created = runProgram({updaterBinary(), "--create"}, build);
  ASSERT_EQ(created.exitCode, 0) << created.output;
  std::vector<uint8_t> bytes = readBytes(build + "/server_data/update_data/manifest.manifest");
  Manifest manifest = readManifest(bytes.data(), bytes.size());
  ASSERT_TRUE(manifest.complete);
  EXPECT_EQ(manifest.files.count("./data/common/shared/shipped.txt"), 1u);
  std::vector<std::string> published = manifest.folders;
  for (const auto& entry : manifest.files) published.push_back(entry.first);
  for (const std::string& path : published) {
    EXPECT_EQ(path.find("/data/quor/elsewhere"), std::string::npos) << path;
    EXPECT_EQ(path.find("/data/quor/loop"), std::string::npos) << path;
  }
  EXPECT_NE(readFile(build + "/updater.log").find(": link not published: ./data/quor/loop\n"),
            std::string::npos);

  scenario.startServer(build + "/server_data/update_data");
  std::string player = scenario.makePlayer("player", {{"data/common/c.txt", "old c"}});
  fs::create_directory_symlink(outside, player + "/data/common/shared");
  fs::create_directories(player + "/data/quor");
  fs::create_symlink(outside + "/letter.txt", player + "/data/quor/linked.bin");
  RunResult run = scenario.runUpdater(player);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::string log = readFile(player + "/updater.log");
  EXPECT_EQ(readFile(player + "/data/common/c.txt"), "new c") << log;
  EXPECT_EQ(readFile(outside + "/letter.txt"), "the player's letter");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::is_symlink(player + "/data/common/shared"));
  EXPECT_TRUE(fs::is_symlink(player + "/data/quor/linked.bin"));
  EXPECT_NE(log.find(": ... 0 deleted\n"), std::string::npos) << log;
  for (const char* link : {"./data/common/shared (", "./data/quor/linked.bin ("}) {
    EXPECT_NE(log.find("a link in the game folder is left as it is: " + std::string(link)),
              std::string::npos)
        << log;
  }
}

}  // namespace
}  // namespace quor::testing
