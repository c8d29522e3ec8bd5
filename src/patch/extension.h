// The approximate-match rule both diff methods share: once a match between
// the new and the old file has been chosen, the bytes of the gap before it
// are split between the previous match (carried on as diff bytes along its
// alignment), extra bytes, and the new match (carried back as diff bytes
// along its alignment). Each side takes the longest stretch on which its
// alignment matches well enough (MatchRules::loss); every function costs
// time linear in the gap and no memory.
#pragma once

#include <cstdint>

namespace quor {

struct DiffFiles {
  const uint8_t* O;  // old file
  int64_t n;
  const uint8_t* N;  // new file
  int64_t m;

  // Whether the old file has the new file's byte newIndex at oldIndex.
  bool sameAt(int64_t newIndex, int64_t oldIndex) const {
    return oldIndex >= 0 && oldIndex < n && O[oldIndex] == N[newIndex];
  }
};

// Which matches a scan takes and how far their extensions reach. Neither
// set is smaller for every pair of files, so bsdiff makes the patch by
// both and keeps the smaller (diff.h).
struct MatchRules {
  // A match replaces the current alignment only when at least this long
  // (and longer than what the alignment matches there by a margin).
  int64_t minMatch;
  // An extension scores 1 per byte its alignment matches and −loss per
  // other byte, and ends where the score peaks.
  int64_t loss;
};

// Any match that beats the alignment, and extensions over stretches that
// match one byte in two: the smaller patches of ordinary releases, where
// code shifted by small edits keeps short matches and near alignments.
inline constexpr MatchRules kShortMatchRules{1, 1};
// Matches of 32 bytes, and extensions over stretches that match about two
// bytes in three: a record costs about 5 coded bytes and a byte it takes
// out of the extra bytes saves about a quarter of one, and a diff byte that
// is not zero costs more than the same new byte as an extra byte, so in
// files that changed much shorter matches and weaker extensions cost more
// than they save. Code whose addresses all moved by a constant (one byte in
// four differs) still extends.
inline constexpr MatchRules kLongMatchRules{32, 2};

// Length of the start of the gap [lastScan, scan) that goes with the
// previous match at lastPos.
int64_t forwardExtension(const DiffFiles& f, int64_t lastScan, int64_t lastPos, int64_t scan,
                         const MatchRules& rules);

// Length of the end of the gap [lastScan, scan) that goes with the next
// match at (scan, pos).
int64_t backwardExtension(const DiffFiles& f, int64_t lastScan, int64_t scan, int64_t pos,
                          const MatchRules& rules);

// When both extensions claim the same new bytes, cuts the overlap where the
// previous alignment gains most over the next one.
void splitOverlap(const DiffFiles& f, int64_t lastScan, int64_t lastPos, int64_t scan,
                  int64_t pos, int64_t& lenf, int64_t& lenb);

}  // namespace quor
