#include "app/options.h"

#include <charconv>
#include <filesystem>
#include <system_error>

#include "base/text_replace.h"
#include "dataset/layout.h"
#include "log/log.h"
#include "platform/native_path.h"
#include "platform/sleep.h"

namespace quor {
namespace {

constexpr const char* kQuorLine = "--quor - start game after update";
constexpr const char* kFullLine =
    "--full - updates and deletes also files that aren't usually updated, like settings, "
    "saves, server and editor data ()";
constexpr const char* kWaitLine =
    "--wait - wait 24s to get some chance to connect to this when attaching debugger";
constexpr uint32_t kWaitPauseMs = 24000;

// The count after --threads, or 0 when it is not a whole number from 1 to
// kMaxThreads.
unsigned threadCount(const std::string& text) {
  unsigned count = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  bool whole = error == std::errc() && end == text.data() + text.size();
  return whole && count <= kMaxThreads ? count : 0;
}

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
  logLine("--threads - next parameter sets how many files --create works on at once (default: "
          "one per core)");
}

std::string normaliseOldPath(std::string path) {
  if (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  replaceAll(path, "\\", "/");
  return path;
}

CommandLine parseCommandLine(int argc, const char* const* argv) {
  using Kind = OptionStep::Kind;
  CommandLine line;
  Options& options = line.options;
  for (int i = 0; i < argc; ++i) {
    std::string argument = argv[i];
    options.argumentLine += argument + " ";
    if (argument == "--help" || argument == "--h") {
      line.steps.push_back({Kind::kHelp, {}});
      break;
    } else if (argument == "--quor") {
      options.startGame = true;
      line.steps.push_back({Kind::kQuor, {}});
    } else if (argument == "--create") {
      options.createMode = true;
      line.steps.push_back({Kind::kCreate, {}});
    } else if (argument == "--full") {
      options.fullUpdate = true;
      line.steps.push_back({Kind::kFull, {}});
    } else if (argument == "--old") {
      if (i + 1 >= argc) {
        line.steps.push_back({Kind::kMissingOldPath, {}});
        break;
      }
      // The folder's name is read here, but argv[i + 1] is still scanned
      // as an argument of its own, as it always has been.
      options.oldPath = normaliseOldPath(pathFromArgument(argv[i + 1]));
      line.steps.push_back({Kind::kOld, options.oldPath});
    } else if (argument == "--wait") {
      line.steps.push_back({Kind::kWait, {}});
    } else if (argument == "--threads") {
      // The count is scanned as an argument of its own too, as --old's is.
      options.threads = i + 1 < argc ? threadCount(argv[i + 1]) : 0;
      if (options.threads == 0) {
        line.steps.push_back({Kind::kBadThreadCount, {}});
        break;
      }
    }
  }
  return line;
}

ScanOutcome carryOutOptionSteps(const std::vector<OptionStep>& steps) {
  using Kind = OptionStep::Kind;
  for (const OptionStep& step : steps) {
    switch (step.kind) {
      case Kind::kHelp:
        logHelp();
        return ScanOutcome::kHelp;
      case Kind::kQuor:
        logLine(kQuorLine);
        break;
      case Kind::kCreate:
        if (!removeUpdateDataFolder()) return ScanOutcome::kFileSystemError;
        logLine("--create - no update, but create manifest and patches");
        break;
      case Kind::kFull:
        logLine(kFullLine);
        break;
      case Kind::kMissingOldPath:
        logLine("missing old path? use --help");
        return ScanOutcome::kMissingOldPath;
      case Kind::kOld:
        if (!isFolder(step.oldPath)) {
          logLine("old path is not directory? use --help");
          return ScanOutcome::kOldPathNotFolder;
        }
        break;
      case Kind::kBadThreadCount:
        logLine("--threads needs a count from 1 to " + std::to_string(kMaxThreads) +
                "? use --help");
        return ScanOutcome::kBadThreadCount;
      case Kind::kWait:
        logLine(kWaitLine);
        sleepMs(kWaitPauseMs);
        break;
    }
  }
  return ScanOutcome::kRun;
}

}  // namespace quor
