#include "update/update_run.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <unordered_set>

#include "base/encoding.h"
#include "base/wake_signal.h"
#include "dataset/layout.h"
#include "dataset/update_scope.h"
#include "fs/file_utils.h"
#include "log/log.h"
#include "platform/native_path.h"
#include "platform/sleep.h"
#include "update/file_apply.h"
#include "update/piece_fetch.h"
#include "update/progress_line.h"
#include "update/request_pump.h"
#include "update/safe_paths.h"
#include "update/staging.h"

namespace quor {
namespace {

// The requests the pump has sent that the run is not done with yet. The
// pump waits for room while its limit of them are open; done() makes
// room and wakes it at once.
struct OpenRequests {
  std::atomic<int32_t> count{0};
  WakeSignal roomMade;
  void done() {
    count.fetch_sub(1);
    roomMade.notify();
  }
};

struct Counters {
  uint32_t processed = 0;
  uint32_t written = 0;
  uint32_t patched = 0;
  uint32_t refused = 0;  // entries whose data failed its checks twice
  // Paths left as they were: data that never came whole or failed its
  // checks, a result that could not be written here (a file the running
  // game holds, a full disk).
  std::vector<std::string> notUpdated;
};

// Waits for the reply named name until one with content arrives or the
// wait's clock runs out. Replies of size 0 are consumed but not accepted.
// Each reply taken is counted off outstanding, unless keepSlot: then the
// caller keeps the request's slot among the outstanding ones.
std::optional<ReceivedFile> awaitReply(FileUpdateController& controller, const std::string& name,
                                       OpenRequests& outstanding, bool keepSlot,
                                       const ReplyWait& wait) {
  // A reply already here counts even when the server has gone since.
  return awaitTaken(controller, wait, [&]() -> std::optional<ReceivedFile> {
    std::optional<ReceivedFile> reply = controller.takeReceivedFile(name);
    if (reply && !keepSlot) outstanding.done();
    if (reply && reply->size == 0) return std::nullopt;
    return reply;
  });
}

void logStuck(const std::string& name) {
  logError("updater got stuck when updating file: " + name);
}

// What became of one request of an entry.
struct Attempt {
  bool inTime = false;                  // false: the stuck line is logged
  std::optional<ApplyOutcome> outcome;  // none: nothing usable came (logged)
  bool stopRun = false;                 // the run cannot go on (logged)
};

// How the run fetches update data and turns it into game files: whole
// replies held in memory, or pieces staged on disk from a server that
// offers ranges. request sends the first request for a name;
// fetchAndApply awaits what it brings and applies it, releasing the
// request's slot among the outstanding ones unless keepSlot.
struct Fetcher {
  std::function<void(const std::string& name)> request;
  std::function<Attempt(const std::string& path, const std::string& name,
                        const ManifestEntry& entry, bool keepSlot)>
      fetchAndApply;
  int32_t openLimit = kMaxOutstandingRequests;  // requests the pump keeps open
  std::function<bool()> mayOpen;                // and what else must allow one
};

// The SHA-256 a signed update's result must have; none when unsigned.
const Sha256Digest* signedDigestOf(const SignedUpdate* signedUpdate, const std::string& path) {
  return signedUpdate == nullptr ? nullptr : signedUpdate->gameFileDigest(path);
}

// A whole file whose data was refused is fetched once more, on the first
// attempt only: damage on the way is fetched away, while a server that
// sends the same wrong bytes twice is failing (the run's refused count).
bool fetchAgain(const std::string& name, ApplyOutcome outcome, bool again) {
  return !again && !isPatchName(name) && outcome == ApplyOutcome::kRejected;
}

// The refusal of update data that is not as signed, as the outcome of
// data that cannot be used.
ApplyOutcome refusedData(const std::string& name) {
  return isPatchName(name) ? ApplyOutcome::kPatchUnusable : ApplyOutcome::kRejected;
}

// Update data held in memory, checked whole first when the update is
// signed.
ApplyOutcome applyBytesAsSigned(const SignedUpdate* signedUpdate, const std::string& path,
                                const std::string& name, const ManifestEntry& entry,
                                const Bytes& data) {
  if (signedUpdate != nullptr) {
    Status asSigned = signedUpdate->checkDataBytes(name, data);
    if (!asSigned.ok()) {
      logError(asSigned.message());
      return refusedData(name);
    }
  }
  return applyReceivedFile(path, name, entry.checksum, data, signedDigestOf(signedUpdate, path));
}

// A second request of the same name (again) keeps to the slot of the
// first, which awaitReply has counted off already.
Attempt fetchWholeReply(FileUpdateController& controller, UpdateSource& source, const ReplyWait& wait,
                        OpenRequests& outstanding, const SignedUpdate* signedUpdate,
                        const std::string& path, const std::string& name,
                        const ManifestEntry& entry, bool keepSlot, bool again = false) {
  std::optional<ReceivedFile> reply = awaitReply(controller, name, outstanding, keepSlot, wait);
  if (!reply) {
    logStuck(name);
    return {};
  }
  if (!reply->data) {
    logError("Failed to get file: " + path);
    return {true, std::nullopt};
  }
  ApplyOutcome outcome = applyBytesAsSigned(signedUpdate, path, name, entry, *reply->data);
  if (fetchAgain(name, outcome, again)) {
    reply.reset();
    logLine("Fetching the whole file again: " + name);
    source.requestFile(name);
    return fetchWholeReply(controller, source, wait, outstanding, signedUpdate, path, name, entry, true,
                           true);
  }
  return {true, outcome};
}

Fetcher wholeReplyFetcher(FileUpdateController& controller, UpdateSource& source, const ReplyWait& wait,
                          OpenRequests& outstanding, const SignedUpdate* signedUpdate) {
  return {[&source](const std::string& name) { source.requestFile(name); },
          [&controller, &source, &wait, &outstanding, signedUpdate](
              const std::string& path, const std::string& name, const ManifestEntry& entry,
              bool keepSlot) {
            return fetchWholeReply(controller, source, wait, outstanding, signedUpdate, path, name, entry,
                                   keepSlot);
          },
          kMaxOutstandingRequests,
          {}};
}

// The pieces of a server that offers ranges. Where each name's first
// request starts is settled before the pump starts, from the staging of
// earlier runs, so that the pump's request and the run's wait agree.
struct PieceContext {
  FileUpdateController& controller;
  UpdateSource& source;
  const ReplyWait& wait;
  OpenRequests& outstanding;
  uint32_t pieceSize;
  const SignedUpdate* signedUpdate;  // none: unsigned
  // Every name the run may ask for, filled before the pump starts; the
  // pump's thread only reads it.
  std::unordered_map<std::string, uint64_t> firstOffsets;
};

// A signed update's staged data is checked whole before it is used.
ApplyOutcome applyStagedAsSigned(const PieceContext& context, const std::string& path,
                                 const std::string& name, const ManifestEntry& entry,
                                 const StagedFile& staged) {
  const SignedUpdate* signedUpdate = context.signedUpdate;
  if (signedUpdate != nullptr) {
    Status asSigned = signedUpdate->checkDataFile(name, staged.partPath());
    if (!asSigned.ok()) {
      logError(asSigned.message());
      return refusedData(name);
    }
  }
  return applyStagedFile(path, name, entry.checksum, staged.partPath(),
                         signedDigestOf(signedUpdate, path));
}

// A signed update names each data file's size: a server file of another
// size is refused after its first piece, and nothing beyond is asked for.
bool sizeAsSigned(const SignedUpdate* signedUpdate, const std::string& name,
                  const ReceivedPiece& first) {
  if (signedUpdate == nullptr) return true;
  uint64_t signedSize = signedUpdate->dataFileSize(name).value_or(0);
  if (first.fileSize == signedSize) return true;
  logError(name + " has " + std::to_string(first.fileSize) + " bytes, manifest.sig says " +
           std::to_string(signedSize));
  return false;
}

// Fetches the rest of the file that first belongs to, in memory or into
// staged, and applies it.
Attempt fetchRestAndApply(PieceContext& context, const std::string& path, const std::string& name,
                          const ManifestEntry& entry, uint64_t firstOffset, ReceivedPiece first,
                          StagedFile& staged) {
  if (!sizeAsSigned(context.signedUpdate, name, first)) return {true, refusedData(name)};
  bool inMemory = collectsInMemory(first, firstOffset, context.pieceSize);
  if (inMemory && !enoughSpaceFor(announcedResultSize(first.data.data(), first.data.size()), path)) {
    return {true, std::nullopt, true};
  }
  Bytes collected;
  FetchOutcome fetched =
      inMemory ? collectPieces(context.controller, context.source, context.wait, context.pieceSize, name,
                               std::move(first), &collected)
               : fetchPieces(context.controller, context.source, context.wait, context.pieceSize, path, name,
                             firstOffset, std::move(first), staged);
  switch (fetched) {
    case FetchOutcome::kNoReply:
      logStuck(name);
      return {};
    case FetchOutcome::kNoSpace:
      return {true, std::nullopt, true};
    case FetchOutcome::kFailed:
      logError("Failed to get file: " + path);
      return {true, std::nullopt};
    case FetchOutcome::kStaged:
      break;
  }
  return {true, inMemory ? applyBytesAsSigned(context.signedUpdate, path, name, entry, collected)
                         : applyStagedAsSigned(context, path, name, entry, staged)};
}

// Asks for name from its first byte, as the run's next request of it.
void requestFromStart(PieceContext& context, const std::string& name) {
  context.firstOffsets.at(name) = 0;
  context.source.requestRange(name, 0, context.pieceSize);
}

Attempt stageAndApply(PieceContext& context, const std::string& path, const std::string& name,
                      const ManifestEntry& entry, bool again = false) {
  uint64_t firstOffset = context.firstOffsets.at(name);
  std::optional<ReceivedPiece> first =
      awaitFirstPiece(context.controller, context.source, context.wait, name, firstOffset,
                      context.pieceSize);
  if (!first) {
    logStuck(name);
    return {};
  }
  if (first->status != kRangeStatusOk && firstOffset != 0) {
    // What an earlier run staged under this name belongs to a file the
    // server no longer has: a new release may give the name to a smaller
    // file. Asking on from there would fail the same way in every run.
    logLine("The staged part of " + name + " is not on the server any more; starting it again");
    StagedFile stale(name);
    stale.loadPrevious();
    stale.remove();
    requestFromStart(context, name);
    return stageAndApply(context, path, name, entry, again);
  }
  if (first->status != kRangeStatusOk) {
    // A file the server refuses never arrives, as a whole file's empty
    // reply never does: the run waits its time out and gives up.
    first = awaitFirstPiece(context.controller, context.source, context.wait, name, firstOffset,
                            context.pieceSize);
    if (!first || first->status != kRangeStatusOk) {
      logStuck(name);
      return {};
    }
  }
  StagedFile staged(name);
  Attempt attempt =
      fetchRestAndApply(context, path, name, entry, firstOffset, std::move(*first), staged);
  first.reset();
  context.controller.forgetPiecesOf(name);
  // What is staged stays for the next run when this one gives up or
  // stops; otherwise it goes, used or not: partial data never counts as
  // installed.
  if (!attempt.inTime || attempt.stopRun) return attempt;
  staged.remove();
  if (attempt.outcome && fetchAgain(name, *attempt.outcome, again)) {
    // Pieces kept from an earlier run may have been damaged on the disk
    // since, or the file on its way: it is fetched once more from its
    // first byte.
    logLine("Fetching the whole file again: " + name);
    requestFromStart(context, name);
    return stageAndApply(context, path, name, entry, true);
  }
  return attempt;
}

// The files collected in memory (update/piece_fetch.h) have their rest
// asked for as soon as their first piece comes, within the download cap.
void askRestOfSmallFilesAhead(FileUpdateController& controller, UpdateSource& source,
                              std::unordered_set<std::string> names, uint32_t pieceSize) {
  controller.askAheadFor(std::move(names), pieceSize, kInMemoryDataBytes,
                         [&source](const std::string& name, uint64_t offset, uint32_t length) {
                           return source.mayRequest(length) &&
                                  source.requestRange(name, offset, length);
                         });
}

Fetcher pieceFetcher(PieceContext& context) {
  return {[&context](const std::string& name) {
            uint64_t offset = context.firstOffsets.at(name);
            context.controller.expectFirstPiece(name, offset);
            context.source.requestRange(name, offset, context.pieceSize);
          },
          [&context](const std::string& path, const std::string& name,
                     const ManifestEntry& entry, bool keepSlot) {
            Attempt attempt = stageAndApply(context, path, name, entry);
            if (!keepSlot) context.outstanding.done();
            return attempt;
          },
          kFilesOpen,
          [&context] { return context.controller.firstPiecesOnTheirWay() < kFirstPiecesOpen; }};
}

// A patch that could not be used, or a patch reply that was no patch at
// all, is replaced by the whole file.
bool patchFailed(const Attempt& attempt) {
  return attempt.outcome == ApplyOutcome::kPatchUnusable ||
         attempt.outcome == ApplyOutcome::kRejected || attempt.outcome == ApplyOutcome::kNotWritten;
}

enum class EntryResult { kDone, kGiveUp, kStopped };

// Waits for one pending entry and applies it. A patch that fails is
// replaced by the whole file, requested at once in the patch's slot among
// the outstanding requests: the pump fills every free slot, so a request
// of its own would go past the limit, and this thread, the only one that
// takes replies, must never wait for a slot.
EntryResult handleEntry(const std::string& path, const std::string& name,
                        const ManifestEntry& entry, const Fetcher& fetcher,
                        OpenRequests& outstanding, Counters& counters) {
  bool patchRequest = isPatchName(name);
  Attempt attempt = fetcher.fetchAndApply(path, name, entry, patchRequest);
  if (attempt.inTime && !attempt.stopRun && patchRequest && patchFailed(attempt)) {
    std::string whole = wholeFileName(entry.fileNumber);
    logLine("Fetching the whole file instead: " + whole);
    fetcher.request(whole);
    attempt = fetcher.fetchAndApply(path, whole, entry, false);
  } else if (patchRequest) {
    outstanding.done();
  }
  if (!attempt.inTime) return EntryResult::kGiveUp;
  if (attempt.stopRun) return EntryResult::kStopped;
  if (attempt.outcome == ApplyOutcome::kPatched) {
    ++counters.patched;
  } else if (attempt.outcome == ApplyOutcome::kWritten) {
    ++counters.written;
  } else {
    if (attempt.outcome == ApplyOutcome::kRejected) ++counters.refused;
    counters.notUpdated.push_back(path);
  }
  return EntryResult::kDone;
}

// One line for every file the run could not install, naming the first few.
constexpr size_t kNamedInSummary = 10;
void logNotUpdated(const std::vector<std::string>& paths) {
  std::string line = decimalText(static_cast<int32_t>(paths.size())) + " files were not updated:";
  for (size_t i = 0; i < paths.size() && i < kNamedInSummary; ++i) line += " " + paths[i];
  if (paths.size() > kNamedInSummary) {
    line += " and " + std::to_string(paths.size() - kNamedInSummary) + " more";
  }
  logError(line + "; the next run tries them again");
}

// A run that left files as they were does not say the updates were
// applied: it names them instead.
void logEndReport(int32_t outstanding, const Counters& counters) {
  if (outstanding != 0) {
    logError("File requests at end: " + decimalText(outstanding));
  } else {
    logLine("No remaining file requests");
  }
  if (counters.notUpdated.empty()) {
    logLine("... updates applied");
  } else {
    logNotUpdated(counters.notUpdated);
  }
  logLine("Written: " + decimalText(counters.written));
  logLine("Patched: " + decimalText(counters.patched));
}

// Every update data name the run may stage: the pending ones, and the
// whole file behind each patch, which a failed patch falls back to.
std::unordered_set<std::string> namesToStage(const PendingRequests& pending,
                                             const Manifest& manifest) {
  std::unordered_set<std::string> names;
  for (const auto& [path, name] : pending) {
    names.insert(name);
    names.insert(wholeFileName(manifest.files.at(path).fileNumber));
  }
  return names;
}

// The key that decides what the next run trusts (updater.key) is
// installed last, and only once every other file of its release is: a run
// cut off earlier, with the new key already in place, would refuse the
// very release that brought it, signed with the old key, in every later
// run.
PendingRequests withoutTrustEntry(const PendingRequests& pending) {
  PendingRequests rest = pending;
  rest.erase(kPublicKeyPath);
  return rest;
}

// Handles the entries of pending in the pump's order; false when the run
// cannot go on (result says why).
bool handleAll(const PendingRequests& pending, const Manifest& manifest, const Fetcher& fetcher,
               OpenRequests& outstanding, ProgressLine& progress, Counters& counters,
               uint32_t total, EntryResult& result) {
  uint32_t progressStep = total / 20 + 1;
  for (const auto& [path, name] : pending) {
    result = handleEntry(path, name, manifest.files.at(path), fetcher, outstanding, counters);
    if (result != EntryResult::kDone) return false;
    ++counters.processed;
    progress.fileDone();
    if (counters.processed % progressStep == 0) {
      logLine(percentText(static_cast<float>(counters.processed) / static_cast<float>(total)));
    }
  }
  return true;
}

// The trust entry after the rest: requested here, as the pump would.
bool handleTrustEntry(const PendingRequests& pending, const Manifest& manifest,
                      const Fetcher& fetcher, OpenRequests& outstanding, ProgressLine& progress,
                      Counters& counters, uint32_t total, EntryResult& result) {
  auto trust = pending.find(kPublicKeyPath);
  if (trust == pending.end()) return true;
  if (!counters.notUpdated.empty()) {
    counters.notUpdated.push_back(trust->first);
    return true;
  }
  PendingRequests one{*trust};
  outstanding.count.fetch_add(1);
  fetcher.request(trust->second);
  return handleAll(one, manifest, fetcher, outstanding, progress, counters, total, result);
}

// Adds the entries of pending that never got their turn in a run that
// stopped: those after the first counters.processed, in the pump's order.
void noteNotReached(const PendingRequests& pending, Counters& counters) {
  auto entry = pending.begin();
  for (uint32_t done = 0; done < counters.processed && entry != pending.end(); ++done) ++entry;
  for (; entry != pending.end(); ++entry) counters.notUpdated.push_back(entry->first);
}

// The request pump on a thread of its own (update/request_pump.h),
// stopped and joined however the run's scope is left: an exception (out
// of memory) must reach the caller, not end the program through a thread
// still joinable.
class PumpThread {
 public:
  PumpThread(const PendingRequests& pending, OpenRequests& outstanding, UpdateSource& source,
             const Fetcher& fetcher)
      : outstanding_(outstanding), thread_([&pending, &outstanding, &source, &fetcher, this] {
          runRequestPump(pending, outstanding.count, stop_, source, fetcher.request,
                         fetcher.openLimit, &outstanding.roomMade, fetcher.mayOpen);
        }) {}
  ~PumpThread() { stop(); }
  PumpThread(const PumpThread&) = delete;
  PumpThread& operator=(const PumpThread&) = delete;

