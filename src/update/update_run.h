// The update run: brings the game folder to the version the server's
// manifest describes. Called in order by update mode: fetchManifest,
// deleteFiles, (folder and empty-file creation), getUpdates.
//
// The run asks its source (update/update_source.h) for what it needs and
// takes the answers from the controller, which the source's own thread
// fills. Called on one thread; getUpdates starts the request pump's thread
// (update/request_pump.h) and joins it before it returns.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "dataset/dataset.h"
#include "dataset/encodings_index.h"
#include "dataset/manifest.h"
#include "update/file_update_controller.h"
#include "update/reply_wait.h"
#include "update/signed_update.h"
#include "update/update_source.h"

namespace quor {

// Manifest path -> update data name: fileNumber + ".compressed" or ".patch",
// or a name of the second encoding (dataset/layout.h).
using PendingRequests = std::unordered_map<std::string, std::string>;
// Manifest path -> the names fetched, in order, when the pending one fails
// (update/data_choice.h).
using FallbackNames = std::unordered_map<std::string, std::vector<std::string>>;

inline constexpr uint32_t kGiveUpPauseMs = 5000;

// Sends the ManifestRequest and waits for "manifest.manifest". Returns the
// manifest as the server sent it (see dropUnsafeManifestPaths), or none,
// with one error line, when there is no connection, nothing arrived in
// time (see ReplyWait), or what arrived was empty or incomplete. Then
// nothing may be deleted or written.
// The manifest's bytes as received go to rawBytes when given (a signed
// update checks them).
std::optional<Manifest> fetchManifest(FileUpdateController& controller, UpdateSource& source,
                                      const ReplyWait& wait = ReplyWait(),
                                      Bytes* rawBytes = nullptr);

// Removes every local file in scope (isInUpdateScopeInAnyCase: where names
// ignore case, a player's SAVES/ is protected as saves/ is) that the
// manifest's files do not list, and never updater.key. Logs "... N deleted".
void deleteFiles(const DataSet& local, const Manifest& manifest, bool full);

// Creates the manifest's folders and empty files (existing folders are
// fine). An existing file listed as empty is emptied only when it is in
// the update scope (isInUpdateScopeInAnyCase): a player's own settings
// or saves are never cleared, in whatever letter case the manifest names
// them.
// Failures are logged.
void createFoldersAndEmptyFiles(const Manifest& manifest, bool full);

// The requests getUpdates makes: every file in scope (as the manifest's
// paths are: isInUpdateScopeInAnyCase) whose local checksum
// differs, as a patch when the local file is the patch base (never for
// ./updater.exe), else whole.
// carried: paths that a run from an earlier server wanted; they stay in
// scope although the earlier run may have created a protected folder
// since.
PendingRequests buildPendingRequests(const DataSet& local, const Manifest& manifest, bool full,
                                     const std::unordered_set<std::string>& carried = {});

// The same requests with the data each entry is fetched as chosen by the
// index (none: the classic choice), and what each falls back to.
struct RequestPlan {
  PendingRequests pending;
  FallbackNames fallbacks;
};
RequestPlan planRequests(const DataSet& local, const Manifest& manifest, bool full,
                         const std::unordered_set<std::string>& carried,
                         const EncodingsIndex* index);

// Requests, receives, verifies and writes every pending file. True when
// every entry was handled; false when a reply did not come in time (see
// ReplyWait; after the give-up lines and a 5 s pause): update mode then
// starts the updater again.
bool getUpdates(const DataSet& local, const Manifest& manifest, bool full,
                FileUpdateController& controller, UpdateSource& source,
                const ReplyWait& wait = ReplyWait());

// The same with the requests already chosen. Update mode chooses them
// before it creates the manifest's folders, because a protected folder
// that only the manifest created must not keep a fresh install from
// receiving the files shipped in it.
// With signedUpdate, every update data file must be as signed before it is
// used and every result as signed before it replaces anything. A whole
// file whose data fails its checks is fetched once more.
bool getUpdates(const PendingRequests& pending, const Manifest& manifest,
                FileUpdateController& controller, UpdateSource& source,
                const ReplyWait& wait = ReplyWait(), const SignedUpdate* signedUpdate = nullptr);

// How a run of the pending requests ended.
enum class RunEnd {
  kFinished,  // every entry handled; or the disk is full, which no restart mends
  kStuck,     // a reply did not come in time ("updater got stuck..." logged)
  kRefused,   // every entry handled, but some file's data failed its checks twice
};

// The run of getUpdates without its ending: update mode may go on with
// another server where getUpdates would give up.
// Every path the run left as it was (data that never came or failed its
// checks, a result that could not be written, the entries a full disk
// stopped) is named in one error line at the end, in place of "...
// updates applied", and goes to notUpdated when given; the next run tries
// them again. ./updater.key, which decides what the next run trusts, is
// installed last, and only when every other file was.
// fallbacks: what each entry's data falls back to when it cannot be used,
// "Fetching the whole file instead: NAME" or "Fetching NAME instead of
// FAILED"; without, a failed patch falls back to the whole file. Each
// fallback from a name only encodings.index lists (the second encoding's,
// a tagged patch) is counted ("Fallbacks: N" at the end).
RunEnd runUpdates(const PendingRequests& pending, const Manifest& manifest,
                  FileUpdateController& controller, UpdateSource& source, const ReplyWait& wait,
                  const SignedUpdate* signedUpdate = nullptr,
                  std::vector<std::string>* notUpdated = nullptr,
                  const FallbackNames* fallbacks = nullptr);

// The lines and the 5 s pause of a run that gives up, before the updater
// starts again.
void announceRestart();

}  // namespace quor
