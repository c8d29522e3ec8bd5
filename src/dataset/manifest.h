// The manifest: one published version of the game folder. File layout
// (all integers u32 little-endian, texts zero-terminated):
//   0, 10, datasetChecksum,
//   folder count, folders..., empty-file count, empty files...,
//   file count, then per file: path, checksum, patchBaseChecksum, fileNumber.
#pragma once

#include "base/status.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

namespace quor {

struct ManifestEntry {
  uint32_t checksum = 0;
  uint32_t patchBaseChecksum = 0;  // 0: no patch is shipped
  uint32_t fileNumber = 0;         // names N.compressed and N.patch
};

struct Manifest {
  uint32_t datasetChecksum = 0;
  std::vector<std::string> folders;     // each before its contents
  std::vector<std::string> emptyFiles;
  std::unordered_map<std::string, ManifestEntry> files;
  // False when the bytes ended before every count was met: the reader then
  // stopped, keeping what it had read (a text cut at the end included).
  bool complete = true;
};

// The manifest's bytes, as written to manifest.manifest.
std::vector<uint8_t> encodeManifest(const Manifest& manifest);

// Writes encodeManifest's bytes; an error when the stream failed.
Status writeManifest(std::ostream& out, const Manifest& manifest);

// Never fails: missing words read as 0 and a text ends at the end of the
// data, which also marks the result incomplete. Reading stops once the data
// is exhausted, so a hostile count costs no more than the bytes present; a
// count above kMaxListElements stops it at once, incomplete, since even
// bytes that are present would decode to many times their size.
Manifest readManifest(const uint8_t* bytes, size_t size);

}  // namespace quor
