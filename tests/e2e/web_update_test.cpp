// Update mode from web servers end to end: the real updater against real
// nginx servers on 127.0.0.1 (tests/support/nginx_server.h): an origin
// over HTTPS with HTTP/2, a caching edge in front of it, servers that
// ignore Range, fail, stall or lie.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include "create/create_mode.h"
#include "dataset/dataset.h"
#include "dataset/layout.h"
#include "dataset/manifest.h"
#include "dataset/signing_keys.h"
#include "create/sign_data_set.h"
#include "nginx_server.h"
#include "update_fixture.h"

namespace quor::testing {
namespace {

namespace fs = std::filesystem;

constexpr size_t kBigSize = 8u << 20;

// v1 and v2 with a big file (staged in pieces) and a few of some pieces.
Build withBigFiles(Build build, uint32_t version) {
  build["data/quor/packs/big.pak"] = randomText(kBigSize, 7);
  for (uint32_t i = 0; i < 4; ++i) {
    std::string file = randomText((400u + 300u * i) << 10, 10 + i);
    if (version == 2) file.replace(file.size() / 2, 9, "version 2");
    build["data/quor/packs/pack" + std::to_string(i) + ".pak"] = file;
  }
  return build;
}

std::string entry(const std::string& name, const std::string& host) {
  return name + "\n" + host + "\n7000\n";
}

std::string stagedPart(const std::string& player, const std::string& dataFolder,
                       const std::string& path) {
  std::vector<uint8_t> bytes = readBytes(dataFolder + "/" + kManifestName);
  uint32_t number = readManifest(bytes.data(), bytes.size()).files.at(path).fileNumber;
  return player + "/" + kStagingFolderName + "/" + wholeDataName(dataFolder, number) + ".part";
}

// Runs the updater, capped at 2 MB/s, and kills it once the big file's
// staging holds a third of it; returns what was staged.
uint64_t killWhileStaging(const std::string& player, const std::string& part) {
  BackgroundProcess updater({updaterBinary(), "--limit-rate", "2M"}, player);
  std::error_code ec;
  for (int i = 0; i < 30000 && updater.running(); ++i) {
    if (fs::file_size(part, ec) >= kBigSize / 3 && !ec) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  updater.stop(SIGKILL);
  uint64_t staged = fs::file_size(part, ec);
  return ec ? 0 : staged;
}

class WebUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    v1 = withBigFiles(versionOne(), 1);
    v2 = withBigFiles(versionTwo(), 2);
    scenario.publish(v1, v2);
  }
  std::string player(const std::string& name, const Build& build, const std::string& list) {
    std::string folder = scenario.makePlayer(name, build);
    writeFile(folder + "/settings/servers.config", list);
    return folder;
  }
  std::string log(const std::string& folder) { return readFile(folder + "/updater.log"); }
  NginxOptions servingData() {
    NginxOptions options;
    options.root = scenario.dataFolder();
    return options;
  }

