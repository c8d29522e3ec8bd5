#include "patch/suffix_sort.h"

#include <utility>
#include <vector>

namespace quor {
namespace {

// Groups shorter than this are sorted by repeated selection of the
// smallest key instead of being partitioned.
constexpr int kSmallGroup = 16;

template <typename Index>
void sortSmallGroup(Index* I, Index* V, Index start, Index len, Index h) {
  const Index end = start + len;
  for (Index k = start; k < end;) {
    // Collect the entries with the smallest key at I[k, k + j).
    Index j = 1;
    Index x = V[I[k] + h];
    for (Index i = 1; k + i < end; ++i) {
      Index key = V[I[k + i] + h];
      if (key < x) {
        x = key;
        j = 0;
      }
      if (key == x) {
        std::swap(I[k + j], I[k + i]);
        ++j;
      }
    }
    for (Index i = 0; i < j; ++i) V[I[k + i]] = k + j - 1;
    if (j == 1) I[k] = -1;
    k += j;
  }
}

// Reorders I[start, start + len) into keys < x, keys = x, keys > x and
// returns where the middle part begins and ends.
template <typename Index>
std::pair<Index, Index> partition(Index* I, const Index* V, Index start, Index len, Index h,
                                  Index x) {
  Index jj = 0;
  Index kk = 0;
  for (Index i = start; i < start + len; ++i) {
    Index key = V[I[i] + h];
    if (key < x) ++jj;
    if (key == x) ++kk;
  }
  jj += start;
  kk += jj;

  Index i = start;
  Index j = 0;
  Index k = 0;
  while (i < jj) {
    Index key = V[I[i] + h];
    if (key < x) {
      ++i;
    } else if (key == x) {
      std::swap(I[i], I[jj + j]);
      ++j;
    } else {
      std::swap(I[i], I[kk + k]);
      ++k;
    }
  }
  while (jj + j < kk) {
    if (V[I[jj + j] + h] == x) {
      ++j;
    } else {
      std::swap(I[jj + j], I[kk + k]);
      ++k;
    }
  }
  return {jj, kk};
}

}  // namespace

template <typename Index>
void splitGroup(Index* I, Index* V, Index start, Index len, Index h) {
  // Parts must be finished from low to high: members not yet split keep
  // the group's old number, the highest index of the group, which stays
  // correct only while every part below them is done. The lower part is
  // split before the middle part gets its number and before the upper part
  // is touched. The parts still to do after a lower part are kept on a
  // heap stack rather than the call stack, so no input can exhaust it.
  struct Pending {
    Index middleStart;
    Index middleEnd;
    Index end;  // the upper part is [middleEnd, end)
  };
  std::vector<Pending> pending;
  for (;;) {
    while (len >= kSmallGroup) {
      Index x = V[I[start + len / 2] + h];
      auto [jj, kk] = partition(I, V, start, len, h, x);
      pending.push_back({jj, kk, start + len});
      len = jj - start;
    }
    if (len > 0) sortSmallGroup(I, V, start, len, h);
    if (pending.empty()) return;

    Pending next = pending.back();
    pending.pop_back();
    for (Index entry = next.middleStart; entry < next.middleEnd; ++entry) {
      V[I[entry]] = next.middleEnd - 1;
    }
    if (next.middleStart == next.middleEnd - 1) I[next.middleStart] = -1;
    start = next.middleEnd;
    len = next.end - next.middleEnd;
  }
}

template <typename Index>
void ownSuffixSort(Index* I, Index* V, const uint8_t* O, Index n) {
  // Group the suffixes by their first byte; bucket[v] ends as the index of
  // the last member of the group of byte value v.
  Index bucket[256] = {};
  for (Index i = 0; i < n; ++i) ++bucket[O[i]];
  for (int v = 1; v < 256; ++v) bucket[v] += bucket[v - 1];
  for (int v = 255; v > 0; --v) bucket[v] = bucket[v - 1];
  bucket[0] = 0;
  for (Index i = 0; i < n; ++i) I[++bucket[O[i]]] = i;
  I[0] = n;
  for (Index i = 0; i < n; ++i) V[i] = bucket[O[i]];
  V[n] = 0;
  for (int v = 1; v < 256; ++v) {
    if (bucket[v] == bucket[v - 1] + 1) I[bucket[v]] = -1;
  }
  I[0] = -1;

  // Double the sorted prefix length until one run covers everything.
  for (int64_t h = 1; I[0] != -(n + 1); h += h) {
    Index len = 0;
    Index i = 0;
    while (i < n + 1) {
      if (I[i] < 0) {
        len -= I[i];
        i -= I[i];
      } else {
        if (len != 0) I[i - len] = -len;
        len = V[I[i]] + 1 - i;
        splitGroup(I, V, i, len, static_cast<Index>(h));
        i += len;
        len = 0;
      }
    }
    if (len != 0) I[i - len] = -len;
  }

  for (Index i = 0; i < n + 1; ++i) I[V[i]] = i;
}

template <typename Index>
void suffixSort(Index* I, Index* V, const uint8_t* O, Index n) {
  if (!librarySuffixSort(I, V, O, n)) ownSuffixSort(I, V, O, n);
}

template void ownSuffixSort<int32_t>(int32_t*, int32_t*, const uint8_t*, int32_t);
template void ownSuffixSort<int64_t>(int64_t*, int64_t*, const uint8_t*, int64_t);
template void suffixSort<int32_t>(int32_t*, int32_t*, const uint8_t*, int32_t);
template void suffixSort<int64_t>(int64_t*, int64_t*, const uint8_t*, int64_t);
template void splitGroup<int32_t>(int32_t*, int32_t*, int32_t, int32_t, int32_t);
template void splitGroup<int64_t>(int64_t*, int64_t*, int64_t, int64_t, int64_t);

}  // namespace quor
