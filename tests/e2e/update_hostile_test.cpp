// A hostile server: crafted manifests and replies served by update_server.
// Nothing outside the game folder may be touched, every bad entry is
// refused with its line, and the good entries are still applied.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "container/container.h"
#include "dataset/manifest.h"
#include "dataset/md5.h"
#include "patch/diff.h"
#include "update_fixture.h"

namespace quor::testing {
namespace {

namespace fs = std::filesystem;

uint32_t checksumOf(const std::string& content) {
  return static_cast<uint32_t>(
      bytesChecksum(reinterpret_cast<const uint8_t*>(content.data()), content.size()));
}

std::string container(uint32_t type, const std::string& content) {
  std::ostringstream out;
  EXPECT_TRUE(containerEncode(type, reinterpret_cast<const uint8_t*>(content.data()),
                  static_cast<uint32_t>(content.size()), out).ok());
  return out.str();
}

std::string patch(const std::string& from, const std::string& to) {
  std::ostringstream out;
  EXPECT_TRUE(bsdiff(reinterpret_cast<const uint8_t*>(from.data()), static_cast<uint32_t>(from.size()),
         reinterpret_cast<const uint8_t*>(to.data()), static_cast<uint32_t>(to.size()), out).ok());
  return out.str();
}

class HostileServer : public ::testing::Test {
 protected:
  UpdateScenario scenario;
  std::string data = scenario.root() / "hostile";
  Manifest manifest;
  uint32_t nextNumber = 0;

  // Lists path with the content's checksum and serves whole as its file.
  void offer(const std::string& path, const std::string& content, const std::string& whole) {
    manifest.files[path] = {checksumOf(content), 0, nextNumber};
    writeFile(data + "/" + std::to_string(nextNumber++) + ".compressed", whole);
  }

  void serve() {
    std::vector<uint8_t> bytes = encodeManifest(manifest);
    writeFile(data + "/manifest.manifest", bytes);
    scenario.startServer(data);
  }
};

TEST_F(HostileServer, UnsafePathsAreRefusedAndGoodFilesApplied) {
  fs::create_directories(data);
  std::string good = "good content";
  offer("./data/quor/good.bin", good, container(generic, good));
  for (const char* path : {"./../escape.txt", "/tmp/quor_absolute_escape.txt",
                           "./data\\..\\..\\back.txt", "C:/drive.txt", "./data/quor/../../up.txt"}) {
    offer(path, good, container(generic, good));
  }
  manifest.folders = {"./../evil_folder", "./data/quor/fine_folder"};
  manifest.emptyFiles = {"./../evil_empty", "/tmp/quor_absolute_empty"};
  serve();
  std::string player = scenario.makePlayer("player", {});
  RunResult run = scenario.runUpdater(player);
  ASSERT_EQ(run.exitCode, 0) << run.output;

  EXPECT_EQ(readFile(player + "/data/quor/good.bin"), good);
  EXPECT_TRUE(fs::is_directory(player + "/data/quor/fine_folder"));
  for (const char* outside : {"escape.txt", "back.txt", "drive.txt", "up.txt", "evil_folder",
                              "evil_empty", "player/data/back.txt"}) {
    EXPECT_FALSE(exists(scenario.root() / outside)) << outside;
  }
  EXPECT_FALSE(exists("/tmp/quor_absolute_escape.txt"));
  EXPECT_FALSE(exists("/tmp/quor_absolute_empty"));
  std::string log = readFile(player + "/updater.log");
  for (const char* refused : {"./../escape.txt", "/tmp/quor_absolute_escape.txt",
                              "./data\\..\\..\\back.txt", "C:/drive.txt",
                              "./data/quor/../../up.txt", "./../evil_folder", "./../evil_empty",
                              "/tmp/quor_absolute_empty"}) {
    EXPECT_NE(log.find("unsafe path in manifest, skipped: " + std::string(refused) + "\n"),
              std::string::npos)
        << refused;
  }
  EXPECT_NE(log.find(": Written: 1\n"), std::string::npos) << log;
}

TEST_F(HostileServer, BadRepliesAreRefusedWithTheirLines) {
  fs::create_directories(data);
  auto text = [](std::vector<uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); };
  std::string base = text(randomBytes(5000, 1));
  std::string unrelated = text(randomBytes(5000, 2));
  std::string wanted = unrelated;
  wanted[100] ^= 1;
  // A patch made from another file: its result does not match; the whole
  // file is fetched instead.
  manifest.files["./data/quor/patched.bin"] = {checksumOf(wanted), checksumOf(base), nextNumber};
  writeFile(data + "/" + std::to_string(nextNumber) + ".patch", patch(unrelated, wanted));
  writeFile(data + "/" + std::to_string(nextNumber++) + ".compressed", container(generic, wanted));
  offer("./data/quor/garbage.bin", "x", "this is no container at all");
  offer("./data/quor/lying.bin", "what the manifest promises", container(generic, "other bytes"));
  offer("./data/quor/truncated.bin", wanted, container(generic, wanted).substr(0, 50));
  serve();
  std::string player = scenario.makePlayer("player", {{"data/quor/patched.bin", base},
                                                       {"data/quor/lying.bin", "kept"}});
  scenario.writeServerList(player, scenario.port());
  RunResult run = scenario.runUpdater(player);
  ASSERT_EQ(run.exitCode, 0) << run.output;

  EXPECT_EQ(readFile(player + "/data/quor/patched.bin"), wanted);
  EXPECT_FALSE(exists(player + "/data/quor/garbage.bin"));
  EXPECT_FALSE(exists(player + "/data/quor/truncated.bin"));
  EXPECT_EQ(readFile(player + "/data/quor/lying.bin"), "kept");
  std::string log = readFile(player + "/updater.log");
  EXPECT_NE(log.find("patch result does not match the manifest: ./data/quor/patched.bin (0.patch)"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("could not decompress file: ./data/quor/garbage.bin (1.compressed)"),
            std::string::npos);
  EXPECT_NE(log.find("file does not match the manifest, not written: ./data/quor/lying.bin "
                     "(2.compressed)"),
            std::string::npos);
  EXPECT_NE(log.find("zlib: corrupted or incomplete data"), std::string::npos);
  EXPECT_NE(log.find("could not decompress file: ./data/quor/truncated.bin (3.compressed)"),
            std::string::npos);
  for (const auto& entry : fs::recursive_directory_iterator(player)) {
    EXPECT_EQ(entry.path().string().find(".quor_tmp"), std::string::npos) << entry.path();
  }
}

}  // namespace
}  // namespace quor::testing
