#include "update/update_mode.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <unordered_set>
#include <vector>

#include "dataset/dataset.h"
#include "dataset/layout.h"
#include "log/event_stream.h"
#include "log/log.h"
#include "client/network_client.h"
#include "platform/host_addresses.h"
#include "platform/process.h"
#include "platform/sleep.h"
#include "update/data_choice.h"
#include "update/enet_source.h"
#include "update/file_update_controller.h"
#include "update/http_source.h"
#include "update/safe_paths.h"
#include "update/signed_update.h"
#include "update/update_run.h"
#include "update/web_server.h"

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
  if (requested == 0) fitToLine();
}

// Under a download cap a request may be held back while a piece's worth
// comes in at the capped rate: the wait for a reply allows for that. A
// server whose every connection has closed sends nothing more: the wait
// ends at once.
ReplyWait replyWaitFor(uint64_t limitRate, UpdateSource& source) {
  ReplyWait wait;
  if (limitRate != 0) {
    uint64_t heldMs = std::min<uint64_t>(kWholeFileRequestWeight * 1000 / limitRate, 30 * 60 * 1000);
    wait.idleLimit += std::chrono::milliseconds(heldMs);
  }
  wait.receivedBytes = [&source] { return source.bytesReceived(); };
  wait.serverGone = [&source] { return !source.connected(); };
  return wait;
}

using WantedPaths = std::unordered_set<std::string>;

// The source asks for the signed sizes on its own thread while transfers
// are still on their way, also after the run with this server has ended:
// it is told to stop before the signature they come from goes.
class SizesExpected {
 public:
  explicit SizesExpected(UpdateSource& source) : source_(source) {}
  ~SizesExpected() { source_.expectSizes({}); }
  SizesExpected(const SizesExpected&) = delete;
  SizesExpected& operator=(const SizesExpected&) = delete;

 private:
  UpdateSource& source_;
};

// How the folder's update from one server ended.
enum class ServerEnd {
  kDone,         // updated, or nothing to be done (the disk is full, the key unusable)
  kNoManifest,   // no usable manifest (or signature) came: nothing was changed
  kStuck,        // a file never arrived
  kRefusedData,  // a file's data failed its checks twice
};

// Manifest, deletion, folders and empty files, files, from the server
// connected now. A game folder with updater.key takes a manifest only
// with its signature (update/signed_update.h). wanted: the paths the runs
// from earlier servers asked for, kept in scope; this run's are added.
// The files the run fetches, for the event stream, with their bytes when
// the index gives the size of every first choice (null otherwise).
void announcePlan(const RequestPlan& plan, const Manifest& manifest, const EncodingsIndex* index) {
  uint64_t bytes = 0;
  bool known = index != nullptr;
  for (const auto& [path, name] : plan.pending) {
    if (!known) break;
    known = false;
    auto listed = index->files.find(manifest.files.at(path).fileNumber);
    if (listed == index->files.end()) break;
    for (const IndexedFile& file : listed->second) {
      if (indexedFileName(listed->first, file) != name) continue;
      bytes += file.size;
      known = true;
    }
  }
  emitEvent("manifest", {{"files", plan.pending.size()},
                         {"bytes", known ? nlohmann::json(bytes) : nlohmann::json()}});
}

