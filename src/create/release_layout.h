// Create mode's releases: after a data set is complete (manifest written,
// and signed when asked), a copy of it that a web server or CDN may cache
// for good, and the small pointer file that names the newest
// (dataset/layout.h has the names and the id):
//   server_data/releases/<id>/   the files of server_data/update_data/
//   server_data/releases/current "<id>\n"
// Older release folders are kept, so a player in the middle of an update
// still finds the files of the release it started; pruning them is the
// publisher's business.
//
// Costs: one reading of the manifest, and one hard link per data file (a
// copy where the file system refuses links). Called from one thread; two
// create runs in the same folder at once are not supported.
#pragma once

#include <string>

#include "base/status.h"

namespace quor {

// Publishes the data set in kUpdateDataFolder (relative to the current
// folder) as the release its manifest names, and points kCurrentReleaseName
// at it; *releaseId is set to its id. The release folder is built as
// "<id>.partial" and renamed into place, so "<id>/" is only ever complete.
// The same data set published again keeps the release folder already there
// (its cached copies stay right). The pointer is replaced atomically, last:
// a failure anywhere leaves the previous pointer as it was.
Status publishRelease(std::string* releaseId);

}  // namespace quor
