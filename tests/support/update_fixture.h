// A published game version and a player's folder, for end-to-end runs of
// the real updater against the real update_server on 127.0.0.1.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "create/zstd_publish.h"
#include "test_support.h"

namespace quor::testing {

// Relative path -> content of every file of a game build.
using Build = std::map<std::string, std::string>;

// Two versions of a small game with changed, unchanged, new, removed and
// empty files in nested folders, and the stand-ins quor.exe and
// updater.exe (scripts that record how they were started).
Build versionOne();
Build versionTwo();

void writeBuild(const std::string& folder, const Build& build);

inline const Encodings kClassicOnly{true, false};

class UpdateScenario {
 public:
  UpdateScenario();
  // Stops the server; a sanitizer report in its output fails the test.
  ~UpdateScenario();

  // Writes v2 (and v1 beside it) and publishes v2 with create mode,
  // patches made against v1. Tests that alter particular update data
  // files publish the classic encoding only (kClassicOnly), so that the
  // updater asks for the files they altered.
  void publish(const Build& v1, const Build& v2, const Encodings& encodings = Encodings());
  // The same with several older builds, newest first: the first is "v1",
  // the others "v1-older<k>".
  void publishSeries(const std::vector<Build>& olds, const Build& v2,
                     const Encodings& encodings = Encodings());
  // Starts update_server on the published data (or another folder).
  void startServer(const std::string& dataFolder = "", const std::vector<std::string>& args = {});
  // A player's folder holding build, with a server list naming the server.
  std::string makePlayer(const std::string& name, const Build& build);
  void writeServerList(const std::string& player, int port);
  RunResult runUpdater(const std::string& player, std::vector<std::string> args = {},
                       int timeoutSeconds = 120);

  // Every file of expected has its content in folder; in-scope files that
  // expected lacks are absent. Returns the differences, empty when none.
  std::string compare(const std::string& folder, const Build& expected) const;

  const TempDir& root() const { return root_; }
  std::string dataFolder() const { return root_ / "v2/server_data/update_data"; }
  std::string serverOutput() const { return server_ ? server_->output() : ""; }
  int port() const { return port_; }
  BackgroundProcess* server() { return server_.get(); }

 private:
  TempDir root_;
  std::unique_ptr<BackgroundProcess> server_;
  int port_ = 0;
};

// The manifest's fileNumber of path in a data folder.
uint32_t fileNumberOf(const std::string& dataFolder, const std::string& path);
// The whole file of that number an updater without the file fetches: the
// zstd one where the data set has it.
std::string wholeDataName(const std::string& dataFolder, uint32_t number);

// The events of an event stream file (--progress-json), each line parsed
// as JSON; a line that does not parse, or a stream that does not begin
// with "start" and end with "exit", fails the test. The "log" events must
// be the records of the updater.log beside them, in order.
std::vector<nlohmann::json> readEvents(const std::string& streamPath, const std::string& logPath);
std::vector<nlohmann::json> eventsNamed(const std::vector<nlohmann::json>& events,
                                        const std::string& name);

// Files a run leaves that a build does not list.
bool isRunArtifact(const std::string& path);

}  // namespace quor::testing
