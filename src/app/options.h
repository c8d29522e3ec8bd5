// The command line of the updater. Options are whole, case-sensitive
// arguments; anything else (the program's own path included) is ignored.
#pragma once

#include <string>

namespace quor {

struct Options {
  std::string argumentLine;  // every argument, element 0 included, each + " "
  bool startGame = false;    // --quor
  bool createMode = false;   // --create
  bool fullUpdate = false;   // --full
  std::string oldPath;       // --old <folder> as UTF-8, '/' separators, no trailing one
};

enum class ScanOutcome {
  kRun,               // go on with the chosen mode
  kHelp,              // the help text was logged
  kMissingOldPath,    // --old was the last argument (line logged)
  kOldPathNotFolder,  // --old named no folder (line logged)
  kFileSystemError,   // --create could not remove the update data folder (logged)
};

// Scans argv in order, applying each option as it is met: logs its line,
// removes "server_data/update_data/" for --create, pauses 24 s for --wait.
// Stops at the first outcome other than kRun.
ScanOutcome scanArguments(int argc, const char* const* argv, Options& options);

// The five lines printed for --help and --h.
void logHelp();

// The text after --old as the program uses it: one trailing '/' or '\'
// dropped, backslashes turned into '/'.
std::string normaliseOldPath(std::string path);

}  // namespace quor