// beforeFiles runs once the files to fetch are known, when there are any.
ServerEnd updateFolder(const DataSet& local, const UpdateModeSettings& settings,
                       FileUpdateController& controller, UpdateSource& source,
                       const std::function<void()>& beforeFiles, WantedPaths& wanted,
                       std::vector<std::string>& notUpdated) {
  ReplyWait wait = replyWaitFor(settings.limitRate, source);
  PublicKey key;
  SigningDemand demand = readSigningDemand(&key);
  if (demand == SigningDemand::kUnusable) return ServerEnd::kDone;
  if (demand == SigningDemand::kRequired) requestSignatureFile(source);
  Bytes manifestBytes;
  std::optional<Manifest> manifest = fetchManifest(controller, source, wait, &manifestBytes);
  if (!manifest) return ServerEnd::kNoManifest;
  std::optional<SignedUpdate> signedUpdate;
  std::optional<SizesExpected> sizesExpected;  // after signedUpdate: it goes first
  if (demand == SigningDemand::kRequired) {
    uint64_t now = static_cast<uint64_t>(std::time(nullptr));
    signedUpdate = acceptSignedUpdate(controller, key, manifestBytes, *manifest, now, wait);
    if (!signedUpdate) return ServerEnd::kNoManifest;
    source.expectSizes([&signedUpdate](const std::string& name) {
      return signedUpdate->dataFileSize(name);
    });
    sizesExpected.emplace(source);
  }
  const SignedUpdate* signedData = signedUpdate ? &*signedUpdate : nullptr;
  std::optional<EncodingsIndex> index = fetchEncodingsIndex(controller, source, wait, signedData);
  deleteFiles(local, *manifest, settings.fullUpdate);
  dropUnsafeManifestPaths(*manifest);
  RequestPlan plan = planRequests(local, *manifest, settings.fullUpdate, wanted,
                                  index ? &*index : nullptr);
  for (const auto& request : plan.pending) wanted.insert(request.first);
  announcePlan(plan, *manifest, index ? &*index : nullptr);
  createFoldersAndEmptyFiles(*manifest, settings.fullUpdate);
  if (!plan.pending.empty()) beforeFiles();
  switch (runUpdates(plan.pending, *manifest, controller, source, wait, signedData, &notUpdated,
                     &plan.fallbacks)) {
    case RunEnd::kFinished:
      return ServerEnd::kDone;
    case RunEnd::kStuck:
      return ServerEnd::kStuck;
    case RunEnd::kRefused:
      return ServerEnd::kRefusedData;
  }
  return ServerEnd::kDone;
}

// Runs the update of the folder from one server, so that an exception
// (out of memory, say) ends only this server's turn: what is installed
// stays, and the rest waits for the next run.
ServerEnd guardedUpdate(const std::function<ServerEnd()>& update) {
  try {
    return update();
  } catch (const std::exception& failure) {
    logError(std::string("the update stopped: ") + failure.what());
    return ServerEnd::kRefusedData;
  }
}

// One ENet server's turn: the network thread runs while the folder is
// updated from it, with a controller of its own, so nothing of an earlier
// server is taken for this one's.
ServerEnd updateFromEnetServer(const DataSet& local, const UpdateModeSettings& settings,
                               WantedPaths& wanted, std::vector<std::string>& notUpdated) {
  auto controller = std::make_unique<FileUpdateController>();
  registerController(controller.get());
  networkRunning = true;
  std::thread network(networkThreadMain);
  if (settings.limitRate != 0) limitDownloadRate(settings.limitRate);
  EnetSource source;
  ServerEnd end = guardedUpdate([&] {
    return updateFolder(local, settings, *controller, source,
                        [&] { openConnectionsFor(settings.connections); }, wanted, notUpdated);
  });
  networkRunning = false;
  network.join();
  registerController(nullptr);
  return end;
}

// A web server's turn: its HTTP client carries the requests; the source
// goes before the controller it stores into.
ServerEnd updateFromWebServer(WebServer web, const ServerTarget& target, const DataSet& local,
                              const UpdateModeSettings& settings, WantedPaths& wanted,
                              std::vector<std::string>& notUpdated) {
  auto controller = std::make_unique<FileUpdateController>();
  auto source = std::make_unique<HttpSource>(std::move(web.client), web.dataUrl, *controller,
                                             settings.limitRate);
  ServerEnd end = guardedUpdate([&] {
    return updateFolder(local, settings, *controller, *source, [] {}, wanted, notUpdated);
  });
  std::string lost = source->lostReason();
  if (!lost.empty() && end != ServerEnd::kDone) {
    logLine("|||| Gave up on " + describeServer(target) + ": " + lost, 0);
    // A server that lied is not connected to again after progress.
    if (end == ServerEnd::kStuck && source->answeredWrongly()) end = ServerEnd::kRefusedData;
  }
  source.reset();
  return end;
}

