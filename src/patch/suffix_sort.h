// Suffix sorting of the old file. I and V hold n + 1 entries each: I ends
// as the suffix array of O including the empty suffix (I[0] = n), V as the
// rank of each suffix (V[I[k]] = k).
//
// Two sorts give these arrays. libdivsufsort's (the 32-bit divsufsort and
// the 64-bit divsufsort64), where the build found the library (Linux): it
// writes I alone, in about 5 times less time than our own, and V is filled
// from I afterwards. Our own, prefix doubling with ternary splits
// (Larsson–Sadakane), everywhere else (the Windows build): during sorting a
// negative I entry −k marks a run of k suffixes already in final order, and
// V[p] is the group number of suffix p, the index of the last member of its
// group. A suffix array is unique, so both sorts give the same I and V, and
// a patch made from either has the same bytes.
//
// Index is int32_t (for n < 2^31 − 1, half the memory) or int64_t.
// Memory: I and V, and libdivsufsort's buckets (about 260 KiB). Any thread
// may call these; each call uses only the memory it is given.
#pragma once

#include <cstdint>

namespace quor {

// The library's sort where the build has it, else our own.
template <typename Index>
void suffixSort(Index* I, Index* V, const uint8_t* O, Index n);

// Our own sort, in every build (tests and benchmarks compare the two).
template <typename Index>
void ownSuffixSort(Index* I, Index* V, const uint8_t* O, Index n);

// The library's sort; false, with I and V unspecified, when the build has
// no library or the library could not get its buckets' memory.
template <typename Index>
bool librarySuffixSort(Index* I, Index* V, const uint8_t* O, Index n);

// Whether this build has the library's sort.
bool suffixSortHasLibrary();

// Sorts the group I[start, start + len) by the group number h positions
// further on (V[I[k] + h]), splitting it into smaller groups and giving
// each its new group number. Singleton groups are marked sorted in I.
template <typename Index>
void splitGroup(Index* I, Index* V, Index start, Index len, Index h);

extern template void suffixSort<int32_t>(int32_t*, int32_t*, const uint8_t*, int32_t);
extern template void suffixSort<int64_t>(int64_t*, int64_t*, const uint8_t*, int64_t);
extern template void ownSuffixSort<int32_t>(int32_t*, int32_t*, const uint8_t*, int32_t);
extern template void ownSuffixSort<int64_t>(int64_t*, int64_t*, const uint8_t*, int64_t);
extern template bool librarySuffixSort<int32_t>(int32_t*, int32_t*, const uint8_t*, int32_t);
extern template bool librarySuffixSort<int64_t>(int64_t*, int64_t*, const uint8_t*, int64_t);
extern template void splitGroup<int32_t>(int32_t*, int32_t*, int32_t, int32_t, int32_t);
extern template void splitGroup<int64_t>(int64_t*, int64_t*, int64_t, int64_t, int64_t);

}  // namespace quor