  // Waits until it has sent every request.
  void finish() {
    if (thread_.joinable()) thread_.join();
  }
  // Stops it where it is, when the run cannot go on, and joins it.
  void stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    outstanding_.roomMade.notify();
    thread_.join();
  }

 private:
  OpenRequests& outstanding_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: it starts once the rest is set up
};

// The entries in the pump's order, with the progress lines and the end
// report.
RunEnd runEntries(const PendingRequests& pending, const Manifest& manifest, UpdateSource& source,
                  const Fetcher& fetcher, OpenRequests& outstanding, ProgressLine& progress,
                  std::vector<std::string>* notUpdated) {
  Counters counters;
  uint32_t total = static_cast<uint32_t>(pending.size());
  PendingRequests rest = withoutTrustEntry(pending);
  PumpThread pump(rest, outstanding, source, fetcher);
  EntryResult result = EntryResult::kDone;
  bool wentOn = handleAll(rest, manifest, fetcher, outstanding, progress, counters, total, result);
  if (!wentOn) {
    pump.stop();
  } else {
    pump.finish();
    wentOn = handleTrustEntry(pending, manifest, fetcher, outstanding, progress, counters, total,
                              result);
  }
  if (!wentOn) {
    if (result == EntryResult::kStopped) {
      noteNotReached(rest, counters);
      if (pending.count(kPublicKeyPath) != 0) counters.notUpdated.push_back(kPublicKeyPath);
      logNotUpdated(counters.notUpdated);
    }
    if (notUpdated != nullptr) *notUpdated = counters.notUpdated;
    // A run that cannot go on for want of disk space ends without the
    // restart: another run would meet the same full disk.
    return result == EntryResult::kStopped ? RunEnd::kFinished : RunEnd::kStuck;
  }
  logEndReport(outstanding.count.load(), counters);
  if (notUpdated != nullptr) *notUpdated = counters.notUpdated;
  return counters.refused == 0 ? RunEnd::kFinished : RunEnd::kRefused;
}

}  // namespace

