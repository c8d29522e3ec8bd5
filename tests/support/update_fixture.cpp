#include "update_fixture.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "create/create_mode.h"
#include "dataset/dataset.h"
#include "dataset/layout.h"
#include "dataset/manifest.h"

namespace quor::testing {
namespace fs = std::filesystem;

namespace {

std::string text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

const char* kGameStandIn = "#!/bin/sh\necho \"$@\" > game_started.txt\n";
const char* kUpdaterStandIn = "#!/bin/sh\necho \"$@\" > updater_restarted.txt\n";

// A text long enough that a patch of one changed line pays.
std::string commonText(const std::string& version) {
  std::string text;
  for (int line = 0; line < 80; ++line) text += "line " + std::to_string(line) + " of the text\n";
  return text + "common text, " + version + " version\n";
}

}  // namespace

Build versionOne() {
  std::vector<uint8_t> map = randomBytes(200000, 11);
  return {
      {"data/quor/maps/a.map", text(map)},
      {"data/quor/b.bin", text(randomBytes(50000, 12))},
      {"data/common/c.txt", commonText("first")},
      {"data/quor/removed.bin", "only in the first version"},
      {"data/quor/empty1", ""},
      // '~' and digits, but no short name of a folder the scope rules protect
      {"data/quor/textures/tex~1.dds", text(randomBytes(3000, 14))},
      {"quor.exe", kGameStandIn},
      {"updater.exe", kUpdaterStandIn},
  };
}

Build versionTwo() {
  Build build = versionOne();
  std::string& map = build["data/quor/maps/a.map"];
  map[1000] ^= 0x55;
  map.insert(50000, std::string(3000, 'x'));
  map.erase(120000, 2000);
  build["data/common/c.txt"] = commonText("second");
  build.erase("data/quor/removed.bin");
  build["data/quor/new/deep/n.bin"] = text(randomBytes(30000, 13));
  build["data/common/empty2"] = "";
  build["settings/servers.config"] = "published default\n";
  build["saves/default.sav"] = "published save";
  return build;
}

void writeBuild(const std::string& folder, const Build& build) {
  for (const auto& [path, content] : build) {
    writeFile(folder + "/" + path, content);
    if (path.ends_with(".exe")) fs::permissions(folder + "/" + path, fs::perms::owner_exec, fs::perm_options::add);
  }
}

std::vector<nlohmann::json> readEvents(const std::string& streamPath, const std::string& logPath) {
  std::vector<nlohmann::json> events;
  std::istringstream lines(readFile(streamPath));
  for (std::string line; std::getline(lines, line);) {
    nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    EXPECT_FALSE(event.is_discarded()) << line;
    if (!event.is_discarded()) events.push_back(std::move(event));
  }
  EXPECT_FALSE(events.empty());
  if (events.empty()) return events;
  EXPECT_EQ(events.front()["event"], "start");
  EXPECT_EQ(events.front()["stream"], 1);
  EXPECT_EQ(events.back()["event"], "exit");
  // Each record of the log, ": " + text + "\n", is one "log" event.
  std::string records;
  for (const nlohmann::json& event : eventsNamed(events, "log")) {
    records += ": " + event["text"].get<std::string>() + "\n";
  }
  EXPECT_EQ(records, readFile(logPath));
  return events;
}

std::vector<nlohmann::json> eventsNamed(const std::vector<nlohmann::json>& events,
                                        const std::string& name) {
  std::vector<nlohmann::json> named;
  for (const nlohmann::json& event : events) {
    if (event["event"] == name) named.push_back(event);
  }
  return named;
}

bool isRunArtifact(const std::string& path) {
  return path == "updater.log" || path == "updater.version" || path == "updater_old.exe" || path == "updater_restarted.txt" ||
         path == "game_started.txt" || path.rfind("settings/", 0) == 0;
}

UpdateScenario::UpdateScenario() = default;

UpdateScenario::~UpdateScenario() {
  if (!server_) return;
  server_->stop();
  std::string output = server_->output();
  if (output.find("Sanitizer") != std::string::npos) ADD_FAILURE() << "update_server:\n" << output;
}

void UpdateScenario::publish(const Build& v1, const Build& v2, const Encodings& encodings) {
  publishSeries({v1}, v2, encodings);
}

void UpdateScenario::publishSeries(const std::vector<Build>& olds, const Build& v2,
                                   const Encodings& encodings) {
  std::vector<std::string> oldFolders;
  for (size_t k = 0; k < olds.size(); ++k) {
    std::string name = k == 0 ? "v1" : "v1-older" + std::to_string(k);
    fs::remove_all(root_ / name);
    writeBuild(root_ / name, olds[k]);
    oldFolders.push_back("../" + name);
  }
  fs::remove_all(root_ / "v2");
  writeBuild(root_ / "v2", v2);
  fs::create_directories(root_ / "v2/server_data");
  ScopedCurrentDir inV2(root_ / "v2");
  if (!createUpdateData(scanDataSet("./"), oldFolders, kPatchMemoryBudget, 0, nullptr, encodings)) {
    throw std::runtime_error("publish failed");
  }
}

void UpdateScenario::startServer(const std::string& dataFolder,
                                 const std::vector<std::string>& args) {
  server_ = startUpdateServer(dataFolder.empty() ? this->dataFolder() : dataFolder, port_,
                              root_.path(), args);
}

std::string UpdateScenario::makePlayer(const std::string& name, const Build& build) {
  std::string folder = root_ / name;
  fs::create_directories(folder);
  writeBuild(folder, build);
  writeServerList(folder, port_);
  return folder;
}

void UpdateScenario::writeServerList(const std::string& player, int port) {
  writeFile(player + "/settings/servers.config",
            "test server\n127.0.0.1\n" + std::to_string(port) + "\n");
}

RunResult UpdateScenario::runUpdater(const std::string& player, std::vector<std::string> args,
                                     int timeoutSeconds) {
  args.insert(args.begin(), updaterBinary());
  return runProgram(args, player, timeoutSeconds);
}

std::string UpdateScenario::compare(const std::string& folder, const Build& expected) const {
  std::string differences;
  for (const auto& [path, content] : expected) {
    if (isRunArtifact(path)) continue;
    if (!exists(folder + "/" + path)) {
      differences += "missing " + path + "\n";
    } else if (readFile(folder + "/" + path) != content) {
      differences += "differs " + path + "\n";
    }
  }
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::string path = fs::relative(entry.path(), folder).string();
    if (expected.count(path) == 0 && !isRunArtifact(path)) differences += "extra " + path + "\n";
  }
  return differences;
}

uint32_t fileNumberOf(const std::string& dataFolder, const std::string& path) {
  std::vector<uint8_t> bytes = readBytes(dataFolder + "/" + kManifestName);
  return readManifest(bytes.data(), bytes.size()).files.at(path).fileNumber;
}

std::string wholeDataName(const std::string& dataFolder, uint32_t number) {
  std::string zstd = dataFileName(number, DataKind::kZstdWhole);
  return fs::exists(dataFolder + "/" + zstd) ? zstd : wholeFileName(number);
}

}  // namespace quor::testing
