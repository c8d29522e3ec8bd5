#include "update/update_mode.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "dataset/layout.h"
#include "log/log.h"
#include "net/network_client.h"
#include "platform/process.h"
#include "platform/sleep.h"
#include "update/file_update_controller.h"
#include "update/safe_paths.h"
#include "update/update_run.h"

namespace quor {
namespace {

constexpr uint32_t kConnectPauseMs = 400;
constexpr uint32_t kFinishedPauseMs = 4000;
// Extra connections get this long to connect, or four round trips when
// that is longer, before the run goes on with those it has.
constexpr uint32_t kExtraConnectWaitMs = 1000;

void openConnectionsFor(size_t requested) {
  std::optional<ConnectionClock::duration> roundTrip = measuredRoundTrip();
  size_t count = chooseConnectionCount(requested, roundTrip);
  if (count <= 1) return;
  uint32_t waitMs = kExtraConnectWaitMs;
  if (roundTrip) {
    auto fourTrips = std::chrono::duration_cast<std::chrono::milliseconds>(*roundTrip * 4).count();
    waitMs = std::max<uint32_t>(waitMs, static_cast<uint32_t>(std::min<int64_t>(fourTrips, 10000)));
  }
  openExtraConnections(count, waitMs);
}

// Manifest, deletion, folders and empty files, files. True unless a file
// never arrived and the updater must start again. A manifest that did not
// arrive whole changes nothing and counts as finished: the player can
// still start the game.
// Under a download cap a request may be held back while a piece's worth
// comes in at the capped rate: the wait for a reply allows for that.
ReplyWait replyWaitFor(uint64_t limitRate) {
  ReplyWait wait;
  if (limitRate != 0) {
    uint64_t heldMs = std::min<uint64_t>(kWholeFileWeight * 1000 / limitRate, 30 * 60 * 1000);
    wait.idleLimit += std::chrono::milliseconds(heldMs);
  }
  return wait;
}

bool updateFolder(const DataSet& local, const UpdateModeSettings& settings,
                  FileUpdateController& controller) {
  if (settings.limitRate != 0) limitDownloadRate(settings.limitRate);
  ReplyWait wait = replyWaitFor(settings.limitRate);
  std::optional<Manifest> manifest = fetchManifest(controller, wait);
  if (!manifest) return true;
  deleteFiles(local, *manifest, settings.fullUpdate);
  dropUnsafeManifestPaths(*manifest);
  PendingRequests pending = buildPendingRequests(local, *manifest, settings.fullUpdate);
  createFoldersAndEmptyFiles(*manifest, settings.fullUpdate);
  if (!pending.empty()) openConnectionsFor(settings.connections);
  return getUpdates(pending, *manifest, controller, wait);
}

}  // namespace

UpdateModeResult runUpdateMode(const DataSet& local, const UpdateModeSettings& settings) {
  if (createNetworkClient() == nullptr) return UpdateModeResult::kNoNetworkHost;
  auto controller = std::make_unique<FileUpdateController>();
  registerController(controller.get());
  connectToServer(kServerListFile, "");
  sleepMs(kConnectPauseMs);
  networkRunning = true;
  std::thread network(networkThreadMain);

  bool finished = updateFolder(local, settings, *controller);

  networkRunning = false;
  network.join();
  registerController(nullptr);
  controller.reset();
  shutdownNetworkClient();

  if (finished) {
    sleepMs(kFinishedPauseMs);
    if (settings.startGame) startProcess(kGameCommand);
  } else {
    startProcess(std::string(kOwnExecutableFile) + " " + settings.argumentLine);
  }
  return UpdateModeResult::kDone;
}

}  // namespace quor