std::optional<Manifest> fetchManifest(FileUpdateController& controller, UpdateSource& source,
                                      const ReplyWait& wait,
                                      Bytes* rawBytes) {
  logLine("Fetching manifest...");
  // Asked first, so that a server that offers ranges has said so by the
  // time its manifest arrives; a server without them drops the request.
  source.sendHello();
  if (!source.requestManifest()) {
    logError("no connection to an update server: nothing was updated");
    return std::nullopt;
  }
  std::optional<ReceivedFile> reply = awaitTaken(
      controller, wait, [&controller] { return controller.takeReceivedFile(kManifestName); });
  if (!reply) {
    logError("the manifest did not arrive: nothing was updated");
    return std::nullopt;
  }
  if (reply->size == 0 || !reply->data) {
    logError("the server sent an empty manifest: nothing was updated");
    return std::nullopt;
  }
  Manifest manifest = readManifest(reply->data->data(), reply->data->size());
  if (!manifest.complete) {
    logError("the manifest is incomplete: nothing was updated");
    return std::nullopt;
  }
  logLine("... manifest received");
  if (rawBytes != nullptr) *rawBytes = std::move(*reply->data);
  return manifest;
}

void deleteFiles(const DataSet& local, const Manifest& manifest, bool full) {
  logLine("Deleting files...");
  uint32_t count = 0;
  for (const auto& entry : local) {
    const std::string& path = entry.first;
    // The public key stays whatever the manifest says: without it the
    // game would take unsigned updates again.
    if (isPublicKeyPath(path)) continue;
    if (isInUpdateScopeInAnyCase(path, full) && manifest.files.count(path) == 0) {
      removeFile(path);
      ++count;
    }
  }
  logLine("... " + decimalText(count) + " deleted");
}

