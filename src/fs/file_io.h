// Whole-file reads and writes. Files are handled in memory in one piece and
// their sizes are 32-bit: larger files are refused as unreadable. Files
// too large to hold go through file_stream.h instead.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs/file_utils.h"

namespace quor {

// The whole file into *content.
Status readWholeFile(const std::string& path, std::vector<uint8_t>* content);

// Writes the bytes to a temporary file beside path and renames it over
// path, so path holds either its old content or all of the new one, never
// a part.
Status writeFileAtomically(const std::string& path, const uint8_t* data, size_t size);

// The two halves of writeFileAtomically, for callers that must do
// something between them. The first writes path's temporary copy, with
// path's permissions when path is a file; the second renames that copy
// over path, and removes it when the rename fails.
Status writeTemporaryCopy(const std::string& path, const uint8_t* data, size_t size);
Status moveTemporaryCopyInto(const std::string& path);

// Suffix of the temporary files writeFileAtomically leaves behind only when
// the process dies between writing and renaming.
inline constexpr const char* kTemporarySuffix = ".quor_tmp";

}  // namespace quor
