#include "update/update_mode.h"

#include <ctime>
#include <memory>
#include <thread>

#include "dataset/layout.h"
#include "log/log.h"
#include "net/network_client.h"
#include "platform/process.h"
#include "platform/sleep.h"
#include "update/file_update_controller.h"
#include "update/safe_paths.h"
#include "update/signed_update.h"
#include "update/update_run.h"

namespace quor {
namespace {

constexpr uint32_t kConnectPauseMs = 400;
constexpr uint32_t kFinishedPauseMs = 4000;

// Manifest, deletion, folders and empty files, files. True unless a file
// never arrived and the updater must start again. A manifest that did not
// arrive whole changes nothing and counts as finished: the player can
// still start the game.
// A game folder with updater.key takes a manifest only with its
// signature (update/signed_update.h); a refusal changes nothing, like a
// manifest that did not arrive.
bool updateFolder(const DataSet& local, bool fullUpdate, FileUpdateController& controller) {
  PublicKey key;
  SigningDemand demand = readSigningDemand(&key);
  if (demand == SigningDemand::kUnusable) return true;
  if (demand == SigningDemand::kRequired) requestSignatureFile();
  Bytes manifestBytes;
  std::optional<Manifest> manifest = fetchManifest(controller, ReplyWait(), &manifestBytes);
  if (!manifest) return true;
  std::optional<SignedUpdate> signedUpdate;
  if (demand == SigningDemand::kRequired) {
    uint64_t now = static_cast<uint64_t>(std::time(nullptr));
    signedUpdate = acceptSignedUpdate(controller, key, manifestBytes, *manifest, now);
    if (!signedUpdate) return true;
  }
  deleteFiles(local, *manifest, fullUpdate);
  dropUnsafeManifestPaths(*manifest);
  PendingRequests pending = buildPendingRequests(local, *manifest, fullUpdate);
  createFoldersAndEmptyFiles(*manifest, fullUpdate);
  return getUpdates(pending, *manifest, controller, ReplyWait(),
                    signedUpdate ? &*signedUpdate : nullptr);
}

}  // namespace

UpdateModeResult runUpdateMode(const DataSet& local, bool fullUpdate, bool startGame,
                               const std::string& argumentLine) {
  if (createNetworkClient() == nullptr) return UpdateModeResult::kNoNetworkHost;
  auto controller = std::make_unique<FileUpdateController>();
  registerController(controller.get());
  connectToServer(kServerListFile, "");
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
    startProcess(std::string(kOwnExecutableFile) + " " + argumentLine);
  }
  return UpdateModeResult::kDone;
}

}  // namespace quor