void createFoldersAndEmptyFiles(const Manifest& manifest, bool full) {
  for (const std::string& folder : manifest.folders) {
    std::error_code ec;
    std::filesystem::create_directories(toNativePath(folder), ec);
    if (ec) logError("cannot create folder " + folder + ": " + ec.message());
  }
  for (const std::string& file : manifest.emptyFiles) {
    std::error_code ec;
    bool present = std::filesystem::exists(toNativePath(file), ec);
    if (present && !isInUpdateScopeInAnyCase(file, full)) continue;
    std::ofstream empty(toNativePath(file), std::ios::out | std::ios::trunc);
    if (!empty) logError("cannot create empty file " + file);
  }
}

PendingRequests buildPendingRequests(const DataSet& local, const Manifest& manifest, bool full,
                                     const std::unordered_set<std::string>& carried) {
  PendingRequests pending;
  for (const auto& [path, entry] : manifest.files) {
    if (carried.count(path) == 0 && !isInUpdateScopeInAnyCase(path, full)) continue;
    auto found = local.find(path);
    bool present = found != local.end();
    uint32_t localChecksum = present ? static_cast<uint32_t>(found->second) : 0;
    if (present && localChecksum == entry.checksum) continue;
    std::string name = wholeFileName(entry.fileNumber);
    if (present && path != kOwnExecutablePath && entry.patchBaseChecksum != 0 &&
        entry.patchBaseChecksum == localChecksum) {
      name = patchFileName(entry.fileNumber);
    }
    pending[path] = name;
  }
  return pending;
}

