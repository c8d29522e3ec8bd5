// The command line of the updater. Options are whole, case-sensitive
// arguments; anything else (the program's own path included) is ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "create/create_mode.h"
#include "create/sign_data_set.h"

namespace quor {

struct Options {
  std::string argumentLine;  // every argument, element 0 included, each + " "
  bool startGame = false;    // --quor
  bool createMode = false;   // --create
  bool fullUpdate = false;   // --full
  // --old <folder>, repeated for older builds, newest first: as UTF-8,
  // '/' separators, no trailing one.
  std::vector<std::string> oldPaths;
  size_t connections = 0;    // --connections N; 0: chosen by the round trip
  uint64_t limitRate = 0;    // --limit-rate N in bytes per second; 0: no cap
  // --patch-memory <MiB>: memory one patch may take beyond the two files.
  uint64_t patchMemoryBudget = kPatchMemoryBudget;
  // Signed updates: --keygen, and --sign FILE [--version N] [--expires DAYS]
  // (create mode signs when signing.privateKeyFile is set).
  bool keygen = false;
  SigningRequest signing;
  unsigned threads = 0;      // --threads N: files create mode works on at once; 0: a core each
  Encodings encodings;       // --encodings both|classic|zstd, --zstd-level N
  std::string progressJson;  // --progress-json TARGET: "-", "fd:N" or a file; empty: none
};

// The most threads --threads may ask for.
inline constexpr unsigned kMaxThreads = 256;

enum class ScanOutcome {
  kRun,               // go on with the chosen mode
  kHelp,              // the help text was logged
  kMissingOldPath,    // --old was the last argument (line logged)
  kOldPathNotFolder,  // --old named no folder (line logged)
  kFileSystemError,   // --create could not remove the update data folder (logged)
  kBadValue,          // an option's value was missing or out of range (logged)
};

// One option met on the command line, in the order given: what it asks
// the program to do before the mode starts.
struct OptionStep {
  enum class Kind {
    kQuor,            // log the option's line
    kCreate,          // remove the update data folder, then log the line
    kFull,            // log the option's line
    kWait,            // log the line, pause 24 s
    kOld,             // check that oldPath is a folder
    kHelp,            // log the help text; the scan stops here
    kMissingOldPath,  // --old was the last argument; the scan stops here
    kBadValue,        // log text; the scan stops here
    kKeygen,          // log the option's line
  };
  Kind kind;
  std::string oldPath;  // kOld only
  std::string text = {};  // kBadValue only
};

struct CommandLine {
  Options options;
  std::vector<OptionStep> steps;
};

// Reads argv in order into options and steps without touching anything:
// no line, no file-system access, no pause. Stops after --help, --h, a
// final --old or an option without its value in range.
CommandLine parseCommandLine(int argc, const char* const* argv);

// Carries out the steps in order, as the options were given: logs each
// option's line, removes "server_data/update_data/" for --create, pauses
// 24 s for --wait, checks the --old folder. Stops at the first outcome
// other than kRun; the steps after it are not carried out.
ScanOutcome carryOutOptionSteps(const std::vector<OptionStep>& steps);

// The lines printed for --help and --h: the five of the original options,
// then one for each added later.
void logHelp();

// The text after --old as the program uses it: one trailing '/' or '\'
// dropped, backslashes turned into '/'.
std::string normaliseOldPath(std::string path);

}  // namespace quor