  UpdateScenario scenario;
  Build v1, v2;
};

// Installs and patches through a caching edge; the origin sends each
// piece once however many players come.
TEST_F(WebUpdate, InstallAndPatchThroughACachingEdge) {
  NginxOptions options = servingData();
  options.edge = true;
  NginxServer web(options);
  std::string list = entry("cdn", web.edgeUrl());
  std::vector<std::string> players = {player("old", v1, list), player("fresh", {}, list),
                                      player("fresh2", {}, list)};
  for (const std::string& folder : players) {
    RunResult run = scenario.runUpdater(folder, {"--quor"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(scenario.compare(folder, v2), "") << log(folder);
    EXPECT_NE(log(folder).find("Web server \"cdn\""), std::string::npos) << log(folder);
  }
  EXPECT_NE(log(players[0]).find(": Patched: 6\n"), std::string::npos) << log(players[0]);
  EXPECT_TRUE(web.originRepeats().empty());
}

// A cut-off download goes on where it stopped; a server that ignores
// Range still installs everything, its whole answers kept on disk.
TEST_F(WebUpdate, ResumesAfterACutAndCopesWithAServerThatIgnoresRange) {
  NginxServer web(servingData());
  std::string fresh = player("fresh", {}, entry("web", web.url()));
  std::string part = stagedPart(fresh, scenario.dataFolder(), "./data/quor/packs/big.pak");
  uint64_t staged = killWhileStaging(fresh, part);
  ASSERT_GT(staged, 0u) << "the updater was not caught while staging";
  ASSERT_LT(staged, kBigSize);
  RunResult resumed = scenario.runUpdater(fresh, {"--quor"});
  ASSERT_EQ(resumed.exitCode, 0) << resumed.output;
  EXPECT_EQ(scenario.compare(fresh, v2), "") << log(fresh);
  uint64_t served = 0;
  for (const auto& [uri, bytes] : web.originBytes()) served += bytes;
  uint64_t published = 0;
  for (const auto& file : fs::directory_iterator(scenario.dataFolder())) {
    published += file.file_size();
  }
  EXPECT_LT(served, published + kBigSize / 2) << "staged " << staged;

  NginxOptions whole = servingData();
  whole.ignoreRange = true;
  NginxServer ignoring(whole);
  std::string other = player("other", {}, entry("whole", ignoring.url()));
  RunResult run = scenario.runUpdater(other, {"--quor"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(scenario.compare(other, v2), "") << log(other);
  EXPECT_FALSE(fs::exists(other + "/" + kStagingFolderName));
}

// The staging of a file published again, smaller, since the cut: the
// server answers 416 and the file starts again in the same run.
TEST_F(WebUpdate, StagingOfAFileRepublishedSmallerStartsAgain) {
  NginxServer web(servingData());
  std::string fresh = player("fresh", {}, entry("web", web.url()));
  std::string part = stagedPart(fresh, scenario.dataFolder(), "./data/quor/packs/big.pak");
  ASSERT_GT(killWhileStaging(fresh, part), kBigSize / 4);
  Build v3 = v2;
  v3["data/quor/packs/big.pak"] = randomText(kBigSize / 4, 8);
  scenario.publish(v1, v3);
  RunResult run = scenario.runUpdater(fresh, {"--quor"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(scenario.compare(fresh, v3), "") << log(fresh);
  EXPECT_NE(log(fresh).find("is not on the server any more; starting it again"),
            std::string::npos)
      << log(fresh);
}

// Mirrors that answer 503, stall, or serve wrong bytes each hand the run
// to the next entry; plain http is refused without updater.key.
TEST_F(WebUpdate, FailingMirrorsHandOverToTheNext) {
  NginxOptions down;
  down.unavailable = true;
  NginxServer unavailable(down);
  StallingTcpServer stalling;
  fs::copy(scenario.dataFolder(), scenario.root() / "wrong", fs::copy_options::recursive);
  for (const auto& file : fs::directory_iterator(scenario.root() / "wrong")) {
    if (file.path().filename() == kManifestName || file.file_size() < 4096) continue;
    std::string bytes = readFile(file.path());
    bytes[bytes.size() / 2] ^= 0x55;
    writeFile(file.path(), bytes);
  }
  NginxOptions lying;
  lying.root = scenario.root() / "wrong";
  NginxServer wrong(lying);
  NginxOptions plainOptions = servingData();
  plainOptions.tls = false;
  NginxServer plain(plainOptions);
  NginxServer good(servingData());
  std::string list = entry("down", unavailable.url()) + entry("stalls", stalling.url()) +
                     entry("wrong", wrong.url()) + entry("plain", plain.url()) +
                     entry("good", good.url());
  std::string folder = player("player", v1, list);
  RunResult run = scenario.runUpdater(folder, {"--quor"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(scenario.compare(folder, v2), "") << log(folder);
  std::string text = log(folder);
  for (const char* line :
       {"Failed to reach web server \"down\"", "Failed to reach web server \"stalls\"",
        "is plain http, and without updater.key",
        "Going on with the next server: \"good\""}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  EXPECT_EQ(plain.originRequests().size(), 0u);
}

// The release layout behind a caching edge that keeps everything but the
// pointer for a year: a release published while the edge still holds the
// previous one reaches the next player whole, never mixed with the old.
TEST_F(WebUpdate, ARepublishBehindACacheEndsOnExactlyOneRelease) {
  fs::path site = scenario.root() / "site";
  fs::path releases = fs::path(scenario.root() / "v2") / kReleasesFolder;
  auto upload = [&] {  // as a publisher's sync would: release folders, then the pointer
    fs::copy(releases, site, fs::copy_options::recursive | fs::copy_options::skip_existing);
    fs::copy_file(releases / kCurrentReleaseName, site / kCurrentReleaseName,
                  fs::copy_options::overwrite_existing);
  };
  upload();
  NginxOptions options;
  options.root = site;
  options.edge = true;
  NginxServer web(options);
  std::string list = entry("cdn", web.edgeUrl());
  std::string first = player("first", v1, list);
  ASSERT_EQ(scenario.runUpdater(first).exitCode, 0);
  ASSERT_EQ(scenario.compare(first, v2), "") << log(first);

  Build v3 = v2;
  v3["data/quor/packs/pack1.pak"] = randomText(700u << 10, 99);
  v3["data/quor/new.txt"] = "only in version 3";
  scenario.publish(v1, v3);
  upload();
  std::string second = player("second", v1, list);
  ASSERT_EQ(scenario.runUpdater(second).exitCode, 0);
  EXPECT_EQ(scenario.compare(second, v3), "") << log(second);
  std::string id = readFile(site / kCurrentReleaseName);
  id.pop_back();
  EXPECT_NE(log(second).find("fetching " + web.edgeUrl() + id + "/"), std::string::npos)
      << log(second);
  EXPECT_TRUE(web.originRepeats().empty());
}

// Over plain http a signed release is safe: a mirror whose file is far
// longer than signed is stopped after a piece or so, and the next one
// finishes the update.
TEST_F(WebUpdate, SignedDataOverPlainHttpIsCutAtTheSignedSize) {
  KeyPair keys;
  ASSERT_TRUE(generateKeyPair(&keys).ok());
  Bytes publicKey = encodePublicKeyFile(keys.publicKey);
  writeFile(scenario.root() / "publisher.key", encodePrivateKeyFile(keys));
  v1["updater.key"] = v2["updater.key"] = std::string(publicKey.begin(), publicKey.end());
  fs::remove_all(scenario.root() / "v2");
  writeBuild(scenario.root() / "v2", v2);
  fs::create_directories(scenario.root() / "v2/server_data");
  {
    ScopedCurrentDir inBuild(scenario.root() / "v2");
    SigningRequest signing{scenario.root() / "publisher.key", 7};
    ASSERT_TRUE(createUpdateData(scanDataSet("./"), {}, kPatchMemoryBudget, 0, &signing));
  }
  fs::path longer = scenario.root() / "longer";
  fs::copy(scenario.dataFolder(), longer, fs::copy_options::recursive);
  std::string name = wholeDataName(longer, fileNumberOf(longer, "./data/quor/packs/big.pak"));
  writeFile(longer / name, readFile(longer / name) + std::string(64u << 20, 'x'));
  NginxOptions lyingOptions;
  lyingOptions.root = longer;
  lyingOptions.tls = false;
  NginxServer lying(lyingOptions);
  NginxOptions goodOptions = servingData();
  goodOptions.tls = false;
  NginxServer good(goodOptions);
  std::string folder = player("player", {{"updater.key", v1["updater.key"]}},
                              entry("longer", lying.url()) + entry("good", good.url()));
  ASSERT_EQ(scenario.runUpdater(folder).exitCode, 0);
  EXPECT_EQ(scenario.compare(folder, v2), "") << log(folder);
  EXPECT_NE(log(folder).find(name + " is " + std::to_string(fs::file_size(longer / name)) +
                             " bytes, manifest.sig says "),
            std::string::npos)
      << log(folder);
  EXPECT_LE(lying.originBytes()["/" + name], uint64_t{1} << 20);
}

}  // namespace
}  // namespace quor::testing