bool getUpdates(const DataSet& local, const Manifest& manifest, bool full,
                FileUpdateController& controller, UpdateSource& source, const ReplyWait& wait) {
  return getUpdates(buildPendingRequests(local, manifest, full), manifest, controller, source,
                    wait);
}

void announceRestart() {
  logLine("Restarting in 5 seconds");
  logLine("Press ctrl+c to abort");
  logLine("If this keeps repeating, please report to developer, thank you!");
  sleepMs(kGiveUpPauseMs);
}

bool getUpdates(const PendingRequests& pending, const Manifest& manifest,
                FileUpdateController& controller, UpdateSource& source, const ReplyWait& wait,
                const SignedUpdate* signedUpdate) {
  if (runUpdates(pending, manifest, controller, source, wait, signedUpdate) != RunEnd::kStuck) {
    return true;
  }
  announceRestart();
  return false;
}

RunEnd runUpdates(const PendingRequests& pending, const Manifest& manifest,
                  FileUpdateController& controller, UpdateSource& source, const ReplyWait& wait,
                  const SignedUpdate* signedUpdate, std::vector<std::string>* notUpdated) {
  logLine("Getting updates from server...");
  std::unordered_set<std::string> names = namesToStage(pending, manifest);
  removeStaleStaging(names);
  OpenRequests outstanding;
  ProgressLine progress(pending, controller, source);
  if (std::optional<uint32_t> offered = controller.offeredPieceSize()) {
    uint32_t pieceSize = std::min(*offered, kPieceSize);
    PieceContext context{controller, source, wait, outstanding, pieceSize, signedUpdate, {}};
    std::unordered_set<std::string> startingAfresh;
    for (const std::string& name : names) {
      context.firstOffsets[name] = firstRequestOffset(name, pieceSize);
      if (context.firstOffsets[name] == 0) startingAfresh.insert(name);
    }
    if (pieceSize >= kMinPieceSize) askRestOfSmallFilesAhead(controller, source, startingAfresh, pieceSize);
    controller.onFirstPieceCame([&outstanding] { outstanding.roomMade.notify(); });
    RunEnd end =
        runEntries(pending, manifest, source, pieceFetcher(context), outstanding, progress,
                   notUpdated);
    controller.onFirstPieceCame({});
    return end;
  }
  return runEntries(pending, manifest, source,
                    wholeReplyFetcher(controller, source, wait, outstanding, signedUpdate), outstanding,
                    progress, notUpdated);
}

}  // namespace quor
