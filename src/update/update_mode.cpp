#include "update/update_mode.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "app/exit_codes.h"
#include "log/log.h"
#include "net/network_client.h"
#include "platform/process.h"
#include "platform/sleep.h"
#include "update/file_update_controller.h"
#include "update/safe_paths.h"
#include "update/update_run.h"

namespace quor {
namespace {

constexpr const char* kServerList = "settings/servers.config";
constexpr uint32_t kConnectPauseMs = 400;
constexpr uint32_t kFinishedPauseMs = 4000;
constexpr const char* kGameCommand = "./quor.exe";
constexpr const char* kOwnExecutable = "updater.exe";

// Manifest, deletion, folders and empty files, files. True unless a file
// never arrived and the updater must start again. A manifest that did not
// arrive whole changes nothing and counts as finished: the player can
// still start the game.
bool updateFolder(const DataSet& local, bool fullUpdate, FileUpdateController& controller) {
  std::optional<Manifest> manifest = fetchManifest(controller);
  if (!manifest) return true;
  deleteFiles(local, *manifest, fullUpdate);
  dropUnsafeManifestPaths(*manifest);
  PendingRequests pending = buildPendingRequests(local, *manifest, fullUpdate);
  createFoldersAndEmptyFiles(*manifest, fullUpdate);
  return getUpdates(pending, *manifest, controller);
}

}  // namespace

void runUpdateMode(const DataSet& local, bool fullUpdate, bool startGame,
                   const std::string& argumentLine) {
  if (createNetworkClient() == nullptr) {
    flushLog();
    std::fflush(stdout);
    std::_Exit(kExitNoNetworkHost);
  }
  auto controller = std::make_unique<FileUpdateController>();
  registerController(controller.get());
  connectToServer(kServerList, "");
  sleepMs(kConnectPauseMs);
  networkRunning = true;
  std::thread network(networkThreadMain);

  bool finished = updateFolder(local, fullUpdate, *controller);

  networkRunning = false;
  network.join();
  registerController(nullptr);
  controller.reset();
  shutdownNetworkClient();

  if (finished) {
    sleepMs(kFinishedPauseMs);
    if (startGame) startProcess(kGameCommand);
  } else {
    startProcess(std::string(kOwnExecutable) + " " + argumentLine);
  }
}

}  // namespace quor
