#include "app/options.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "base/text_replace.h"
#include "dataset/layout.h"
#include "log/log.h"
#include "net/rate_limit.h"
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
// The most --patch-memory takes: 1 TiB.
constexpr uint64_t kLargestPatchMemoryMiB = uint64_t(1) << 20;

// A count of MiB as given on the command line, in bytes; 0 for anything
// but 1 to kLargestPatchMemoryMiB in decimal digits.
uint64_t mebibytesFromArgument(const std::string& text) {
  if (text.empty() || text.size() > 7) return 0;
  uint64_t mebibytes = 0;
  for (char digit : text) {
    if (digit < '0' || digit > '9') return 0;
    mebibytes = mebibytes * 10 + uint64_t(digit - '0');
  }
  return mebibytes <= kLargestPatchMemoryMiB ? mebibytes << 20 : 0;
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
  logLine("--connections N - connections to the update server, 1 to 16 (default: as many as the round trip needs)");
  logLine("--limit-rate N - download at most N bytes per second (suffixes k, M, G: 500k, 2M)");
  logLine("--patch-memory N - MiB one patch may take in create mode beside the old and new file "
          "(default 2048)");
}

std::string normaliseOldPath(std::string path) {
  if (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  replaceAll(path, "\\", "/");
  return path;
}

namespace {

// The whole of text as a decimal number from low to high; none otherwise.
std::optional<size_t> countInRange(const std::string& text, size_t low, size_t high) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  size_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<size_t>(c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

}  // namespace

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
    } else if (argument == "--patch-memory") {
      // A missing or malformed count leaves the default.
      uint64_t budget = i + 1 < argc ? mebibytesFromArgument(argv[i + 1]) : 0;
      if (budget != 0) options.patchMemoryBudget = budget;
    } else if (argument == "--wait") {
      line.steps.push_back({Kind::kWait, {}});
    } else if (argument == "--connections") {
      std::optional<size_t> count = i + 1 < argc ? countInRange(argv[i + 1], 1, 16) : std::nullopt;
      if (!count) {
        line.steps.push_back({Kind::kBadValue, {}, "--connections needs a number from 1 to 16"});
        break;
      }
      options.connections = *count;
      options.argumentLine += std::string(argv[++i]) + " ";
    } else if (argument == "--limit-rate") {
      std::optional<uint64_t> rate = i + 1 < argc ? parseRateText(argv[i + 1]) : std::nullopt;
      if (!rate) {
        line.steps.push_back(
            {Kind::kBadValue, {}, "--limit-rate needs bytes per second, such as 500k or 2M"});
        break;
      }
      options.limitRate = *rate;
      options.argumentLine += std::string(argv[++i]) + " ";
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
      case Kind::kBadValue:
        logLine(step.text + "? use --help");
        return ScanOutcome::kBadValue;
      case Kind::kOld:
        if (!isFolder(step.oldPath)) {
          logLine("old path is not directory? use --help");
          return ScanOutcome::kOldPathNotFolder;
        }
        break;
      case Kind::kWait:
        logLine(kWaitLine);
  logLine("--connections N - connections to the update server, 1 to 16 (default: as many as the round trip needs)");
  logLine("--limit-rate N - download at most N bytes per second (suffixes k, M, G: 500k, 2M)");
        sleepMs(kWaitPauseMs);
        break;
    }
  }
  return ScanOutcome::kRun;
}

}  // namespace quor