ServerEnd updateFromServer(const ServerWalk& walk, std::optional<WebServer>& web,
                           const DataSet& local, const UpdateModeSettings& settings,
                           WantedPaths& wanted, std::vector<std::string>& notUpdated) {
  notUpdated.clear();
  if (!web) return updateFromEnetServer(local, settings, wanted, notUpdated);
  WebServer server = std::move(*web);
  web.reset();
  return updateFromWebServer(std::move(server), *walk.lastGiven(), local, settings, wanted,
                             notUpdated);
}

bool acceptsOnlySignedUpdates() {
  PublicKey key;
  return readSigningDemand(&key) == SigningDemand::kRequired;
}

// The web server target names, made ready in *web; false (with a line
// saying why) when it cannot be used.
bool openWebTarget(const ServerTarget& target, const UpdateModeSettings& settings,
                   std::optional<WebServer>* web) {
  WebServer opened;
  Status status = openWebServer(target.entry.host, acceptsOnlySignedUpdates(),
                                settings.connections, &opened);
  if (!status.ok()) {
    logLine("|||| Failed to reach web server " + describeServer(target) + ": " + status.message(),
            0);
    return false;
  }
  logLine("Web server " + describeServer(target) + " answered; fetching " + opened.dataUrl, 0);
  web->emplace(std::move(opened));
  return true;
}

// How the walk for the first server went on.
struct FirstWalk {
  bool secondWalk = false;  // the second walk: web servers were asked already
  bool enetTried = false;   // an ENet server was tried
};

// The server the run now fetches from, for the event stream; true.
bool announceServer(const ServerTarget& target) {
  emitEvent("server", {{"server", describeServer(target)},
                       {"name", target.entry.name},
                       {"web", target.web}});
  return true;
}

// The next server of the walk that answers: an ENet server connected, or
// a web server made ready in *web.
bool reachNextServer(ServerWalk& walk, const UpdateModeSettings& settings,
                     std::optional<WebServer>* web, FirstWalk* first = nullptr) {
  web->reset();
  uint32_t waitMs = first != nullptr && first->secondWalk ? kFarConnectWaitMs : kConnectWaitMs;
  size_t webGiven = 0;
  while (connectToNextServer(walk, waitMs)) {
    const ServerTarget& target = *walk.lastGiven();
    if (!target.web) return announceServer(target);
    ++webGiven;
    if (first != nullptr && first->secondWalk) continue;
    if (openWebTarget(target, settings, web)) return announceServer(target);
  }
  if (first != nullptr && walk.givenCount() > webGiven) first->enetTried = true;
  return false;
}

// After a server failed: the next one of the list that answers, with a
// line naming it. The files installed so far stay; the folder is scanned
// again so that only what is still missing is asked for.
bool goOnWithNextServer(ServerWalk& walk, const UpdateModeSettings& settings,
                        std::optional<WebServer>* web, DataSet* local) {
  // Without a list there is no next server; its absence is logged once.
  if (!walk.listFound()) return false;
  dropServer();
  if (!reachNextServer(walk, settings, web)) return false;
  logLine("Going on with the next server: " + describeServer(*walk.lastGiven()));
  sleepMs(kConnectPauseMs);
  Status scanned;
  *local = scanDataSet("./", &scanned);
  local->erase(settings.leftOut);
  if (!scanned.ok()) logError(scanned.message());
  return scanned.ok();
}

// The walk through the server list, connected to its first server that
// answers. A near server is preferred: each connect waits kConnectWaitMs
// at first. When none answered, the list is walked once more with a wait
// that reaches a server a second or more away.
ServerWalk connectToFirstServer(const UpdateModeSettings& settings,
                                std::optional<WebServer>* web) {
  ServerWalk walk(kServerListFile, "", resolveHostAddresses, freshWalkSeed());
  FirstWalk first;
  if (reachNextServer(walk, settings, web, &first) || !first.enetTried) return walk;
  logLine("|||| No server answered within " + std::to_string(kConnectWaitMs) +
              " ms; trying the list again, waiting up to " +
              std::to_string(kFarConnectWaitMs / 1000) + " s for each",
          0);
  walk = ServerWalk(kServerListFile, "", resolveHostAddresses, freshWalkSeed());
  first.secondWalk = true;
  reachNextServer(walk, settings, web, &first);
  return walk;
}

