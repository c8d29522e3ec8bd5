// What the update server serves: the regular files directly inside its
// data folder, looked up by plain file name, up to kMaxFileBytes each as a
// whole and up to kMaxRangeFileBytes each in ranges.
// Nothing outside the folder is ever reached: names with a separator, a
// "..", a drive colon or a NUL are refused before the file system is asked,
// and symbolic links are refused rather than followed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/status.h"

namespace quor {

// True when name can only denote an entry directly inside a folder: not
// empty, no '/', '\\', ':', NUL, and no "..".
bool isPlainFileName(std::string_view name);

struct FileLookup {
  std::string refusal;   // why the file is not served; empty when it is
  uint64_t size = 0;     // its size in bytes when served
  uint64_t version = 0;  // when served: its last-write time mixed with its size
};

// Looks name up in folder without reading it.
FileLookup lookUpServedFile(const std::string& folder, std::string_view name);
// The same for a file served in ranges, which may be larger.
FileLookup lookUpServedRangeFile(const std::string& folder, std::string_view name);

// Reads the file, which must hold exactly size bytes, into out; an error
// when it cannot be opened or its size changed since the lookup.
Status readServedFile(const std::string& folder, std::string_view name, uint8_t* out, size_t size);

// Reads size bytes of the file from offset on into out, and nothing else of
// it; an error when it cannot be opened or holds fewer bytes there.
Status readServedRange(const std::string& folder, std::string_view name, uint64_t offset,
                       uint8_t* out, size_t size);

}  // namespace quor
