// Create mode: writes the update data set of the current folder into
// "server_data/update_data/": N.compressed for every non-empty file,
// N.patch for every file that changed against the old build, and
// manifest.manifest; beside them, unless --encodings says otherwise, the
// same in zstd (N.zst, and N.zdiff or N.zfrom, create/zstd_publish.h) and
// encodings.index, which lists every data file of every entry. The finished data set is then also kept as a release
// for web servers and CDNs: "server_data/releases/<id>/" and the pointer
// "server_data/releases/current" (create/release_layout.h). Earlier
// releases stay; the releases are never published as game files.
//
// Memory: a file without a patch is compressed piece by piece (about
// 1 MiB whatever its size, up to the container's 4 GiB). A patch needs the
// old and the new file whole plus the diff's working memory, which must
// fit the budget: bsdiff's (bsdiffMemory in patch/diff.h, about 8 bytes per
// old byte) when it fits, else the block index's (patch/block_diff.h, from
// about 1 byte per old byte down to a few MiB). A file for which not even that
// fits gets no patch and is published whole, with the line "file too large
// to patch within memory, published whole: <path>". A patch no smaller
// than the file's compressed copy is not published (line "patch not
// smaller than the compressed file, published whole: <path>"): the
// manifest gives the file the patch base 0, which sends every player to
// N.compressed.
//
// Several older builds (oldFolders, newest first): the first gives N.patch
// and the manifest's patch base as with one. For each further build whose
// copy of a changed file differs from the new file and from the copies of
// the builds before it, the file also gets a patch named by its base
// ("N.<base in 8 hex digits>.zdiff", dataset/layout.h), in zstd (classic
// in a data set without zstd), when it is smaller than the whole file of
// its encoding. Only encodings.index lists these. A file's patches are
// made one after another in its share of the pool (the share is the
// largest one's), so create time grows by about one diff per older build
// whose copy differs; the line "Patches from older builds: N" counts them.
// The last line before the release's gives the data set's size.
//
// Files are numbered, and folders listed, in the order of their paths'
// bytes, so the same build gives the same data set on every platform. The
// publisher's own updater.log is not published (no player installs it).
//
// Threads: the files are compressed and diffed on several threads (every
// core by default), each file by one. The data set, file numbers and log
// lines are the same whatever the count: files are numbered before any is
// read, and each file's lines, its manifest entry and the progress are
// taken in the files' order. A patch in progress holds a share of one
// memory pool the size of the budget: its old and new file plus its
// method's working memory. A share larger than the pool waits until it
// runs alone, so the peak is at most the budget plus the two files of the
// largest patch, plus about 1 MiB per thread for streamed files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "create/sign_data_set.h"
#include "create/zstd_publish.h"
#include "dataset/dataset.h"

namespace quor {

// Memory one patch may take beyond the old and new file: 2 GiB, so files
// up to about 250 MiB get bsdiff's patches and larger ones the block
// index's. The patches made at once share it (see above).
inline constexpr uint64_t kPatchMemoryBudget = uint64_t(2) << 30;

// dataSet is the scan of "./"; oldFolders the older builds, newest first
// ('/' separators, no trailing one), none for none; at most kMaxOldBuilds. Returns false when the data set could
// not be published completely; no manifest is written then. Tests lower
// patchMemoryBudget. threads: how many files are worked on at once, 0 for
// one per core. Call from one thread; it starts and ends its own. With
// signing, manifest.sig is written too (create/sign_data_set.h); a key
// that cannot be read stops the run before anything is written, and a
// data set that cannot be signed keeps no manifest. A release that cannot
// be written is false too (update_data/ is complete then, the pointer
// unchanged).
inline constexpr size_t kMaxOldBuilds = 8;
bool createUpdateData(const DataSet& dataSet, const std::vector<std::string>& oldFolders,
                      uint64_t patchMemoryBudget = kPatchMemoryBudget, unsigned threads = 0,
                      const SigningRequest* signing = nullptr,
                      const Encodings& encodings = Encodings());

}  // namespace quor
