// libdivsufsort's sort behind suffix_sort.h. The build defines
// QUOR_HAVE_DIVSUFSORT when it found the library and both of its headers.
#include "patch/suffix_sort.h"

#ifdef QUOR_HAVE_DIVSUFSORT
#include <divsufsort.h>
#include <divsufsort64.h>
#endif

namespace quor {
namespace {

#ifdef QUOR_HAVE_DIVSUFSORT
// The library sorts the n non-empty suffixes into I[1, n + 1); the empty
// suffix, which sorts first, is ours to add.
int sortWithLibrary(int32_t* I, const uint8_t* O, int32_t n) { return divsufsort(O, I + 1, n); }
int sortWithLibrary(int64_t* I, const uint8_t* O, int64_t n) { return divsufsort64(O, I + 1, n); }
#endif

}  // namespace

bool suffixSortHasLibrary() {
#ifdef QUOR_HAVE_DIVSUFSORT
  return true;
#else
  return false;
#endif
}

template <typename Index>
bool librarySuffixSort(Index* I, Index* V, const uint8_t* O, Index n) {
#ifdef QUOR_HAVE_DIVSUFSORT
  // The library fails only when it cannot allocate its buckets, and reads
  // nothing of an empty text.
  if (n > 0 && sortWithLibrary(I, O, n) != 0) return false;
  I[0] = n;
  for (Index k = 0; k <= n; ++k) V[I[k]] = k;
  return true;
#else
  (void)I;
  (void)V;
  (void)O;
  (void)n;
  return false;
#endif
}

template bool librarySuffixSort<int32_t>(int32_t*, int32_t*, const uint8_t*, int32_t);
template bool librarySuffixSort<int64_t>(int64_t*, int64_t*, const uint8_t*, int64_t);

}  // namespace quor
