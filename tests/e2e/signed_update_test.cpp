// Signed updates end to end: updater --keygen, data sets signed in create
// mode, and players with and without updater.key against the real
// update_server.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "create/create_mode.h"
#include "dataset/dataset.h"
#include "dataset/manifest.h"
#include "dataset/signature_file.h"
#include "dataset/signing_keys.h"
#include "update_fixture.h"

namespace quor::testing {
namespace {

namespace fs = std::filesystem;

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

bool waitForFile(const std::string& path) {
  for (int i = 0; i < 250 && !exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return exists(path);
}

size_t count(const std::string& haystack, const std::string& needle) {
  size_t found = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1)) {
    ++found;
  }
  return found;
}

class SignedUpdate : public ::testing::Test {
 protected:
  // A key pair in root/name/publisher.key; returns the updater.key bytes.
  std::string makeKeys(const std::string& name) {
    KeyPair keys;
    EXPECT_TRUE(generateKeyPair(&keys).ok());
    writeFile(root() / (name + "/publisher.key"), encodePrivateKeyFile(keys));
    return text(encodePublicKeyFile(keys.publicKey));
  }

  // Writes build into root/name and publishes it, with patches against
  // root/old when given, signed with root/keys/publisher.key as version
  // when keys is given. Returns the data folder.
  std::string publish(const std::string& name, const Build& build, const std::string& old,
                      const std::string& keys, uint64_t version,
                      const Encodings& encodings = Encodings()) {
    fs::remove_all(root() / name);
    writeBuild(root() / name, build);
    fs::create_directories(root() / (name + "/server_data"));
    ScopedCurrentDir inBuild(root() / name);
    SigningRequest signing{root() / (keys + "/publisher.key"), version};
    bool published = createUpdateData(scanDataSet("./"), old.empty() ? std::vector<std::string>() : std::vector<std::string>{"../" + old},
                                      kPatchMemoryBudget, 0, keys.empty() ? nullptr : &signing,
                                      encodings);
    EXPECT_TRUE(published);
    return root() / (name + "/server_data/update_data");
  }

  // The served folder becomes a copy of data.
  void serve(const std::string& data) {
    fs::remove_all(served());
    fs::copy(data, served(), fs::copy_options::recursive);
  }

  // A player holding build (and updater.key when key is not empty) runs
  // the updater with --quor and args; returns its log.
  std::string runPlayer(const std::string& name, Build build, const std::string& key,
                        std::vector<std::string> args = {}) {
    if (!key.empty()) build["updater.key"] = key;
    std::string player = scenario.makePlayer(name, build);
    args.push_back("--quor");
    RunResult run = scenario.runUpdater(player, args);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(waitForFile(player + "/game_started.txt")) << name;
    return readFile(player + "/updater.log");
  }

  // A refused update: one error line, which says why, and no file changed.
  void expectRefused(const std::string& name, const Build& build, const std::string& key,
                     const std::string& line, std::vector<std::string> args = {}) {
    std::string log = runPlayer(name, build, key, std::move(args));
    EXPECT_EQ(count(log, "#### ERROR"), 1u) << name << "\n" << log;
    EXPECT_NE(log.find(line + ": nothing was updated\n"), std::string::npos) << name << "\n"
                                                                             << log;
    Build expected = build;
    expected["updater.key"] = key;
    EXPECT_EQ(scenario.compare(root() / name, expected), "") << name;
  }

  const TempDir& root() const { return scenario.root(); }
  std::string served() const { return root() / "served"; }
  std::string player(const std::string& name) const { return root() / name; }

