// The approximate-match rule both diff methods share: once a match between
// the new and the old file has been chosen, the bytes of the gap before it
// are split between the previous match (carried on as diff bytes along its
// alignment), extra bytes, and the new match (carried back as diff bytes
// along its alignment). Each side takes the longest stretch on which its
// alignment matches well enough; every function costs time linear in the
// gap and no memory.
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

// Length of the start of the gap [lastScan, scan) that goes with the
// previous match at lastPos.
int64_t forwardExtension(const DiffFiles& f, int64_t lastScan, int64_t lastPos, int64_t scan);

// Length of the end of the gap [lastScan, scan) that goes with the next
// match at (scan, pos).
int64_t backwardExtension(const DiffFiles& f, int64_t lastScan, int64_t scan, int64_t pos);

// When both extensions claim the same new bytes, cuts the overlap where the
// previous alignment gains most over the next one.
void splitOverlap(const DiffFiles& f, int64_t lastScan, int64_t lastPos, int64_t scan,
                  int64_t pos, int64_t& lenf, int64_t& lenb);

}  // namespace quor