// A run that left other files as they were still starts the game, as
// after a refusal; one that could not install the game itself does not.
bool gameInstalled(const std::vector<std::string>& notUpdated) {
  return std::find(notUpdated.begin(), notUpdated.end(), kGameCommand) == notUpdated.end();
}

// A server closes connections that fetch nothing for a while, and the
// run may have spent that long applying a big file. When the run lost its
// server after it installed something, the same server is connected to
// again before the list goes on: at most kMaxReconnects times, and each
// time only after the folder changed, so a failing server cannot hold the
// run.
constexpr int kMaxReconnects = 16;

bool reconnectAfterProgress(const ServerWalk& walk, const UpdateModeSettings& settings,
                            std::optional<WebServer>* web, DataSet* local) {
  if (!walk.lastGiven() || connectedToServer()) return false;
  Status scanned;
  DataSet now = scanDataSet("./", &scanned);
  now.erase(settings.leftOut);
  if (!scanned.ok() || now == *local) return false;
  dropServer();
  const ServerTarget& target = *walk.lastGiven();
  if (target.web ? !openWebTarget(target, settings, web) : !reconnectToServer(target)) return false;
  logLine("Connected again to " + describeServer(*walk.lastGiven()));
  announceServer(target);
  sleepMs(kConnectPauseMs);
  *local = std::move(now);
  return true;
}

// Whether the updater must start again: a file never arrived from any
// server. A manifest that did not arrive whole changes nothing and counts
// as finished, as does data that failed its checks: the player can still
// start the game, and a restart would meet the same servers.
bool mustRestart(ServerEnd end) { return end == ServerEnd::kStuck; }

// How the run ended, for the event stream's "end" event.
const char* endResult(ServerEnd end, const std::vector<std::string>& notUpdated) {
  if (mustRestart(end)) return "restart";
  if (end == ServerEnd::kNoManifest) return "no_manifest";
  return notUpdated.empty() && end == ServerEnd::kDone ? "updated" : "incomplete";
}

}  // namespace

UpdateModeResult runUpdateMode(const DataSet& local, const UpdateModeSettings& settings) {
  if (createNetworkClient() == nullptr) return UpdateModeResult::kNoNetworkHost;
  std::optional<WebServer> web;
  ServerWalk walk = connectToFirstServer(settings, &web);
  sleepMs(kConnectPauseMs);

  DataSet scanned = local;
  WantedPaths wanted;
  std::vector<std::string> notUpdated;
  ServerEnd end = updateFromServer(walk, web, scanned, settings, wanted, notUpdated);
  for (int reconnects = 0; end != ServerEnd::kDone;) {
    if (end == ServerEnd::kStuck && reconnects < kMaxReconnects &&
        reconnectAfterProgress(walk, settings, &web, &scanned)) {
      ++reconnects;
    } else if (!goOnWithNextServer(walk, settings, &web, &scanned)) {
      break;
    }
    end = updateFromServer(walk, web, scanned, settings, wanted, notUpdated);
  }
  if (mustRestart(end)) announceRestart();
  shutdownNetworkClient();

  bool gameStarted = false;
  if (mustRestart(end)) {
    emitEvent("end", {{"result", endResult(end, notUpdated)},
                      {"not_updated", notUpdated},
                      {"game_started", false}});
    startProcess(std::string(kOwnExecutableFile) + " " + settings.argumentLine);
  } else {
    sleepMs(kFinishedPauseMs);
    if (settings.startGame && !gameInstalled(notUpdated)) {
      logError("the game itself was not updated, so it is not started");
    } else if (settings.startGame) {
      gameStarted = true;
    }
    emitEvent("end", {{"result", endResult(end, notUpdated)},
                      {"not_updated", notUpdated},
                      {"game_started", gameStarted}});
    if (gameStarted) startProcess(kGameCommand);
  }
  return UpdateModeResult::kDone;
}

}  // namespace quor