  UpdateScenario scenario;
};

Build withKey(Build build, const std::string& key) {
  build["updater.key"] = key;
  return build;
}

TEST_F(SignedUpdate, KeygenWritesTwoKeysOnceAndASignedUpdateInstalls) {
  std::string keys = root() / "keys";
  fs::create_directories(keys);
  RunResult made = runProgram({updaterBinary(), "--keygen"}, keys);
  ASSERT_EQ(made.exitCode, 0) << made.output;
  std::string privateKey = readFile(keys + "/publisher.key");
  std::string publicKey = readFile(keys + "/updater.key");
  EXPECT_EQ(privateKey.size(), 104u);
  EXPECT_EQ(publicKey.size(), 72u);
  struct stat mode {};
  ASSERT_EQ(stat((keys + "/publisher.key").c_str(), &mode), 0);
  EXPECT_EQ(mode.st_mode & 0777, 0600u);
  fs::remove(keys + "/updater.key");
  RunResult again = runProgram({updaterBinary(), "--keygen"}, keys);
  EXPECT_EQ(again.exitCode, 2);
  EXPECT_NE(again.output.find("publisher.key already exists: no key was written"),
            std::string::npos)
      << again.output;
  EXPECT_EQ(readFile(keys + "/publisher.key"), privateKey);
  EXPECT_FALSE(exists(keys + "/updater.key"));

  // A build without updater.key: the player's key stays all the same.
  publish("v1", versionOne(), "", "", 0);
  serve(publish("v2", versionTwo(), "v1", "keys", 10));
  Build v2 = withKey(versionTwo(), publicKey);
  scenario.startServer(served());
  std::string log = runPlayer("player", versionOne(), publicKey);
  EXPECT_NE(log.find("... manifest.sig verified: version 10\n"), std::string::npos) << log;
  EXPECT_EQ(count(log, "#### ERROR"), 0u) << log;
  EXPECT_EQ(scenario.compare(player("player"), v2), "");
  EXPECT_EQ(readFile(player("player") + "/updater.version"), "10\n");
}

// What someone without the key can serve changes nothing.
TEST_F(SignedUpdate, DataSetsAlteredWithoutTheKeyChangeNothing) {
  std::string key = makeKeys("keys");
  Build v1 = withKey(versionOne(), key), v2 = withKey(versionTwo(), key);
  publish("v1", v1, "", "", 0);
  std::string genuine = publish("v2", v2, "v1", "keys", 10);
  Build v3 = v2;
  v3["data/common/c.txt"] = "common text, third version\n";
  std::string other = publish("v3", v3, "v1", "keys", 11);
  Build forged = v2;
  forged["quor.exe"] = "#!/bin/sh\necho forged > game_started.txt\n";
  std::string forgedData = publish("forged", forged, "v1", "", 0);

  // A changed file with a manifest that matches it, under the genuine signature.
  serve(forgedData);
  fs::copy_file(genuine + "/manifest.sig", served() + "/manifest.sig");
  scenario.startServer(served());
  expectRefused("player-forged", versionOne(), key, "the manifest is not the one manifest.sig signs");

  // The signature of another data set.
  serve(genuine);
  fs::copy_file(other + "/manifest.sig", served() + "/manifest.sig",
                fs::copy_options::overwrite_existing);
  expectRefused("player-other", versionOne(), key, "the manifest is not the one manifest.sig signs");

  // A changed signature file: the version raised.
  serve(genuine);
  Bytes signature = readBytes(served() + "/manifest.sig");
  signature[12] ^= 1;
  writeFile(served() + "/manifest.sig", signature);
  expectRefused("player-changed", versionOne(), key,
                "manifest.sig is not signed by this game's publisher (the signature does not "
                "verify)");

  // No signature at all.
  // A launcher reading the event stream hears why, and that nothing changed.
  fs::remove(served() + "/manifest.sig");
  std::string stream = root() / "unsigned-events.jsonl";
  expectRefused("player-unsigned", versionOne(), key,
                "the server sent no manifest.sig, and this game takes signed updates only",
                {"--progress-json", stream});
  std::vector<nlohmann::json> events = readEvents(stream, player("player-unsigned") + "/updater.log");
  size_t errors = 0;
  for (const nlohmann::json& record : eventsNamed(events, "log")) errors += record["error"] ? 1 : 0;
  EXPECT_EQ(errors, 1u);
  ASSERT_EQ(eventsNamed(events, "end").size(), 1u);
  EXPECT_EQ(eventsNamed(events, "end")[0]["result"], "no_manifest");
}

// Truncated and overlong update data are refused, fetched once more and
// refused again: those files stay as they were, the others are installed.
TEST_F(SignedUpdate, TruncatedAndOverlongFilesAreRefusedInPiecesAndWhole) {
  std::string key = makeKeys("keys");
  Build v1 = withKey(versionOne(), key), v2 = withKey(versionTwo(), key);
  publish("v1", v1, "", "", 0);
  std::string genuine = publish("v2", v2, "v1", "keys", 10, kClassicOnly);
  Bytes manifestBytes = readBytes(genuine + "/manifest.manifest");
  Manifest manifest = readManifest(manifestBytes.data(), manifestBytes.size());
  std::string newFile = std::to_string(manifest.files.at("./data/quor/new/deep/n.bin").fileNumber);
  std::string map = std::to_string(manifest.files.at("./data/quor/maps/a.map").fileNumber);
  serve(genuine);
  Bytes cut = readBytes(served() + "/" + newFile + ".compressed");
  cut.resize(cut.size() - 10);
  writeFile(served() + "/" + newFile + ".compressed", cut);
  for (const std::string& name : {map + ".patch", map + ".compressed"}) {
    Bytes longer = readBytes(served() + "/" + name);
    longer.resize(longer.size() + 5000, 'x');
    writeFile(served() + "/" + name, longer);
  }
  for (const std::vector<std::string>& serverArgs :
       {std::vector<std::string>{}, std::vector<std::string>{"--no-ranges"}}) {
    std::string name = serverArgs.empty() ? "pieces" : "whole";
    scenario.startServer(served(), serverArgs);
    // Pieces come over several connections, and are refused all the same.
    std::string log = runPlayer(name, versionOne(), key, {"--connections", "4"});
    EXPECT_EQ(scenario.compare(player(name), v2),
              "differs data/quor/maps/a.map\nmissing data/quor/new/deep/n.bin\n")
        << name;
    EXPECT_EQ(readFile(player(name) + "/data/quor/maps/a.map"), versionOne()["data/quor/maps/a.map"]);
    EXPECT_NE(log.find(newFile + ".compressed has " + std::to_string(cut.size()) +
                       " bytes, manifest.sig says " + std::to_string(cut.size() + 10)),
              std::string::npos)
        << log;
    EXPECT_EQ(count(log, "Fetching the whole file again: "), 2u) << log;
    EXPECT_NE(log.find("Fetching the whole file instead: " + map + ".compressed"),
              std::string::npos)
        << log;
  }
}

TEST_F(SignedUpdate, OlderOrExpiredSignaturesAreRefusedAndPlayersWithoutTheKeyStillUpdate) {
  std::string key = makeKeys("keys");
  Build v1 = withKey(versionOne(), key), v2 = withKey(versionTwo(), key);
  publish("v1", v1, "", "", 0);
  std::string newer = publish("v2", v2, "v1", "keys", 10);
  Build older = v1;
  older["data/common/c.txt"] = "common text, an older version\n";
  std::string olderData = publish("older", older, "v1", "keys", 5);
  serve(newer);
  scenario.startServer(served());
  runPlayer("player", versionOne(), key);
  ASSERT_EQ(scenario.compare(player("player"), v2), "");

  serve(olderData);
  std::string log = runPlayer("player", v2, key);
  EXPECT_NE(log.find("manifest.sig is of version 5, older than version 10 installed before: "
                     "nothing was updated"),
            std::string::npos)
      << log;
  EXPECT_EQ(scenario.compare(player("player"), v2), "");

  // The newer data set signed again as version 20, but expired long ago.
  serve(newer);
  Bytes bytes = readBytes(served() + "/manifest.sig");
  SignatureFile expired;
  ASSERT_TRUE(readSignatureFile(bytes.data(), bytes.size(), &expired).ok());
  expired.dataSetVersion = 20;
  expired.expiresAt = 1000;
  KeyPair keys;
  ASSERT_TRUE(readPrivateKeyFile(root() / "keys/publisher.key", &keys).ok());
  ASSERT_TRUE(signSignatureFile(expired, keys, &bytes).ok());
  writeFile(served() + "/manifest.sig", bytes);
  expectRefused("late", versionOne(), key, "manifest.sig expired on 1970-01-01 00:16 UTC");

  // Players without updater.key take signed and unsigned data sets alike.
  serve(newer);
  runPlayer("keyless", versionOne(), "");
  EXPECT_EQ(scenario.compare(player("keyless"), v2), "");
  Build unsignedBuild = versionTwo();
  serve(publish("plain", unsignedBuild, "v1", "", 0));
  runPlayer("keyless2", versionOne(), "");
  EXPECT_EQ(scenario.compare(player("keyless2"), unsignedBuild), "");
}

// An update signed by the old key ships the new updater.key; from then on
// only the new key counts.
TEST_F(SignedUpdate, KeyRotation) {
  std::string oldKey = makeKeys("old");
  std::string newKey = makeKeys("new");
  Build v1 = withKey(versionOne(), oldKey), v2 = withKey(versionTwo(), newKey);
  publish("v1", v1, "", "", 0);
  serve(publish("v2", v2, "v1", "old", 10));
  scenario.startServer(served(), {"--no-ranges"});
  runPlayer("player", versionOne(), oldKey);
  ASSERT_EQ(scenario.compare(player("player"), v2), "");
  EXPECT_EQ(readFile(player("player") + "/updater.key"), newKey);

  Build v3 = v2;
  v3["data/common/c.txt"] = "common text, third version\n";
  serve(publish("v3", v3, "v2", "old", 11));
  std::string log = runPlayer("player", v2, newKey);
  EXPECT_NE(log.find("manifest.sig is not signed by this game's publisher"), std::string::npos)
      << log;
  EXPECT_EQ(scenario.compare(player("player"), v2), "");

  serve(publish("v3", v3, "v2", "new", 11));
  runPlayer("player", v2, newKey);
  EXPECT_EQ(scenario.compare(player("player"), v3), "");
}

}  // namespace
}  // namespace quor::testing
