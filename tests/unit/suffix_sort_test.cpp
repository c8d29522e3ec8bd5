#include "patch/suffix_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string_view>

#include "base/encoding.h"
#include "patch/diff.h"
#include "test_support.h"

namespace quor {
namespace {

std::string_view suffix(const Bytes& data, size_t at) {
  return std::string_view(reinterpret_cast<const char*>(data.data()) + at, data.size() - at);
}

// The suffix array by plain comparison sort, the empty suffix first.
std::vector<int64_t> naiveSuffixArray(const Bytes& data) {
  std::vector<int64_t> order(data.size() + 1);
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
    // string_view compares bytes as unsigned char.
    return suffix(data, size_t(a)) < suffix(data, size_t(b));
  });
  return order;
}

template <typename Index>
std::vector<int64_t> sorted(const Bytes& data) {
  std::vector<Index> I(data.size() + 1);
  std::vector<Index> V(data.size() + 1);
  suffixSort<Index>(I.data(), V.data(), data.data(), Index(data.size()));
  return std::vector<int64_t>(I.begin(), I.end());
}

void expectSortedCorrectly(const Bytes& data) {
  std::vector<int64_t> expected = naiveSuffixArray(data);
  EXPECT_EQ(sorted<int32_t>(data), expected);
  EXPECT_EQ(sorted<int64_t>(data), expected);
}

Bytes randomOver(size_t size, int alphabet, std::mt19937& random) {
  Bytes data(size);
  for (uint8_t& byte : data) byte = uint8_t(random() % alphabet);
  return data;
}

TEST(SuffixSortTest, RandomInputsAgainstNaiveSort) {
  std::mt19937 random(1);
  for (size_t size : {0, 1, 2, 3, 15, 16, 17, 31, 100, 1000, 5000}) {
    for (int alphabet : {1, 2, 3, 4, 256}) {
      SCOPED_TRACE(std::to_string(size) + " over " + std::to_string(alphabet));
      expectSortedCorrectly(randomOver(size, alphabet, random));
    }
  }
  // High byte values sort after low ones (bytes are unsigned).
  expectSortedCorrectly({0x80, 0x01, 0xFF, 0x00, 0x7F});
}

TEST(SuffixSortTest, RunsAndRepetitions) {
  std::mt19937 random(2);
  std::vector<Bytes> inputs;
  inputs.push_back(Bytes(5000, 'a'));
  inputs.push_back(Bytes(4097, 0));
  Bytes runThenRandom(3000, 0xFF);
  Bytes tail = randomOver(500, 256, random);
  runThenRandom.insert(runThenRandom.end(), tail.begin(), tail.end());
  inputs.push_back(runThenRandom);
  Bytes randomThenRun = tail;
  randomThenRun.resize(3500, 'z');
  inputs.push_back(randomThenRun);
  Bytes runs;  // runs of varying lengths of few values
  while (runs.size() < 6000) runs.resize(runs.size() + 1 + random() % 300, uint8_t(random() % 3));
  inputs.push_back(runs);
  Bytes periodic;
  for (int i = 0; i < 4000; ++i) periodic.push_back("abcab"[i % 5]);
  inputs.push_back(periodic);
  std::string a = "a";
  std::string b = "ab";
  while (b.size() < 5000) {  // Fibonacci word
    std::string next = b + a;
    a = b;
    b = next;
  }
  inputs.push_back(Bytes(b.begin(), b.end()));
  Bytes block = randomOver(700, 256, random);
  Bytes repeatedBlock;
  for (int i = 0; i < 6; ++i) repeatedBlock.insert(repeatedBlock.end(), block.begin(), block.end());
  inputs.push_back(repeatedBlock);

  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    expectSortedCorrectly(inputs[i]);
  }
}

TEST(MatchTest, LongestMatchFindsTheLongestPrefix) {
  std::mt19937 random(3);
  // The search takes an old suffix that is a proper prefix of the text for
  // a larger one, which can hide the longest match; a last byte that no
  // text contains keeps every suffix from being such a prefix.
  Bytes old = randomOver(2000, 4, random);
  old.push_back(0xFF);
  std::vector<int32_t> I(old.size() + 1);
  std::vector<int32_t> V(old.size() + 1);
  suffixSort<int32_t>(I.data(), V.data(), old.data(), int32_t(old.size()));
  const int64_t n = int64_t(old.size());

  for (int probe = 0; probe < 300; ++probe) {
    Bytes text = randomOver(1 + random() % 40, 4, random);
    if (probe % 3 == 0) {  // a piece of the old file, then a byte that may differ
      size_t at = random() % (old.size() - 1);
      text.assign(old.begin() + long(at), old.begin() + long(std::min(old.size() - 1, at + 30)));
      text.push_back(uint8_t(random() % 4));
    }
    int64_t best = 0;
    for (int64_t at = 0; at <= n; ++at) {
      best = std::max(best, matchLength(old.data() + at, n - at, text.data(), int64_t(text.size())));
    }
    Match match = longestMatch(I.data(), old.data(), n, text.data(), int64_t(text.size()), 0, n);
    EXPECT_EQ(match.length, best);
    EXPECT_EQ(matchLength(old.data() + match.position, n - match.position, text.data(),
                          int64_t(text.size())),
              best);
  }

  // An empty old file matches nothing.
  int32_t emptyI[1] = {0};
  uint8_t byte = 1;
  Match none = longestMatch(emptyI, static_cast<const uint8_t*>(nullptr), 0, &byte, 1, 0, 0);
  EXPECT_EQ(none.length, 0);
  EXPECT_EQ(none.position, 0);
}

}  // namespace
}  // namespace quor
