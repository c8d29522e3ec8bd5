#include "app/options.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "base/text_replace.h"
#include "dataset/layout.h"
#include "log/log.h"
#include "client/connection_set.h"
#include "client/rate_limit.h"
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

constexpr const char* kKeygenLine =
    "--keygen - write a new key pair: publisher.key (keep it secret) and updater.key (ship it "
    "with the game)";

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

// A whole decimal number in [1, most]; none for anything else.
std::optional<uint64_t> decimalValue(const std::string& text, uint64_t most) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (most - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value == 0) return std::nullopt;
  return value;
}

// --sign, --version and --expires, which take the next argument as their
// value; false when argument is none of them. A missing or unusable value
// adds a kBadValue step. The value is scanned as an
// argument of its own too, as --old's is.
bool parseSigningOption(const std::string& argument, int i, int argc, const char* const* argv,
                        CommandLine& line) {
  using Kind = OptionStep::Kind;
  if (argument != "--sign" && argument != "--version" && argument != "--expires") return false;
  if (i + 1 >= argc) {
    line.steps.push_back({Kind::kBadValue, {}, argument + " needs a value"});
    return true;
  }
  std::string value = argv[i + 1];
  SigningRequest& signing = line.options.signing;
  if (argument == "--sign") {
    signing.privateKeyFile = pathFromArgument(argv[i + 1]);
    return true;
  }
  std::optional<uint64_t> number =
      decimalValue(value, argument == "--version" ? UINT64_MAX : kMaxExpiryDays);
  if (!number) {
    line.steps.push_back(
        {Kind::kBadValue, {}, argument + " " + value + " is not a usable number"});
  } else if (argument == "--version") {
    signing.version = number;
  } else {
    signing.expiryDays = *number;
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
  logLine("--connections N - connections to the update server, 1 to 16 (default: as many as "
          "the round trip needs)");
  logLine("--limit-rate N - download at most N bytes per second (suffixes k, M, G: 500k, 2M)");
  logLine(kKeygenLine);
  logLine("--sign FILE - with --create: also write manifest.sig, signed with the private key "
          "in FILE");
  logLine("--version N - with --sign: the data set's version, which must only go up (default: "
          "the time in seconds)");
  logLine("--expires DAYS - with --sign: days players accept the signature (default: " +
          std::to_string(kDefaultExpiryDays) + ")");
  logLine("--threads N - with --create, how many files to work on at once, 1 to 256 (default: one "
          "per core)");
  logLine("--patch-memory N - with --create, MiB one patch may take beside the old and new file, "
          "1 to 1048576 (default 2048)");
  logLine("--encodings both|classic|zstd - with --create, the update data written: both "
          "encodings (default), the classic zlib files only, or the zstd files only");
  logLine("--zstd-level N - with --create, the zstd level, " + std::to_string(kMinZstdLevel) +
          " to " + std::to_string(kMaxZstdLevel) + " (default " +
          std::to_string(kDefaultZstdLevel) + ")");
  logLine("--progress-json -|fd:N|FILE - events as JSON lines for launchers, on standard output "
          "(the text then goes to standard error), on descriptor N (on Windows, an inherited "
          "handle) or appended to FILE");
  logLine("--old DIR --old DIR2 ... - with --create, older builds, newest first: the first gets "
          "the patches every updater takes, each further one patches of its own (at most " +
          std::to_string(kMaxOldBuilds) + ")");
}

// --encodings NAME.
std::optional<Encodings> encodingsNamed(const std::string& name, int level) {
  if (name == "both") return Encodings{true, true, level};
  if (name == "classic") return Encodings{true, false, level};
  if (name == "zstd") return Encodings{false, true, level};
  return std::nullopt;
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
      if (options.oldPaths.size() == kMaxOldBuilds) {
        line.steps.push_back({Kind::kBadValue, {},
                              "--old may be given at most " + std::to_string(kMaxOldBuilds) +
                                  " times"});
        break;
      }
      // The folder's name is read here, but argv[i + 1] is still scanned
      // as an argument of its own, as it always has been.
      options.oldPaths.push_back(normaliseOldPath(pathFromArgument(argv[i + 1])));
      line.steps.push_back({Kind::kOld, options.oldPaths.back()});
    } else if (argument == "--patch-memory") {
      std::optional<uint64_t> mebibytes =
          i + 1 < argc ? decimalValue(argv[i + 1], kLargestPatchMemoryMiB) : std::nullopt;
      if (!mebibytes) {
        line.steps.push_back({Kind::kBadValue, {},
                              "--patch-memory needs MiB from 1 to " +
                                  std::to_string(kLargestPatchMemoryMiB)});
        break;
      }
      options.patchMemoryBudget = *mebibytes << 20;
      options.argumentLine += std::string(argv[++i]) + " ";
    } else if (argument == "--wait") {
      line.steps.push_back({Kind::kWait, {}});
    } else if (argument == "--keygen") {
      options.keygen = true;
      line.steps.push_back({Kind::kKeygen, {}});
    } else if (parseSigningOption(argument, i, argc, argv, line)) {
      if (!line.steps.empty() && line.steps.back().kind == Kind::kBadValue) break;
    } else if (argument == "--connections") {
      std::optional<uint64_t> count =
          i + 1 < argc ? decimalValue(argv[i + 1], kMaxServerConnections) : std::nullopt;
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
    } else if (argument == "--threads") {
      std::optional<uint64_t> count =
          i + 1 < argc ? decimalValue(argv[i + 1], kMaxThreads) : std::nullopt;
      if (!count) {
        line.steps.push_back({Kind::kBadValue, {},
                              "--threads needs a count from 1 to " + std::to_string(kMaxThreads)});
        break;
      }
      options.threads = static_cast<unsigned>(*count);
      options.argumentLine += std::string(argv[++i]) + " ";
    } else if (argument == "--encodings") {
      std::optional<Encodings> chosen =
          i + 1 < argc ? encodingsNamed(argv[i + 1], options.encodings.zstdLevel) : std::nullopt;
      if (!chosen) {
        line.steps.push_back({Kind::kBadValue, {}, "--encodings needs both, classic or zstd"});
        break;
      }
      options.encodings = *chosen;
      options.argumentLine += std::string(argv[++i]) + " ";
    } else if (argument == "--progress-json") {
      if (i + 1 >= argc || std::string(argv[i + 1]).empty()) {
        line.steps.push_back({Kind::kBadValue, {}, "--progress-json needs -, fd:N or a file"});
        break;
      }
      options.progressJson = argv[i + 1];
      options.argumentLine += std::string(argv[++i]) + " ";
    } else if (argument == "--zstd-level") {
      std::optional<uint64_t> level =
          i + 1 < argc ? decimalValue(argv[i + 1], kMaxZstdLevel) : std::nullopt;
      if (!level || *level < kMinZstdLevel) {
        line.steps.push_back({Kind::kBadValue, {},
                              "--zstd-level needs a level from " + std::to_string(kMinZstdLevel) +
                                  " to " + std::to_string(kMaxZstdLevel)});
        break;
      }
      options.encodings.zstdLevel = static_cast<int>(*level);
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
        sleepMs(kWaitPauseMs);
        break;
      case Kind::kKeygen:
        logLine(kKeygenLine);
        break;
    }
  }
  return ScanOutcome::kRun;
}

}  // namespace quor
