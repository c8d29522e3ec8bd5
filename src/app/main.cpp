// updater: brings a game folder to the published version (update mode), or
// writes the update data set of a new build (--create).

#include "app/banner.h"
#include "app/exit_codes.h"
#include "app/options.h"
#include "app/write_check.h"
#include "create/create_mode.h"
#include "create/keygen.h"
#include "dataset/dataset.h"
#include "dataset/layout.h"
#include "fs/file_utils.h"
#include "log/event_stream.h"
#include "log/log.h"
#include "platform/sleep.h"
#include "update/file_apply.h"
#include "update/update_mode.h"

namespace {

using namespace quor;

constexpr uint32_t kBannerPauseMs = 4000;
constexpr uint32_t kEndPauseMs = 4000;
constexpr uint32_t kNotWritablePauseMs = 14000;

// Every exit writes out the queued log entries first.
int finish(int code) {
  emitEvent("exit", {{"exit_code", code}});
  flushLog();
  return code;
}

int runKeygen() {
  Status written = writeNewKeyPair();
  if (!written.ok()) {
    logError(written.message());
    return kExitFileSystemError;
  }
  logLine(std::string("Written: ") + kPrivateKeyFile + " (keep it secret) and " + kPublicKeyFile);
  return kExitOk;
}

int runScannedMode(const Options& options) {
  Status scanned;
  DataSet local = scanDataSet("./", &scanned);
  if (!scanned.ok()) {
    logError(scanned.message());
    return kExitFileSystemError;
  }
  // An event stream written into the folder is the launcher's, not the
  // game's: never deleted as stale, never published.
  std::string streamFile = pathInCurrentFolder(eventStreamFile(options.progressJson));
  local.erase(streamFile);
  if (options.createMode) {
    const SigningRequest* signing =
        options.signing.privateKeyFile.empty() ? nullptr : &options.signing;
    bool published = createUpdateData(local, options.oldPaths, options.patchMemoryBudget,
                                      options.threads, signing, options.encodings);
    sleepMs(kEndPauseMs);
    return published ? kExitOk : kExitCreateFailed;
  }
  UpdateModeSettings settings;
  settings.fullUpdate = options.fullUpdate;
  settings.startGame = options.startGame;
  settings.argumentLine = options.argumentLine;
  settings.connections = options.connections;
  settings.limitRate = options.limitRate;
  settings.leftOut = streamFile;
  UpdateModeResult result = runUpdateMode(local, settings);
  return result == UpdateModeResult::kNoNetworkHost ? kExitNoNetworkHost : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (!checkWritePermission()) {
    sleepMs(kNotWritablePauseMs);
    return kExitNotWritable;
  }
  // Read before the log starts, so that an event stream holds every record.
  CommandLine commandLine = parseCommandLine(argc, argv);
  Status streamOpened;
  if (!commandLine.options.progressJson.empty()) {
    streamOpened = openEventStream(commandLine.options.progressJson);
  }
  emitEvent("start", {{"stream", kEventStreamVersion},
                      {"mode", commandLine.options.createMode ? "create" : "update"},
                      {"arguments", commandLine.options.argumentLine}});
  startLog(kLogFile);
  if (!streamOpened.ok()) logError(streamOpened.message());
  for (const std::string& line : bannerLines()) logLine(line, 0);
  sleepMs(kBannerPauseMs);
  settleOldExecutable();

  switch (carryOutOptionSteps(commandLine.steps)) {
    case ScanOutcome::kRun:
      if (commandLine.options.keygen) return finish(runKeygen());
      return finish(runScannedMode(commandLine.options));
    case ScanOutcome::kFileSystemError:
      return finish(kExitFileSystemError);
    // The help, a mistyped --old or a bad option value change nothing and
    // were answered on the console: they end with 0, as they always have, so
    // that scripts starting the updater read only the codes of exit_codes.h
    // as failures.
    case ScanOutcome::kHelp:
    case ScanOutcome::kMissingOldPath:
    case ScanOutcome::kOldPathNotFolder:
    case ScanOutcome::kBadValue:
      sleepMs(kEndPauseMs);
      return finish(kExitOk);
  }
  return finish(kExitOk);
}
