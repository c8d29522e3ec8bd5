// Update mode: from the network client's creation to the start of the game
// or the restart of the updater.
#pragma once

#include <string>

#include "dataset/dataset.h"

namespace quor {

enum class UpdateModeResult {
  kDone,           // the game or the updater's restart was started as needed
  kNoNetworkHost,  // the ENet client host could not be created (logged)
};

// local is the scan of "./"; argumentLine is used only for the restart
// command. Call from the main thread; starts and joins the network thread
// and, inside the run, the request pump.
UpdateModeResult runUpdateMode(const DataSet& local, bool fullUpdate, bool startGame,
                               const std::string& argumentLine);

}  // namespace quor
