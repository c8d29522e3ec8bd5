#include "app/options.h"

#include <filesystem>
#include <system_error>

#include "base/text_replace.h"
#include "log/log.h"
#include "platform/native_path.h"
#include "platform/sleep.h"

namespace quor {
namespace {

constexpr const char* kUpdateDataFolder = "server_data/update_data/";
constexpr const char* kQuorLine = "--quor - start game after update";
constexpr const char* kFullLine =
    "--full - updates and deletes also files that aren't usually updated, like settings, "
    "saves, server and editor data ()";
constexpr const char* kWaitLine =
    "--wait - wait 24s to get some chance to connect to this when attaching debugger";
constexpr uint32_t kWaitPauseMs = 24000;

bool isFolder(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(toNativePath(path), ec);
}

// Removes the update data folder; reports and returns false on failure.
bool removeUpdateDataFolder() {
  std::error_code ec;
  std::filesystem::remove_all(kUpdateDataFolder, ec);
  if (ec) {
    logError(std::string("cannot remove ") + kUpdateDataFolder + ": " + ec.message());
    return false;
  }
  return true;
}

}  // namespace

void logHelp() {
  logLine(kQuorLine);
  logLine(std::string("--create - create update data into ") + kUpdateDataFolder);
  logLine("--old - next parameter specifies path to old quor folder");
  logLine(kFullLine);
  logLine(kWaitLine);
}

std::string normaliseOldPath(std::string path) {
  if (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  replaceAll(path, "\\", "/");
  return path;
}

ScanOutcome scanArguments(int argc, const char* const* argv, Options& options) {
  for (int i = 0; i < argc; ++i) {
    std::string argument = argv[i];
    options.argumentLine += argument + " ";
    if (argument == "--help" || argument == "--h") {
      logHelp();
      return ScanOutcome::kHelp;
    } else if (argument == "--quor") {
      options.startGame = true;
      logLine(kQuorLine);
    } else if (argument == "--create") {
      options.createMode = true;
      if (!removeUpdateDataFolder()) return ScanOutcome::kFileSystemError;
      logLine("--create - no update, but create manifest and patches");
    } else if (argument == "--full") {
      options.fullUpdate = true;
      logLine(kFullLine);
    } else if (argument == "--old") {
      if (i + 1 >= argc) {
        logLine("missing old path? use --help");
        return ScanOutcome::kMissingOldPath;
      }
      std::string path = normaliseOldPath(pathFromArgument(argv[i + 1]));
      if (!isFolder(path)) {
        logLine("old path is not directory? use --help");
        return ScanOutcome::kOldPathNotFolder;
      }
      options.oldPath = path;
    } else if (argument == "--wait") {
      logLine(kWaitLine);
      sleepMs(kWaitPauseMs);
    }
  }
  return ScanOutcome::kRun;
}

}  // namespace quor
