#include "update/update_run.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <unordered_set>

#include "base/encoding.h"
#include "base/wake_signal.h"
#include "dataset/layout.h"
#include "dataset/update_scope.h"
#include "fs/file_utils.h"
#include "log/event_stream.h"
#include "log/log.h"
#include "platform/native_path.h"
#include "platform/sleep.h"
#include "update/apply_pool.h"
#include "update/data_choice.h"
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
  uint32_t written = 0;
  uint32_t patched = 0;
  uint32_t refused = 0;  // entries whose data failed its checks twice
  uint32_t fallbacks = 0;  // data of the second encoding that could not be used
  // Paths left as they were: data that never came whole or failed its
  // checks, a result that could not be written here (a file the running
  // game holds, a full disk).
  std::vector<std::string> notUpdated;
  // Paths whose entry is done, one way or the other.
  std::unordered_set<std::string> settled;
};

// One pending entry on its way through the run: its data fetched on the
// run's thread, applied in the apply pool, and fetched again when what
// came cannot be used.
struct EntryTask {
  std::string path;
  const ManifestEntry* entry = nullptr;
  std::string name;    // the update data the current attempt fetches
  bool again = false;  // the attempt fetches a refused whole file once more
  std::vector<std::string> rest;  // what the entry falls back to, in order
  // Whether the entry still holds its request's slot among the
  // outstanding ones. A patch keeps it until its outcome is known: a
  // whole-file request may take it over, and this thread, the only one
  // that takes replies, must never wait for a slot (the pump fills every
  // free one).
  bool slotHeld = true;
};

// What fetching one attempt's data brought.
struct Fetched {
  bool inTime = false;   // false: the stuck line is logged
  bool stopRun = false;  // the run cannot go on (logged)
  // Settled without applying anything: none when nothing usable came
  // (logged), else the verdict on data refused before it was used.
  std::optional<ApplyOutcome> outcome;
  ApplyPool::Job apply;  // else what turns the data into the game file
  size_t heldBytes = 0;  // the data apply holds in memory
};

Fetched settledAs(std::optional<ApplyOutcome> outcome) {
  Fetched fetched;
  fetched.inTime = true;
  fetched.outcome = outcome;
  return fetched;
}

Fetched runStops() {
  Fetched fetched = settledAs(std::nullopt);
  fetched.stopRun = true;
  return fetched;
}

// Waits for the reply named task.name until one with content arrives or
// the wait's clock runs out. Replies of size 0 are consumed but not
// accepted, but for the names only encodings.index lists: a server
// without such a file answers it empty, and the entry falls back at once.
// The first reply taken gives up the task's slot, unless it is a patch's.
std::optional<ReceivedFile> awaitReply(FileUpdateController& controller, EntryTask& task,
                                       OpenRequests& outstanding, const ReplyWait& wait) {
  // A reply already here counts even when the server has gone since.
  return awaitTaken(controller, wait, [&]() -> std::optional<ReceivedFile> {
    std::optional<ReceivedFile> reply = controller.takeReceivedFile(task.name);
    if (reply && task.slotHeld && !isPatchName(task.name)) {
      outstanding.done();
      task.slotHeld = false;
    }
    if (reply && reply->size == 0 && !isIndexOnlyName(task.name)) return std::nullopt;
    return reply;
  });
}

void logStuck(const std::string& name) {
  logError("updater got stuck when updating file: " + name);
}

