// Update mode: from the network client's creation to the start of the game
// or the restart of the updater.
#pragma once

#include <string>

#include "dataset/dataset.h"

namespace quor {

// local is the scan of "./"; argumentLine is used only for the restart
// command. Ends the process with exit code 1 when no network host can be
// created.
void runUpdateMode(const DataSet& local, bool fullUpdate, bool startGame,
                   const std::string& argumentLine);

}  // namespace quor
