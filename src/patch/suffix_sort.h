// Suffix sorting of the old file by prefix doubling with ternary splits
// (Larsson–Sadakane). I and V hold n + 1 entries each: I ends as the suffix
// array of O including the empty suffix (I[0] = n), V as the rank of each
// suffix. During sorting a negative I entry −k marks a run of k suffixes
// already in final order, and V[p] is the group number of suffix p, the
// index of the last member of its group.
//
// Index is int32_t (for n < 2^31 − 1, half the memory) or int64_t; both give
// the same suffix array, since a suffix array is unique.
#pragma once

#include <cstdint>

namespace quor {

template <typename Index>
void suffixSort(Index* I, Index* V, const uint8_t* O, Index n);

// Sorts the group I[start, start + len) by the group number h positions
// further on (V[I[k] + h]), splitting it into smaller groups and giving
// each its new group number. Singleton groups are marked sorted in I.
template <typename Index>
void splitGroup(Index* I, Index* V, Index start, Index len, Index h);

extern template void suffixSort<int32_t>(int32_t*, int32_t*, const uint8_t*, int32_t);
extern template void suffixSort<int64_t>(int64_t*, int64_t*, const uint8_t*, int64_t);
extern template void splitGroup<int32_t>(int32_t*, int32_t*, int32_t, int32_t, int32_t);
extern template void splitGroup<int64_t>(int64_t*, int64_t*, int64_t, int64_t, int64_t);

}  // namespace quor
