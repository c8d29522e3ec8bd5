// Which pieces to ask for ahead of the update run: the rest of a small
// file, as soon as its first piece has told its size.
//
// Without it the rest of a file of a few pieces is asked for only when the
// run reaches the file, and the run then waits a round trip for it while
// the connections idle: at 50 ms a run of 268 KB files (two pieces each)
// came at 18 files a second. Asked ahead, the rest is on its way while the
// run still applies the files before it.
//
// Only the bookkeeping: the controller asks for what it returns, on the
// network thread, and keeps it under its lock. Memory: at most
// kAheadPieces pieces asked for and not yet claimed by the run, so the
// pieces it adds to the controller's table stay bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quor {

// Pieces asked for ahead and not yet claimed by the run: the rest of every
// file the pump keeps open (kFilesOpen) when they have two pieces each, or
// of eight of four. With fewer, the rest of a later file is not asked ahead
// and the run asks for it itself, behind another file's first piece.
inline constexpr size_t kAheadPieces = 32;

class FetchAhead {
 public:
  // From now on the rest of each of names whose first piece (offset 0)
  // comes is asked for ahead, when the file has at most maxFileSize bytes.
  // Forgets what an earlier run asked for: its connections are gone.
  void arm(std::unordered_set<std::string> names, uint32_t pieceSize, uint64_t maxFileSize);

  // The offsets to ask for now that the piece of name at offset came with
  // fileSize: every piece after the first, or none when the file is not
  // one to ask ahead for, its rest is asked for already, or it would take
  // the count past kAheadPieces. A piece still on its way for a file the
  // run gave up on is taken over rather than asked for again. The caller
  // asks for the offsets in order and notes those it could.
  std::vector<uint64_t> wanted(const std::string& name, uint64_t offset, uint64_t fileSize);
  void noteAsked(const std::string& name, const std::vector<uint64_t>& offsets);

  uint32_t pieceSize() const { return pieceSize_; }

  // Hands the run the offsets asked ahead for name; it waits for those
  // pieces as for its own.
  std::vector<uint64_t> claim(const std::string& name);

  // The run is done with name: pieces asked ahead and not claimed are
  // dropped when they come, unless arrived(offset) says one is here (the
  // caller drops those).
  void forget(const std::string& name, const std::function<bool(uint64_t)>& arrived);

  // Whether the piece of name at offset, just come (or refused), is one
  // the run gave up on; it is then no longer counted and is dropped.
  bool dropsArrival(const std::string& name, uint64_t offset);

  // Pieces asked ahead that the run has not claimed: at most kAheadPieces.
  size_t unclaimed() const;

 private:
  std::unordered_set<std::string> names_;
  uint32_t pieceSize_ = 0;
  uint64_t maxFileSize_ = 0;
  std::unordered_map<std::string, std::vector<uint64_t>> asked_;      // name -> offsets
  std::unordered_map<std::string, std::vector<uint64_t>> abandoned_;  // name -> offsets
};

}  // namespace quor
