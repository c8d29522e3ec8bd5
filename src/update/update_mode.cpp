#include "update/update_mode.h"

#include "log/log.h"

namespace quor {

void runUpdateMode(const DataSet& local, bool fullUpdate, bool startGame,
                   const std::string& argumentLine) {
  (void)local;
  (void)fullUpdate;
  (void)startGame;
  (void)argumentLine;
  logLine("Fetching manifest...");
}

}  // namespace quor
