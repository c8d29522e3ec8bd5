// Which update data the run fetches for each entry, and what it falls back
// to. Without encodings.index (a data set made before it, or one that
// cannot be used) the choice is the classic one: the patch when the local
// file is its base, else the whole file. With the index, every file it
// lists that can bring the entry is a candidate: its patches whose base is
// the local file's checksum (never for ./updater.exe), smallest first,
// then its whole files, smallest first. The run fetches the first and goes
// down the list when one fails.
// Called from the update run's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dataset/encodings_index.h"
#include "dataset/manifest.h"
#include "update/file_update_controller.h"
#include "update/reply_wait.h"
#include "update/signed_update.h"
#include "update/update_source.h"

namespace quor {

// The names that may bring path's entry to the local file, best first;
// localChecksum is none for a missing file. Never empty: an entry the
// index lists nothing usable for gets the classic choice.
std::vector<std::string> dataCandidates(const std::string& path, const ManifestEntry& entry,
                                        std::optional<uint32_t> localChecksum,
                                        const EncodingsIndex* index);

// Asks for encodings.index and waits for it as for the manifest. None,
// with one line saying the classic data is used, when the server has no
// index (the line says nothing then beyond the dispatch's own), when it
// does not come in time, does not parse, or (signed) is not as signed.
std::optional<EncodingsIndex> fetchEncodingsIndex(FileUpdateController& controller,
                                                  UpdateSource& source, const ReplyWait& wait,
                                                  const SignedUpdate* signedUpdate);

}  // namespace quor