// How the run fetches update data: whole replies held in memory, or
// pieces staged on disk from a server that offers ranges. request sends
// the first request for a name, requestAgain asks for a refused whole
// file once more from its start, and fetch awaits what the task's
// current request brings.
struct Fetcher {
  std::function<void(const std::string& name)> request;
  std::function<void(const std::string& name)> requestAgain;
  std::function<Fetched(EntryTask& task)> fetch;
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

// A patch that could not be used, or a patch reply that was no patch at
// all, is replaced by the whole file.
bool patchFailed(std::optional<ApplyOutcome> outcome) {
  return outcome == ApplyOutcome::kPatchUnusable || outcome == ApplyOutcome::kRejected ||
         outcome == ApplyOutcome::kNotWritten;
}

// Whether the outcome of task's attempt asks for another fetch.
bool needsAnotherFetch(const EntryTask& task, std::optional<ApplyOutcome> outcome) {
  if (isPatchName(task.name)) return patchFailed(outcome);
  return outcome && fetchAgain(task.name, *outcome, task.again);
}

// The refusal of update data that is not as signed, as the outcome of
// data that cannot be used.
ApplyOutcome refusedData(const std::string& name) {
  return isPatchName(name) ? ApplyOutcome::kPatchUnusable : ApplyOutcome::kRejected;
}

// The refusal of a name only encodings.index lists that the server does not have.
Fetched notOnTheServer(const std::string& name) {
  logLine(name + " is not on the server");
  return settledAs(refusedData(name));
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

// The same for data staged on disk.
ApplyOutcome applyStagedAsSigned(const SignedUpdate* signedUpdate, const std::string& path,
                                 const std::string& name, const ManifestEntry& entry,
                                 const std::string& partPath) {
  if (signedUpdate != nullptr) {
    Status asSigned = signedUpdate->checkDataFile(name, partPath);
    if (!asSigned.ok()) {
      logError(asSigned.message());
      return refusedData(name);
    }
  }
  return applyStagedFile(path, name, entry.checksum, partPath, signedDigestOf(signedUpdate, path));
}

uint64_t localSizeOf(const std::string& path) {
  std::error_code ec;
  uintmax_t size = std::filesystem::file_size(toNativePath(path), ec);
  return ec ? 0 : size;
}

// The jobs take copies of what they use: the task changes when the entry
// is fetched again, and the run's thread goes on. Each counts what it
// holds: the data in memory, and a decoder's window.
Fetched applyOfBytes(const SignedUpdate* signedUpdate, const EntryTask& task, Bytes data) {
  auto held = std::make_shared<const Bytes>(std::move(data));
  Fetched fetched = settledAs(std::nullopt);
  fetched.heldBytes = held->size() + applyMemory(task.name,
                                                 announcedResultSize(held->data(), held->size()),
                                                 localSizeOf(task.path));
  fetched.apply = [signedUpdate, path = task.path, name = task.name, entry = task.entry, held] {
    return applyBytesAsSigned(signedUpdate, path, name, *entry, *held);
  };
  return fetched;
}

Fetched applyOfStaged(const SignedUpdate* signedUpdate, const EntryTask& task,
                      const StagedFile& staged) {
  Fetched fetched = settledAs(std::nullopt);
  fetched.heldBytes =
      applyMemory(task.name, announcedResultSize(staged), localSizeOf(task.path));
  fetched.apply = [signedUpdate, path = task.path, name = task.name, entry = task.entry,
                   partPath = staged.partPath()] {
    return applyStagedAsSigned(signedUpdate, path, name, *entry, partPath);
  };
  return fetched;
}

Fetched fetchWholeReply(FileUpdateController& controller, const ReplyWait& wait,
                        OpenRequests& outstanding, const SignedUpdate* signedUpdate,
                        EntryTask& task) {
  std::optional<ReceivedFile> reply = awaitReply(controller, task, outstanding, wait);
  if (!reply) {
    logStuck(task.name);
    return {};
  }
  if (reply->size == 0) return notOnTheServer(task.name);
  if (!reply->data) {
    logError("Failed to get file: " + task.path);
    return settledAs(std::nullopt);
  }
  return applyOfBytes(signedUpdate, task, std::move(*reply->data));
}

Fetcher wholeReplyFetcher(FileUpdateController& controller, UpdateSource& source, const ReplyWait& wait,
                          OpenRequests& outstanding, const SignedUpdate* signedUpdate) {
  auto request = [&source](const std::string& name) { source.requestFile(name); };
  return {request, request,
          [&controller, &wait, &outstanding, signedUpdate](EntryTask& task) {
            return fetchWholeReply(controller, wait, outstanding, signedUpdate, task);
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
  uint32_t pieceSize;
  const SignedUpdate* signedUpdate;  // none: unsigned
  // Every name the run may ask for, filled before the pump starts. The
  // pump's thread reads an offset when it sends a name's first request,
  // and the run may set it to 0 at the same time (a staging the server no
  // longer matches), since the run can be waiting for a piece the
  // controller holds already: hence atomics.
  std::unordered_map<std::string, std::atomic<uint64_t>> firstOffsets;
};

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
// staged.
Fetched fetchRest(PieceContext& context, const EntryTask& task, uint64_t firstOffset,
                  ReceivedPiece first, StagedFile& staged) {
  const std::string& name = task.name;
  if (!sizeAsSigned(context.signedUpdate, name, first)) return settledAs(refusedData(name));
  bool inMemory = collectsInMemory(first, firstOffset, context.pieceSize);
  if (inMemory &&
      !enoughSpaceFor(announcedResultSize(first.data.data(), first.data.size()), task.path)) {
    return runStops();
  }
  Bytes collected;
  FetchOutcome fetched =
      inMemory ? collectPieces(context.controller, context.source, context.wait, context.pieceSize, name,
                               std::move(first), &collected)
               : fetchPieces(context.controller, context.source, context.wait, context.pieceSize,
                             task.path, name, firstOffset, std::move(first), staged);
  switch (fetched) {
    case FetchOutcome::kNoReply:
      logStuck(name);
      return {};
    case FetchOutcome::kNoSpace:
      return runStops();
    case FetchOutcome::kFailed:
      logError("Failed to get file: " + task.path);
      return settledAs(std::nullopt);
    case FetchOutcome::kStaged:
      break;
  }
  if (inMemory) return applyOfBytes(context.signedUpdate, task, std::move(collected));
  return applyOfStaged(context.signedUpdate, task, staged);
}

// Asks for name from its first byte, as the run's next request of it.
void requestFromStart(PieceContext& context, const std::string& name) {
  context.firstOffsets.at(name) = 0;
  context.source.requestRange(name, 0, context.pieceSize);
}

Fetched stagePieces(PieceContext& context, const EntryTask& task) {
  const std::string& name = task.name;
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
    return stagePieces(context, task);
  }
  if (first->status != kRangeStatusOk && isIndexOnlyName(name)) {
    context.controller.forgetPiecesOf(name);
    return notOnTheServer(name);
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
  auto staged = std::make_shared<StagedFile>(name);
  Fetched fetched = fetchRest(context, task, firstOffset, std::move(*first), *staged);
  first.reset();
  context.controller.forgetPiecesOf(name);
  // What is staged stays for the next run when this one gives up or
  // stops; otherwise it goes once it is used or refused: partial data
  // never counts as installed.
  if (!fetched.inTime || fetched.stopRun) return fetched;
  if (!fetched.apply) {
    staged->remove();
    return fetched;
  }
  fetched.apply = [apply = std::move(fetched.apply), staged] {
    ApplyOutcome outcome = apply();
    staged->remove();
    return outcome;
  };
  return fetched;
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
          [&context](const std::string& name) { requestFromStart(context, name); },
          [&context](EntryTask& task) { return stagePieces(context, task); },
          kFilesOpen,
          [&context] { return context.controller.firstPiecesOnTheirWay() < kFirstPiecesOpen; }};
}

enum class EntryResult { kDone, kGiveUp, kStopped };

// How an entry ended, for the event stream.
const char* outcomeName(std::optional<ApplyOutcome> outcome) {
  if (!outcome) return "not_received";
  switch (*outcome) {
    case ApplyOutcome::kPatched:
      return "patched";
    case ApplyOutcome::kWritten:
      return "written";
    case ApplyOutcome::kPatchUnusable:
      return "patch_unusable";
    case ApplyOutcome::kRejected:
      return "refused";
    case ApplyOutcome::kNotWritten:
      return "not_written";
  }
  return "not_received";
}

// The kind of an update data name, for the event stream: the suffix of
// its kind ("compressed", "patch", "zst", "zdiff", "zfrom").
std::string dataKindName(const std::string& name) {
  return std::string(dataKindSuffix(dataKindOf(name)).substr(1));
}

// The entries of one run: each fetched on this thread in the pump's
// order while the pool applies what came before, its outcome settled
// here (counted, or fetched again) as the pool gives it back.
class EntryRun {
 public:
  EntryRun(const Fetcher& fetcher, OpenRequests& outstanding, ProgressLine& progress,
           uint32_t total, const FallbackNames* fallbacks)
      : fetcher_(fetcher),
        outstanding_(outstanding),
        progress_(progress),
        total_(total),
        fallbacks_(fallbacks),
        pool_(ApplyPool::workersForThisMachine()) {}

  // Starts the entry of path, whose first request (name) has been sent,
  // after settling what the pool has applied meanwhile.
  EntryResult start(const std::string& path, const std::string& name, const ManifestEntry& entry) {
    EntryResult result = settleApplied(false);
    if (result != EntryResult::kDone) return result;
    return attempt(EntryTask{path, &entry, name, false, fallbacksOf(path, name, entry)});
  }

  // Settles every entry still open.
  EntryResult finish() {
    while (anyOpen()) {
      EntryResult result = settleApplied(true);
      if (result != EntryResult::kDone) return result;
    }
    return EntryResult::kDone;
  }

  // After a give-up or a stop: what the pool applies is still counted;
  // what would need another fetch is left as it was.
  void abandon() {
    while (anyOpen()) {
      takeFromPool(true);
      while (!backlog_.empty()) {
        auto [task, outcome] = nextSettled();
        count(task, needsAnotherFetch(task, outcome) ? std::nullopt : outcome);
      }
    }
  }

  Counters& counters() { return counters_; }

 private:
  bool anyOpen() { return !backlog_.empty() || pool_.open() != 0; }

  std::vector<std::string> fallbacksOf(const std::string& path, const std::string& name,
                                       const ManifestEntry& entry) const {
    if (fallbacks_ != nullptr) {
      auto found = fallbacks_->find(path);
      return found == fallbacks_->end() ? std::vector<std::string>() : found->second;
    }
    if (isPatchName(name)) return {wholeFileName(entry.fileNumber)};
    return {};
  }

  // Whether the outcome sends the entry to its next data: a patch that
  // could not be used, or a whole file refused that has another encoding.
  static bool fallsBack(const EntryTask& task, std::optional<ApplyOutcome> outcome) {
    if (task.rest.empty()) return false;
    if (isPatchName(task.name)) return patchFailed(outcome);
    return outcome == ApplyOutcome::kRejected;
  }

  void takeFromPool(bool wait) {
    if (!backlog_.empty()) return;
    for (const ApplyPool::Finished& finished : pool_.takeFinished(wait)) {
      backlog_.push_back(finished);
    }
  }

  std::pair<EntryTask, std::optional<ApplyOutcome>> nextSettled() {
    ApplyPool::Finished finished = backlog_.front();
    backlog_.pop_front();
    auto applied = applying_.extract(finished.ticket);
    return {std::move(applied.mapped()), finished.outcome};
  }

  // One by one, so that a give-up leaves the rest in the backlog for
  // abandon.
  EntryResult settleApplied(bool wait) {
    takeFromPool(wait);
    while (!backlog_.empty()) {
      auto [task, outcome] = nextSettled();
      EntryResult result = settle(std::move(task), outcome);
      if (result != EntryResult::kDone) return result;
    }
    return EntryResult::kDone;
  }

  EntryResult attempt(EntryTask task) {
    emitEvent("file_start", {{"path", task.path},
                             {"name", task.name},
                             {"kind", dataKindName(task.name)},
                             {"again", task.again}});
    Fetched fetched = fetcher_.fetch(task);
    if (!fetched.inTime) return EntryResult::kGiveUp;
    if (fetched.stopRun) return EntryResult::kStopped;
    if (!fetched.apply) return settle(std::move(task), fetched.outcome);
    uint64_t ticket =
        pool_.submit(applyKey(task.path), fetched.heldBytes, std::move(fetched.apply));
    applying_.emplace(ticket, std::move(task));
    return EntryResult::kDone;
  }

  // A failed patch is replaced by the entry's next data, requested in the
  // patch's slot (the whole file, without other encodings); a refused
  // whole file by its other encoding, or else fetched once more.
  EntryResult settle(EntryTask task, std::optional<ApplyOutcome> outcome) {
    if (fallsBack(task, outcome)) {
      std::string failed = std::move(task.name);
      task.name = task.rest.front();
      task.rest.erase(task.rest.begin());
      task.again = false;
      if (isIndexOnlyName(failed)) ++counters_.fallbacks;
      emitEvent("fallback", {{"path", task.path}, {"from", failed}, {"to", task.name}});
      if (isPatchName(task.name) || !isPatchName(failed)) {
        logLine("Fetching " + task.name + " instead of " + failed);
      } else {
        logLine("Fetching the whole file instead: " + task.name);
      }
      fetcher_.request(task.name);
      return attempt(std::move(task));
    }
    if (isPatchName(task.name) && patchFailed(outcome)) {
      count(task, outcome);
      return EntryResult::kDone;
    }
    if (needsAnotherFetch(task, outcome)) {
      logLine("Fetching the whole file again: " + task.name);
      task.again = true;
      fetcher_.requestAgain(task.name);
      return attempt(std::move(task));
    }
    count(task, outcome);
    return EntryResult::kDone;
  }

  void count(const EntryTask& task, std::optional<ApplyOutcome> outcome) {
    if (task.slotHeld) outstanding_.done();
    if (outcome == ApplyOutcome::kPatched) {
      ++counters_.patched;
    } else if (outcome == ApplyOutcome::kWritten) {
      ++counters_.written;
    } else {
      if (outcome == ApplyOutcome::kRejected) ++counters_.refused;
      counters_.notUpdated.push_back(task.path);
    }
    counters_.settled.insert(task.path);
    emitEvent("file_done", {{"path", task.path},
                            {"name", task.name},
                            {"result", outcomeName(outcome)}});
    progress_.fileDone();
    auto done = static_cast<uint32_t>(counters_.settled.size());
    if (done % (total_ / 20 + 1) == 0) {
      logLine(percentText(static_cast<float>(done) / static_cast<float>(total_)));
    }
  }

  const Fetcher& fetcher_;
  OpenRequests& outstanding_;
  ProgressLine& progress_;
  uint32_t total_;
  const FallbackNames* fallbacks_;  // none: the classic fallback
  Counters counters_;
  std::unordered_map<uint64_t, EntryTask> applying_;  // by the pool's ticket
  std::deque<ApplyPool::Finished> backlog_;           // taken from the pool, not settled
  ApplyPool pool_;  // last: its threads end before what their jobs report to
};

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
  if (counters.fallbacks != 0) logLine("Fallbacks: " + decimalText(counters.fallbacks));
  emitEvent("run_end", {{"written", counters.written},
                        {"patched", counters.patched},
                        {"refused", counters.refused},
                        {"fallbacks", counters.fallbacks},
                        {"not_updated", counters.notUpdated},
                        {"requests_left", outstanding}});
}

// Every update data name the run may stage: the pending ones, and the
// whole file behind each patch, which a failed patch falls back to.
std::unordered_set<std::string> namesToStage(const PendingRequests& pending,
                                             const Manifest& manifest,
                                             const FallbackNames* fallbacks) {
  std::unordered_set<std::string> names;
  for (const auto& [path, name] : pending) {
    names.insert(name);
    names.insert(wholeFileName(manifest.files.at(path).fileNumber));
    if (fallbacks == nullptr) continue;
    if (auto found = fallbacks->find(path); found != fallbacks->end()) {
      names.insert(found->second.begin(), found->second.end());
    }
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

// Starts the entries of pending in the pump's order and settles them all.
EntryResult runAll(const PendingRequests& pending, const Manifest& manifest, EntryRun& run) {
  for (const auto& [path, name] : pending) {
    EntryResult result = run.start(path, name, manifest.files.at(path));
    if (result != EntryResult::kDone) return result;
  }
  return run.finish();
}

// The trust entry after the rest: requested here, as the pump would.
EntryResult runTrustEntry(const PendingRequests& pending, const Manifest& manifest,
                          const Fetcher& fetcher, OpenRequests& outstanding, EntryRun& run) {
  auto trust = pending.find(kPublicKeyPath);
  if (trust == pending.end()) return EntryResult::kDone;
  if (!run.counters().notUpdated.empty()) {
    run.counters().notUpdated.push_back(trust->first);
    return EntryResult::kDone;
  }
  outstanding.count.fetch_add(1);
  fetcher.request(trust->second);
  return runAll(PendingRequests{*trust}, manifest, run);
}

// Adds the entries of pending that never got their turn in a run that
// stopped.
void noteNotReached(const PendingRequests& pending, Counters& counters) {
  for (const auto& [path, name] : pending) {
    if (counters.settled.count(path) == 0) counters.notUpdated.push_back(path);
  }
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
                  std::vector<std::string>* notUpdated, const FallbackNames* fallbacks) {
  EntryRun run(fetcher, outstanding, progress, static_cast<uint32_t>(pending.size()), fallbacks);
  PendingRequests rest = withoutTrustEntry(pending);
  PumpThread pump(rest, outstanding, source, fetcher);
  EntryResult result = runAll(rest, manifest, run);
  if (result == EntryResult::kDone) {
    pump.finish();
    result = runTrustEntry(pending, manifest, fetcher, outstanding, run);
  }
  Counters& counters = run.counters();
  if (result != EntryResult::kDone) {
    pump.stop();
    run.abandon();
    if (result == EntryResult::kStopped) {
      noteNotReached(rest, counters);
      if (pending.count(kPublicKeyPath) != 0 && counters.settled.count(kPublicKeyPath) == 0) {
        counters.notUpdated.push_back(kPublicKeyPath);
      }
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
  return planRequests(local, manifest, full, carried, nullptr).pending;
}

RequestPlan planRequests(const DataSet& local, const Manifest& manifest, bool full,
                         const std::unordered_set<std::string>& carried,
                         const EncodingsIndex* index) {
  RequestPlan plan;
  for (const auto& [path, entry] : manifest.files) {
    if (carried.count(path) == 0 && !isInUpdateScopeInAnyCase(path, full)) continue;
    auto found = local.find(path);
    std::optional<uint32_t> localChecksum;
    if (found != local.end()) localChecksum = static_cast<uint32_t>(found->second);
    if (localChecksum == entry.checksum) continue;
    std::vector<std::string> names = dataCandidates(path, entry, localChecksum, index);
    plan.pending[path] = names.front();
    names.erase(names.begin());
    plan.fallbacks[path] = std::move(names);
  }
  return plan;
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
                  const SignedUpdate* signedUpdate, std::vector<std::string>* notUpdated,
                  const FallbackNames* fallbacks) {
  logLine("Getting updates from server...");
  std::unordered_set<std::string> names = namesToStage(pending, manifest, fallbacks);
  removeStaleStaging(names);
  OpenRequests outstanding;
  ProgressLine progress(pending, controller, source);
  if (std::optional<uint32_t> offered = controller.offeredPieceSize()) {
    uint32_t pieceSize = std::min(*offered, kPieceSize);
    PieceContext context{controller, source, wait, pieceSize, signedUpdate, {}};
    std::unordered_set<std::string> startingAfresh;
    for (const std::string& name : names) {
      uint64_t offset = firstRequestOffset(name, pieceSize);
      context.firstOffsets[name] = offset;
      if (offset == 0) startingAfresh.insert(name);
    }
    if (pieceSize >= kMinPieceSize) askRestOfSmallFilesAhead(controller, source, startingAfresh, pieceSize);
    controller.onFirstPieceCame([&outstanding] { outstanding.roomMade.notify(); });
    RunEnd end =
        runEntries(pending, manifest, source, pieceFetcher(context), outstanding, progress,
                   notUpdated, fallbacks);
    controller.onFirstPieceCame({});
    // Only now: the folder must not go while the pool's threads or the
    // source's are still writing into it.
    removeEmptyStagingFolder();
    return end;
  }
  return runEntries(pending, manifest, source,
                    wholeReplyFetcher(controller, source, wait, outstanding, signedUpdate), outstanding,
                    progress, notUpdated, fallbacks);
}

}  // namespace quor
