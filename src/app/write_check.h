// Whether the updater may create files in its current folder.
#pragma once

namespace quor {

// Creates and removes "QUOR_WRITE_TEST.FILE". When the file could not be
// created, prints the boxed "unable to write files" message straight to
// standard output (the log does not exist yet) and returns false.
bool checkWritePermission();

}  // namespace quor
