// Update mode: from the network client's creation to the start of the game
// or the restart of the updater.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "dataset/dataset.h"

namespace quor {

enum class UpdateModeResult {
  kDone,           // the game or the updater's restart was started as needed
  kNoNetworkHost,  // the ENet client host could not be created (logged)
};

struct UpdateModeSettings {
  bool fullUpdate = false;   // --full
  bool startGame = false;    // --quor
  std::string argumentLine;  // used only for the restart command
  // Connections to the server; 0: as many as the measured round trip needs
  // (chooseConnectionCount).
  size_t connections = 0;
  // Download cap in bytes per second (--limit-rate); 0: none.
  uint64_t limitRate = 0;
  // A file of the folder the run leaves out of every scan (neither deleted
  // nor taken for a change): the event stream's, when a launcher put it
  // in the game folder. Empty: none.
  std::string leftOut;
};

// local is the scan of "./", without settings.leftOut. Call from the main thread; starts and joins
// the network thread and, inside the run, the request pump.
//
// When the server in use fails (its connections close, a reply does not
// come, no usable manifest comes, or a file's data fails its checks
// twice), the run goes on with the next server of the list that answers,
// keeping what was installed; only when no server is left does it end as
// with one server: a restart when a file never arrived, else the game.
UpdateModeResult runUpdateMode(const DataSet& local, const UpdateModeSettings& settings);

}  // namespace quor
