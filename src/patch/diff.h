// Patch creation: the difference between an old and a new file as a patch
// body (see patch.h), wrapped in a binary_patch container. The old file's
// suffix array finds, for each position of the new file, the longest exact
// match in the old file; a greedy scan takes the matches that beat the
// current alignment by more than 8 bytes, of equal ones the nearest to that
// alignment, and writes, for each gap between them, one record of diff
// bytes along the previous match, extra bytes, and diff bytes along the
// next match (extension.h). Which matches count and how far extensions
// reach are the match rules (MatchRules): bsdiff scans once by each of the
// two sets and keeps the smaller patch. The long matches' scan searches
// only where a filter of the old file's strings allows a match of 32 bytes
// (match_filter.h). The same inputs always give the same patch bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>

#include "base/status.h"
#include "patch/extension.h"

namespace quor {

// Writes the patch that turns old into newData to out as a binary_patch
// container: the smaller of the patches by kLongMatchRules and by
// kShortMatchRules, the long matches' on equal sizes. Fails, with nothing
// written to out, when working memory cannot be had (kOutOfMemory), when a
// record would be longer than bspatch accepts (kTooLarge; only for files
// above 2 GiB), or when the container cannot be written.
// Cost: one sort of the old file and two scans of the new one, each
// compressed as it goes; the short matches' scan searches at every
// position the matches leave, without the filter, and is given up once its
// patch is no smaller. Memory: bsdiffMemory().
Status bsdiff(const uint8_t* old, uint32_t oldLength, const uint8_t* newData, uint32_t newLength,
              std::ostream& out);

// Memory bsdiff may take at its peak beyond old and newData, for files of
// these lengths: the larger of the sort (two index entries per old byte),
// the scans (one index entry per old byte, and the match filter and one
// patch, or the two patches; a patch is deflate's bound on a body of the
// new file's size) and the writing of the smaller patch (the patch and the
// stream that takes it). An estimate from above for ordinary files; a
// patch made of very many small records may need more.
uint64_t bsdiffMemory(uint64_t oldLength, uint64_t newLength);

// The sink the patch body goes through, and where working memory comes
// from. write() returns 0 on success; bodies are written in pieces of at
// most 0x7FFFFFFF bytes, a status of −1 ends a write at once and any other
// non-zero status fails it after its last piece.
struct DiffWriter {
  void* stream = nullptr;
  void* (*allocate)(size_t size) = nullptr;  // null when out of memory
  void (*release)(void* memory) = nullptr;
  int (*write)(void* stream, const uint8_t* bytes, size_t count) = nullptr;
};

// Writes the whole patch body (header and records) by one set of match
// rules through writer, uncompressed. Fails when memory cannot be
// allocated, a record is too long or a write fails. Working memory is about
// 8 bytes per old byte while sorting (16 above 2 GiB), then 4 (8) per old
// byte and, for the long matches, the match filter's half to one byte per
// old byte (match_filter.h).
Status writePatchBody(const uint8_t* old, uint32_t oldLength, const uint8_t* newData,
                      uint32_t newLength, const MatchRules& rules, DiffWriter& writer);

// Count of equal leading bytes of a and b, at most min(aLen, bLen).
int64_t matchLength(const uint8_t* a, int64_t aLen, const uint8_t* b, int64_t bLen);

struct Match {
  int64_t length;
  int64_t position;  // in the old file
  int64_t rank;      // of that position's suffix: I[rank] == position
};

// Binary search of the suffix array I[st..en] of O (n bytes) for the
// longest prefix of P (p bytes). On equal lengths at the two ends of the
// final interval the later entry, I[en], wins.
template <typename Index>
Match longestMatch(const Index* I, const uint8_t* O, int64_t n, const uint8_t* P, int64_t p,
                   int64_t st, int64_t en);

// Of the old positions whose suffixes lie within kNearbyRanks entries of
// match's in I and share its match with P, the one nearest to target
// (the lower on equal distance). Equal matches sit side by side in I, so
// this sees up to 2 × kNearbyRanks of them, at one comparison each.
inline constexpr int64_t kNearbyRanks = 64;
template <typename Index>
int64_t nearestEqualMatch(const Index* I, const uint8_t* O, int64_t n, const uint8_t* P, int64_t p,
                          const Match& match, int64_t target);

extern template Match longestMatch<int32_t>(const int32_t*, const uint8_t*, int64_t,
                                            const uint8_t*, int64_t, int64_t, int64_t);
extern template Match longestMatch<int64_t>(const int64_t*, const uint8_t*, int64_t,
                                            const uint8_t*, int64_t, int64_t, int64_t);
extern template int64_t nearestEqualMatch<int32_t>(const int32_t*, const uint8_t*, int64_t,
                                                   const uint8_t*, int64_t, const Match&, int64_t);
extern template int64_t nearestEqualMatch<int64_t>(const int64_t*, const uint8_t*, int64_t,
                                                   const uint8_t*, int64_t, const Match&, int64_t);

}  // namespace quor
