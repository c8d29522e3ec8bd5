// encodings.index: which update data files a data set holds for each
// manifest entry, of every kind and encoding, with their sizes, so that an
// updater can take the smallest it can use without asking for anything a
// server may not have. Text, one file per line:
//
//   index  = "quor_encodings 1" LF *line
//   line   = name SP size SP base LF
//   name   = fileNumber "." [tag "."] kind   ("17.zst", "17.0badf00d.zdiff")
//   tag    = 8 lowercase hex digits, the base in hex: only on a patch from
//            a build older than the manifest's base (layout.h)
//   kind   = "compressed" / "patch" / "zst" / "zdiff" / "zfrom" / other
//   size   = decimal, the file's bytes
//   base   = decimal, the checksum the local file must have for a patch
//            to apply to it; 0 for a whole file
//
// with decimal numbers without leading zeros (or "0"). A line of another
// kind, or of a name of another shape, is passed over, so a later create
// mode may add kinds; a tag that is not its line's base, and anything else
// that does not follow the grammar refuses the whole index. Parsing costs
// memory in proportion to the index only, and an index may not be larger
// than kMaxEncodingsIndexSize.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/encoding.h"
#include "base/status.h"
#include "dataset/layout.h"

namespace quor {

inline constexpr size_t kMaxEncodingsIndexSize = size_t(64) << 20;
// At most this many files of one entry are listed.
inline constexpr size_t kMaxIndexedPerEntry = 16;

struct IndexedFile {
  DataKind kind;
  uint64_t size = 0;
  uint32_t base = 0;
  bool tagged = false;  // its name carries its base
};

// The data file's name: "17.zst", or "17.0badf00d.zdiff" when tagged.
std::string indexedFileName(uint32_t fileNumber, const IndexedFile& file);

struct EncodingsIndex {
  // By fileNumber, in the order listed.
  std::unordered_map<uint32_t, std::vector<IndexedFile>> files;
};

Bytes encodeEncodingsIndex(const std::vector<std::pair<uint32_t, IndexedFile>>& lines);
// Fails with "encodings.index: ..." naming the first fault.
Status parseEncodingsIndex(const uint8_t* data, size_t size, EncodingsIndex* index);

}  // namespace quor
